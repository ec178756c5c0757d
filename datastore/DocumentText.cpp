#include "datastore/DocumentText.h"

#include "common/ExceptionBoundary.h"

#include <rapidjson/reader.h>

#include <cstdint>
#include <tuple>
#include <utility>

namespace qeldoc {

namespace {

using Utf16 = rapidjson::UTF16<char16_t>;
using Stream = BoundedTextStream<char16_t>;

// Standard JSON (the default flags: no comments, no trailing commas), read by
// RapidJSON's iterative reader: the same grammar and error codes, but deep
// nesting in a damaged or hostile file costs heap, not call stack, so it is
// refused instead of ending the process.
constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

bool IsOurs(std::u16string_view name) { return IsObjectSection(name) || IsListSection(name); }

// Reads a whole document in one pass, straight into a document's sections:
// the strings of our sections, and the JSON text of everything else exactly
// as it stands in the file (other programs' members, values of other shapes
// inside our sections and records, and our own sections when they have
// another shape). The reader's events say where each value ends; a value's
// start is found from the end of its member name.
class DocumentReader {
public:
    using Ch = char16_t;

    DocumentReader(const Stream& stream, const Ch* text, size_t length, ParsedDocument& out)
        : m_stream(stream), m_text(text), m_length(length), m_out(out), m_rootKey(out.others.get_allocator()),
          m_list(out.packages.get_allocator())
    {
    }

    bool RootIsNotObject() const { return m_rootNotObject; }

    bool Null() { return Scalar(); }
    bool Bool(bool) { return Scalar(); }
    bool Int(int) { return Scalar(); }
    bool Uint(unsigned) { return Scalar(); }
    bool Int64(int64_t) { return Scalar(); }
    bool Uint64(uint64_t) { return Scalar(); }
    bool Double(double) { return Scalar(); }
    bool RawNumber(const Ch*, rapidjson::SizeType, bool) { return Scalar(); }

    bool String(const Ch* text, rapidjson::SizeType length, bool)
    {
        if (m_skip || m_depth == 1 || (m_depth == 2 && m_inList)) return Scalar();
        if (m_depth == 0) return RootNotObject();
        m_member->second.Set({text, length});
        return true;
    }

    bool Key(const Ch* text, rapidjson::SizeType length, bool)
    {
        if (m_skip) return true;
        m_keyEnd = m_stream.Tell();
        if (m_depth == 1) {
            m_rootKey.assign(text, length);
        } else {
            // A later duplicate name replaces the earlier value.
            m_member = m_section->emplace_hint(m_section->end(), std::piecewise_construct,
                                               std::forward_as_tuple(text, length), std::forward_as_tuple());
        }
        return true;
    }

    // The reader calls StartObject/StartArray before it takes the bracket,
    // and EndObject/EndArray before it takes the closing one.
    bool StartObject() { return Start(true); }
    bool StartArray() { return Start(false); }
    bool EndObject(rapidjson::SizeType) { return End(); }
    bool EndArray(rapidjson::SizeType) { return End(); }

private:
    enum class Capture { Other, Member, Discard };

    // Read to its end all the same, so that the text's own errors are reported first.
    bool RootNotObject()
    {
        m_rootNotObject = true;
        return true;
    }

    // Where the value after the last member name starts: past blanks and the colon.
    size_t ValueStart() const
    {
        size_t at = m_keyEnd;
        while (at < m_length && (m_text[at] == u' ' || m_text[at] == u'\t' || m_text[at] == u'\n' ||
                                 m_text[at] == u'\r' || m_text[at] == u':')) {
            ++at;
        }
        return at;
    }

    std::u16string_view Slice(size_t begin, size_t end) const { return {m_text + begin, end - begin}; }

    // A root member kept as written. Our own name in another shape replaces
    // what an earlier member of that name gave.
    void KeepOther(std::u16string_view json)
    {
        if (m_rootKey == u"oobe") m_out.hasOobe = false;
        if (m_rootKey == u"eula") m_out.hasEula = false;
        if (m_rootKey == u"Entitlement") m_out.hasEntitlement = false;
        if (m_rootKey == u"Packages") m_out.packages.clear();
        if (m_rootKey == u"ScheduleTask") m_out.tasks.clear();
        m_out.others.insert_or_assign(m_rootKey, Text(json, m_out.others.get_allocator()));
    }

    // A value that is not a string (or a string where a record belongs).
    bool Scalar()
    {
        if (m_skip) return true;
        if (m_depth == 0) return RootNotObject();
        if (m_depth == 1) {
            KeepOther(Slice(ValueStart(), m_stream.Tell()));
        } else if (m_depth == 2 && m_inList) {
            m_listBad = true;
        } else {
            m_member->second.SetRaw(Slice(ValueStart(), m_stream.Tell()));
        }
        return true;
    }

    void BeginCapture(Capture target)
    {
        m_skip = 1;
        m_capture = target;
        m_captureStart = m_stream.Tell();
    }

    bool Start(bool object)
    {
        if (m_skip) {
            ++m_skip;
        } else if (m_depth == 0 && !object) {
            RootNotObject();
            BeginCapture(Capture::Discard);
        } else if (m_depth == 0) {
            m_depth = 1;
        } else if (m_depth == 1) {
            if (object && IsObjectSection(m_rootKey)) {
                m_section = m_rootKey == u"oobe" ? &m_out.oobe : m_rootKey == u"eula" ? &m_out.eula : &m_out.entitlement;
                m_section->clear();
                m_depth = 2;
                m_inList = false;
            } else if (!object && IsListSection(m_rootKey)) {
                m_list.clear();
                m_listStart = m_stream.Tell();
                m_listBad = false;
                m_depth = 2;
                m_inList = true;
            } else {
                BeginCapture(Capture::Other);
            }
        } else if (m_depth == 2 && m_inList) {
            if (object) {
                m_section = &m_list.emplace_back();
                m_depth = 3;
            } else {
                m_listBad = true;
                BeginCapture(Capture::Discard);
            }
        } else {
            BeginCapture(Capture::Member);
        }
        return true;
    }

    bool End()
    {
        const size_t end = m_stream.Tell() + 1;
        if (m_skip) {
            if (--m_skip == 0) {
                if (m_capture == Capture::Other) KeepOther(Slice(m_captureStart, end));
                if (m_capture == Capture::Member) m_member->second.SetRaw(Slice(m_captureStart, end));
            }
        } else if (m_depth == 3) {
            m_depth = 2;
        } else if (m_depth == 2 && m_inList) {
            if (m_listBad) {
                KeepOther(Slice(m_listStart, end));
            } else {
                m_out.others.erase(m_rootKey);
                // An empty list is not reported: "ScheduleTask":[] leaves the task list as it was.
                if (!m_list.empty()) (m_rootKey == u"Packages" ? m_out.packages : m_out.tasks).swap(m_list);
            }
            m_depth = 1;
        } else if (m_depth == 2) {
            m_out.others.erase(m_rootKey);
            (m_rootKey == u"oobe" ? m_out.hasOobe : m_rootKey == u"eula" ? m_out.hasEula : m_out.hasEntitlement) = true;
            m_depth = 1;
        } else {
            m_depth = 0;
        }
        return true;
    }

    const Stream& m_stream;
    const Ch* m_text;
    size_t m_length;
    ParsedDocument& m_out;
    Text m_rootKey;
    Records m_list;  // the list being read
    Section* m_section = nullptr;
    Section::iterator m_member;
    int m_depth = 0;  // 1 in the root, 2 in one of our sections, 3 in one of its records
    bool m_inList = false;
    bool m_listBad = false;
    bool m_rootNotObject = false;
    size_t m_skip = 0;  // nesting inside a value read as JSON text
    Capture m_capture = Capture::Discard;
    size_t m_keyEnd = 0, m_captureStart = 0, m_listStart = 0;
};

// A member name of another program, as a JSON string body (our own section
// names need no escaping; theirs may).
std::u16string EscapedName(std::u16string_view name)
{
    std::u16string quoted;
    TextOutput<char16_t> output(quoted);
    rapidjson::Writer<TextOutput<char16_t>, Utf16, Utf16> writer(output);
    writer.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    return quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : std::u16string();
}

// "name":{...} or "name":[{...},{...}], appended.
bool AppendSection(std::u16string_view name, const Section& map, std::u16string& text)
{
    text.append(1, u'"').append(name).append(u"\":");
    return AppendObject(map, text);
}

bool AppendSection(std::u16string_view name, const Records& list, std::u16string& text)
{
    text.append(1, u'"').append(name).append(u"\":[");
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) text.push_back(u',');
        if (!AppendObject(list[i], text)) return false;
    }
    text.push_back(u']');
    return true;
}

}  // namespace

ReadResult ReadDocument(const char16_t* json, size_t length, ParsedDocument& out)
{
    if (!json || length == 0) return {ReadFailure::kEmpty, 0};
    Stream stream(json, length);
    DocumentReader document(stream, json, length, out);
    rapidjson::GenericReader<Utf16, Utf16> reader;
    reader.Parse<kParseFlags>(stream, document);
    if (reader.GetParseErrorCode() != rapidjson::kParseErrorNone) {
        return {ReadFailure::kNotJson, static_cast<int>(reader.GetParseErrorCode())};
    }
    // A raw NUL is not JSON; after the root value it looks like the end of the
    // input, so the reader stops early instead of reporting what follows.
    if (stream.Tell() != length) return {ReadFailure::kNotJson, static_cast<int>(rapidjson::kParseErrorDocumentRootNotSingular)};
    if (document.RootIsNotObject()) return {ReadFailure::kRootNotObject, 0};
    return {};
}

void TakeDocument(ParsedDocument& parsed, Document& document)
{
    const auto take = [&](std::u16string_view name, bool present, Section& from, Section& to) {
        if (!present) return;
        to.swap(from);
        const auto it = document.others.find(name);
        if (it != document.others.end()) document.others.erase(it);
    };
    take(u"oobe", parsed.hasOobe, parsed.oobe, document.oobe);
    take(u"eula", parsed.hasEula, parsed.eula, document.eula);
    take(u"Entitlement", parsed.hasEntitlement, parsed.entitlement, document.entitlement);
    const auto takeList = [&](std::u16string_view name, Records& from, Records& to) {
        if (from.empty()) return;
        to.swap(from);
        const auto it = document.others.find(name);
        if (it != document.others.end()) document.others.erase(it);
    };
    takeList(u"Packages", parsed.packages, document.packages);
    takeList(u"ScheduleTask", parsed.tasks, document.tasks);
    for (auto& [name, json] : parsed.others) document.others.insert_or_assign(name, std::move(json));
}

RenderResult RenderDocument(const Document& document, std::u16string& text)
{
    int section = -1;
    // What escapes is told as running out of memory in the section being written.
    return boundary::Run([&]() -> RenderResult {
        text.append(u"{ ");
        const bool empty[] = {document.oobe.empty(), document.packages.empty(), document.tasks.empty(),
                              document.eula.empty(), document.entitlement.empty()};
        for (section = 0; section < 5; ++section) {
            if (section) text.push_back(u',');
            const std::u16string_view name = kSections[section];
            const auto kept = document.others.find(name);
            if (kept != document.others.end()) {
                if (!empty[section]) return {RenderFailure::kKeptSectionChanged, section};
                text.append(1, u'"').append(name).append(u"\":").append(kept->second);
                continue;
            }
            const bool written = section == 0   ? AppendSection(name, document.oobe, text)
                                 : section == 1 ? AppendSection(name, document.packages, text)
                                 : section == 2 ? AppendSection(name, document.tasks, text)
                                 : section == 3 ? AppendSection(name, document.eula, text)
                                                : AppendSection(name, document.entitlement, text);
            if (!written) return {RenderFailure::kWriterRefused, section};
        }
        section = -1;
        // Other programs' members follow ours, in code-unit order of their
        // names, each value exactly as it was read.
        for (const auto& [name, json] : document.others) {
            if (IsOurs(name)) continue;
            text.append(u",\"").append(EscapedName(name)).append(u"\":").append(json);
        }
        text.append(u" }");
        return {};
    }, [&](boundary::Escaped) { return RenderResult{RenderFailure::kNoMemory, section}; });
}

}  // namespace qeldoc
