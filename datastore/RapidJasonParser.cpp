#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"

#include "logging/Log.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <new>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

using Utf16 = rapidjson::UTF16<wchar_t>;
using JsonDocument = rapidjson::GenericDocument<Utf16>;
using JsonValue = rapidjson::GenericValue<Utf16>;

// The writer's output, appended straight to a text (no intermediate buffer to copy out of).
class TextOutput {
public:
    using Ch = wchar_t;

    explicit TextOutput(std::wstring& text) : m_text(text) {}
    void Put(Ch c) { m_text.push_back(c); }
    void Flush() {}

private:
    std::wstring& m_text;
};

using JsonWriter = rapidjson::Writer<TextOutput, Utf16, Utf16>;

constexpr wchar_t kSourceFile[] = L"RapidJasonParser.cpp";

// Reads exactly the given code units; past the end it answers NUL, which is
// how RapidJSON's reader recognises the end of its input.
class BoundedTextStream {
public:
    using Ch = wchar_t;

    BoundedTextStream(const Ch* text, size_t length) : m_begin(text), m_current(text), m_end(text + length) {}

    Ch Peek() const { return m_current < m_end ? *m_current : Ch(); }
    Ch Take() { return m_current < m_end ? *m_current++ : Ch(); }
    size_t Tell() const { return static_cast<size_t>(m_current - m_begin); }

    // The reader never writes into a read-only stream.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

private:
    const Ch* m_begin;
    const Ch* m_current;
    const Ch* m_end;
};

std::wstring TextOf(const JsonValue& value) { return std::wstring(value.GetString(), value.GetStringLength()); }

bool IsObjectOfStrings(const JsonValue& value)
{
    if (!value.IsObject()) return false;
    for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
        if (!member->value.IsString()) return false;
    }
    return true;
}

bool IsArrayOfStringObjects(const JsonValue& value)
{
    if (!value.IsArray()) return false;
    for (auto element = value.Begin(); element != value.End(); ++element) {
        if (!IsObjectOfStrings(*element)) return false;
    }
    return true;
}

std::wstring_view ViewOf(const JsonValue& value) { return {value.GetString(), value.GetStringLength()}; }

// Fills an empty map (StringMap or a document section) from an object of
// strings. Within one object a later duplicate name replaces the earlier value.
template <typename Map>
void FillStringMap(const JsonValue& object, Map& map)
{
    for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
        // Written texts hold their members in map order, so the end is nearly
        // always the right place.
        auto it = map.emplace_hint(map.end(), std::piecewise_construct, std::forward_as_tuple(ViewOf(member->name)),
                                   std::forward_as_tuple());
        it->second.assign(member->value.GetString(), member->value.GetStringLength());
    }
}

// Fills an empty list (RecordList or a document list), one map per element.
template <typename List>
void FillRecordList(const JsonValue& array, List& list)
{
    list.reserve(array.Size());
    for (auto element = array.Begin(); element != array.End(); ++element) {
        list.emplace_back();
        FillStringMap(*element, list.back());
    }
}

// Room for a map's compact text when nothing in it needs escaping.
size_t TextLength(const StringMap& map)
{
    size_t length = 2;
    for (const auto& [name, value] : map) length += name.size() + value.size() + 6;
    return length;
}

// Renders into a fresh text and replaces out with it only when rendering succeeded.
template <typename Render>
DWORD Replacing(std::wstring& out, const wchar_t* operation, Render render)
{
    try {
        std::wstring text;
        const DWORD rc = render(text);
        if (rc == ERROR_SUCCESS) out.swap(text);
        return rc;
    } catch (const std::bad_alloc&) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Not enough memory to convert the map to JSON");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Parses exactly the code units json[0, length) with parse(stream), which
// returns RapidJSON's error code. Failures are logged under the calling
// operation's name.
template <typename Parse>
DWORD ParseBounded(const wchar_t* json, size_t length, const wchar_t* operation, Parse parse)
{
    if (!json || length == 0) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Invalid jsonString argument");
        return ERROR_INVALID_PARAMETER;
    }
    BoundedTextStream stream(json, length);
    const rapidjson::ParseErrorCode error = parse(stream);
    if (error != rapidjson::kParseErrorNone) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Parse Error: %d", static_cast<int>(error));
        return ERROR_INVALID_PARAMETER;
    }
    // A raw NUL is not JSON; after the root value it looks like the end of the
    // input, so the reader stops early instead of reporting what follows.
    if (stream.Tell() != length) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Parse Error: %d",
                   static_cast<int>(rapidjson::kParseErrorDocumentRootNotSingular));
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

// Standard JSON (the default flags: no comments, no trailing commas), read by
// RapidJSON's iterative reader: the same grammar and error codes, but deep
// nesting in a damaged or hostile file costs heap, not call stack, so it is
// refused instead of ending the process.
constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

DWORD ParseWholeText(const wchar_t* json, size_t length, JsonDocument& document, const wchar_t* operation)
{
    return ParseBounded(json, length, operation, [&](BoundedTextStream& stream) {
        document.ParseStream<kParseFlags, Utf16>(stream);
        return document.GetParseError();
    });
}

// The data store's document shape: a root object whose members are objects of
// strings or arrays of objects of strings. Anything else would be read only in
// part, so it is refused as a whole.
DWORD CheckDocumentShape(const JsonDocument& document, const wchar_t* operation)
{
    if (!document.IsObject()) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON root is not an object");
        return ERROR_INVALID_PARAMETER;
    }
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        const JsonValue& value = member->value;
        if (value.IsObject() ? IsObjectOfStrings(value) : IsArrayOfStringObjects(value)) continue;
        const std::wstring name = TextOf(member->name);
        if (value.IsObject()) {
            QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON member %s holds a value that is not a string",
                       name.c_str());
        } else if (value.IsArray()) {
            QEL_LOG_AS(LOG_ERROR, kSourceFile, operation,
                       L"JSON member %s is not an array of objects of strings", name.c_str());
        } else {
            QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON member %s is neither an object nor an array",
                       name.c_str());
        }
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

}  // namespace

namespace {

// One parse of the text into either or both shapes; outputs change only on success.
DWORD ConvertSections(const wchar_t* json, size_t length, NamedStringMaps* objects, NamedRecordLists* lists,
                      const wchar_t* operation)
{
    try {
        JsonDocument document;
        DWORD rc = ParseWholeText(json, length, document, operation);
        if (rc == ERROR_SUCCESS) rc = CheckDocumentShape(document, operation);
        if (rc != ERROR_SUCCESS) return rc;

        NamedStringMaps sections;
        NamedRecordLists arrays;
        for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
            if (objects && member->value.IsObject()) {
                StringMap map;
                FillStringMap(member->value, map);
                sections.insert_or_assign(TextOf(member->name), std::move(map));
            } else if (lists && member->value.IsArray() && !member->value.Empty()) {
                RecordList list;
                FillRecordList(member->value, list);
                arrays.insert_or_assign(TextOf(member->name), std::move(list));
            }
        }
        if (objects) objects->swap(sections);
        if (lists) lists->swap(arrays);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Not enough memory to convert the JSON text");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Reads a whole document in one pass, straight into a document's sections:
// the strings of our sections, and the JSON text of everything else exactly
// as it stands in the file (other programs' members, values of other shapes
// inside our sections and records, and our own sections when they have
// another shape). The reader's events say where each value ends; a value's
// start is found from the end of its member name.
class DocumentReader {
public:
    using Ch = wchar_t;

    DocumentReader(const BoundedTextStream& stream, const wchar_t* text, size_t length, qeldoc::ParsedDocument& out)
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
        while (at < m_length && (m_text[at] == L' ' || m_text[at] == L'\t' || m_text[at] == L'\n' ||
                                 m_text[at] == L'\r' || m_text[at] == L':')) {
            ++at;
        }
        return at;
    }

    std::wstring_view Slice(size_t begin, size_t end) const { return {m_text + begin, end - begin}; }

    // A root member kept as written. Our own name in another shape replaces
    // what an earlier member of that name gave.
    void KeepOther(std::wstring_view json)
    {
        if (m_rootKey == L"oobe") m_out.hasOobe = false;
        if (m_rootKey == L"eula") m_out.hasEula = false;
        if (m_rootKey == L"Entitlement") m_out.hasEntitlement = false;
        if (m_rootKey == L"Packages") m_out.packages.clear();
        if (m_rootKey == L"ScheduleTask") m_out.tasks.clear();
        m_out.others.insert_or_assign(m_rootKey, qeldoc::Text(json, m_out.others.get_allocator()));
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
            if (object && qeldoc::IsObjectSection(m_rootKey)) {
                m_section = m_rootKey == L"oobe" ? &m_out.oobe : m_rootKey == L"eula" ? &m_out.eula : &m_out.entitlement;
                m_section->clear();
                m_depth = 2;
                m_inList = false;
            } else if (!object && qeldoc::IsListSection(m_rootKey)) {
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
                if (!m_list.empty()) (m_rootKey == L"Packages" ? m_out.packages : m_out.tasks).swap(m_list);
            }
            m_depth = 1;
        } else if (m_depth == 2) {
            m_out.others.erase(m_rootKey);
            (m_rootKey == L"oobe" ? m_out.hasOobe : m_rootKey == L"eula" ? m_out.hasEula : m_out.hasEntitlement) = true;
            m_depth = 1;
        } else {
            m_depth = 0;
        }
        return true;
    }

    const BoundedTextStream& m_stream;
    const wchar_t* m_text;
    size_t m_length;
    qeldoc::ParsedDocument& m_out;
    qeldoc::Text m_rootKey;
    qeldoc::Records m_list;  // the list being read
    qeldoc::Section* m_section = nullptr;
    qeldoc::Section::iterator m_member;
    int m_depth = 0;   // 1 in the root, 2 in one of our sections, 3 in one of its records
    bool m_inList = false;
    bool m_listBad = false;
    bool m_rootNotObject = false;
    size_t m_skip = 0;  // nesting inside a value read as JSON text
    Capture m_capture = Capture::Discard;
    size_t m_keyEnd = 0, m_captureStart = 0, m_listStart = 0;
};

// The value of a member: a string, or JSON text kept as it was read.
template <typename Writer>
bool WriteMemberValue(Writer& writer, const std::wstring& value)
{
    return writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

template <typename Writer>
bool WriteMemberValue(Writer& writer, const qeldoc::Value& value)
{
    return value.raw ? writer.RawValue(value.text.data(), value.text.size(), rapidjson::kObjectType)
                     : writer.String(value.text.data(), static_cast<rapidjson::SizeType>(value.text.size()));
}

// The compact text of one map of either kind, appended.
template <typename Map>
DWORD WriteObject(const Map& map, std::wstring& text, const wchar_t* operation)
{
    try {
        // Straight from the map to the writer: the same compact text and
        // escaping as writing a document of these members, without building one.
        TextOutput output(text);
        JsonWriter writer(output);
        bool written = writer.StartObject();
        for (auto member = map.begin(); written && member != map.end(); ++member) {
            written = writer.Key(member->first.data(), static_cast<rapidjson::SizeType>(member->first.size())) &&
                      WriteMemberValue(writer, member->second);
        }
        if (!written || !writer.EndObject(static_cast<rapidjson::SizeType>(map.size()))) {
            QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON writer refused the map");
            return ERROR_INTERNAL_ERROR;
        }
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Not enough memory to convert the map to JSON");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// "name":[{...},{...}] of either kind of list, appended.
template <typename List>
DWORD WriteNamedArray(std::wstring_view name, const List& list, std::wstring& text)
{
    try {
        text.append(1, L'"').append(name).append(L"\":[");
        for (size_t i = 0; i < list.size(); ++i) {
            if (i) text.push_back(L',');
            const DWORD rc = WriteObject(list[i], text, L"CRapidJasonParser::VectorToNamedJsonArray");
            if (rc != ERROR_SUCCESS) return rc;
        }
        text.push_back(L']');
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

template <typename Map>
DWORD WriteNamedObject(std::wstring_view name, const Map& map, std::wstring& text)
{
    try {
        text.append(1, L'"').append(name).append(L"\":");
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return WriteObject(map, text, L"CRapidJasonParser::MapToNamedJsonObject");
}

}  // namespace

DWORD CRapidJasonParser::JsonObjectToMap(const std::wstring& json, NamedStringMaps& out)
{
    return ConvertSections(json.data(), json.size(), &out, nullptr, L"CRapidJasonParser::JsonObjectToMap");
}

DWORD CRapidJasonParser::JsonNamedArrayToVector(const std::wstring& json, NamedRecordLists& out)
{
    return ConvertSections(json.data(), json.size(), nullptr, &out, L"CRapidJasonParser::JsonNamedArrayToVector");
}

DWORD CRapidJasonParser::JsonToDocument(const wchar_t* json, size_t length, qeldoc::ParsedDocument& out)
{
    const wchar_t* const operation = L"CRapidJasonParser::JsonObjectToMap";
    try {
        bool rootIsObject = true;
        const DWORD rc = ParseBounded(json, length, operation, [&](BoundedTextStream& stream) {
            DocumentReader document(stream, json, length, out);
            rapidjson::GenericReader<Utf16, Utf16> reader;
            reader.Parse<kParseFlags>(stream, document);
            rootIsObject = !document.RootIsNotObject();
            return reader.GetParseErrorCode();
        });
        if (rc == ERROR_SUCCESS && !rootIsObject) {
            QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON root is not an object");
            return ERROR_INVALID_PARAMETER;
        }
        return rc;
    } catch (const std::bad_alloc&) {
        QEL_LOG(LOG_ERROR, L"Not enough memory to convert the JSON text");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CRapidJasonParser::JsonArrayToVector(const std::wstring& json, RecordList& out)
{
    try {
        JsonDocument document;
        const DWORD rc = ParseWholeText(json.data(), json.size(), document, L"CRapidJasonParser::JsonArrayToVector");
        if (rc != ERROR_SUCCESS) return rc;
        if (!IsArrayOfStringObjects(document)) {
            QEL_LOG(LOG_ERROR, L"JSON root is not an array of objects of strings");
            return ERROR_INVALID_PARAMETER;
        }
        RecordList records;
        FillRecordList(document, records);
        out.swap(records);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        QEL_LOG(LOG_ERROR, L"Not enough memory to convert the JSON text");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CRapidJasonParser::MapToNamedJsonObject(const std::wstring& name, const StringMap& map, std::wstring& out)
{
    return Replacing(out, L"CRapidJasonParser::MapToNamedJsonObject",
                     [&](std::wstring& text) { return AppendNamedJsonObject(name, map, text); });
}

DWORD CRapidJasonParser::VectorToNamedJsonArray(const std::wstring& name, const RecordList& list, std::wstring& out)
{
    return Replacing(out, L"CRapidJasonParser::VectorToNamedJsonArray",
                     [&](std::wstring& text) { return AppendNamedJsonArray(name, list, text); });
}

DWORD CRapidJasonParser::MapToJsonObject(const StringMap& map, std::wstring& out)
{
    return Replacing(out, L"CRapidJasonParser::MapToJsonObject", [&](std::wstring& text) {
        text.reserve(TextLength(map));
        return AppendJsonObject(map, text);
    });
}

DWORD CRapidJasonParser::AppendNamedJsonObject(std::wstring_view name, const StringMap& map, std::wstring& text)
{
    return WriteNamedObject(name, map, text);
}

DWORD CRapidJasonParser::AppendNamedJsonObject(std::wstring_view name, const qeldoc::Section& map, std::wstring& text)
{
    return WriteNamedObject(name, map, text);
}

DWORD CRapidJasonParser::AppendNamedJsonArray(std::wstring_view name, const RecordList& list, std::wstring& text)
{
    return WriteNamedArray(name, list, text);
}

DWORD CRapidJasonParser::AppendNamedJsonArray(std::wstring_view name, const qeldoc::Records& list, std::wstring& text)
{
    return WriteNamedArray(name, list, text);
}

DWORD CRapidJasonParser::AppendJsonObject(const StringMap& map, std::wstring& text)
{
    return WriteObject(map, text, L"CRapidJasonParser::MapToJsonObject");
}
