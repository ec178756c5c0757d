// The data store's document text: read into a document's sections, and
// written back in the store's fixed form
//   { "oobe":{...},"Packages":[...],"ScheduleTask":[...],"eula":{...},"Entitlement":{...} }
// with RapidJSON's UTF-16 reader and compact writer. Log lines and result
// codes are the callers' (CRapidJasonParser, CQelJsonFormat).
// Portable: no platform header; fuzz/ builds it with the host's compiler too.
#pragma once

#include "datastore/DocumentModel.h"

#include <rapidjson/writer.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace qeldoc {

// Reads exactly the given code units; past the end it answers NUL, which is
// how RapidJSON's reader recognises the end of its input.
// An escaped lone surrogate ("\ud800" without a "\udc00".."\udfff" escape
// right after it, or such a low half without a high one right before it) is
// handed to the reader as the one code unit it names, which is how the reader
// takes the same unit written unescaped. The reader itself would refuse a lone
// high half and take a lone low one only where its assertions are off.
template <typename CharType>
class BoundedTextStream {
public:
    using Ch = CharType;

    BoundedTextStream(const Ch* text, size_t length) : m_begin(text), m_current(text), m_end(text + length) {}

    Ch Peek() const
    {
        if (m_current == m_end) return Ch();
        const Ch c = *m_current;
        return c == Ch('\\') && m_current != m_escaped ? PeekEscape() : c;
    }

    Ch Take()
    {
        if (m_current == m_end) return Ch();
        const Ch c = *m_current;
        // Only a reverse solidus costs more than reading the unit.
        return c == Ch('\\') && m_current != m_escaped ? TakeEscape() : *m_current++;
    }

    size_t Tell() const { return static_cast<size_t>(m_current - m_begin); }

    // The reader never writes into a read-only stream.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

private:
    static constexpr unsigned kNoEscape = 0x10000;
    static bool IsHigh(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
    static bool IsLow(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

    // The code unit of a "\uXXXX" at `at`, kNoEscape when there is none.
    unsigned EscapedUnit(const Ch* at) const
    {
        if (m_end - at < 6 || at[0] != Ch('\\') || at[1] != Ch('u')) return kNoEscape;
        unsigned unit = 0;
        for (int i = 2; i < 6; ++i) {
            const unsigned c = static_cast<unsigned>(at[i]);
            const unsigned digit = c >= '0' && c <= '9'   ? c - '0'
                                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                          : 16;
            if (digit == 16) return kNoEscape;
            unit = unit * 16 + digit;
        }
        return unit;
    }

    // At a reverse solidus that starts an escape (kept out of line: the
    // reader's loop over ordinary units stays as short as without it).
    [[gnu::noinline]] Ch PeekEscape() const
    {
        const Ch unit = LoneSurrogateAt(m_current);
        return unit ? unit : Ch('\\');
    }

    [[gnu::noinline]] Ch TakeEscape()
    {
        if (const Ch unit = LoneSurrogateAt(m_current)) {
            m_current += 6;
            return unit;
        }
        if (IsHigh(EscapedUnit(m_current))) m_pairLow = m_current + 6;
        m_escaped = ++m_current;
        return Ch('\\');
    }

    // The unit of the lone surrogate escape at `at` (a backslash), else 0.
    Ch LoneSurrogateAt(const Ch* at) const
    {
        const unsigned unit = EscapedUnit(at);
        if (IsHigh(unit) && !IsLow(EscapedUnit(at + 6))) return static_cast<Ch>(unit);
        if (IsLow(unit) && at != m_pairLow) return static_cast<Ch>(unit);
        return Ch();
    }

    const Ch* m_begin;
    const Ch* m_current;
    const Ch* m_end;
    const Ch* m_escaped = nullptr;  // the unit after the last reverse solidus that starts an escape
    const Ch* m_pairLow = nullptr;  // where the low half of the pair being read starts
};

// Why a text was not read.
enum class ReadFailure { kNone, kEmpty, kNotJson, kRootNotObject };

struct ReadResult {
    ReadFailure failure = ReadFailure::kNone;
    int parseError = 0;  // RapidJSON's error code, for kNotJson
};

// Reads the whole document text json[0, length) in one pass into out's
// sections (made with out's allocator): the strings of our sections, and
// every other value (other programs' members, values that are not strings, a
// section of ours in another shape) as its JSON text exactly as it stands.
// Strict JSON; a raw NUL ends nothing (it counts as a second root). On
// failure out may hold part of the text. Throws std::bad_alloc.
[[nodiscard]] ReadResult ReadDocument(const char16_t* json, size_t length, ParsedDocument& out);

// Takes what one text held into the document: each object section the text
// had replaces ours, a list only when it holds records ("ScheduleTask":[]
// leaves the task list as it was); other members are added by name, and a
// section of ours held in another shape goes there instead. Throws std::bad_alloc.
void TakeDocument(ParsedDocument& parsed, Document& document);

// Why a document was not written, and in which of the five sections (their
// index in kSections), or -1 for none.
enum class RenderFailure { kNone, kKeptSectionChanged, kWriterRefused, kNoMemory };

struct RenderResult {
    RenderFailure failure = RenderFailure::kNone;
    int section = -1;
};

// Our sections in the order they are written.
inline constexpr std::u16string_view kSections[] = {u"oobe", u"Packages", u"ScheduleTask", u"eula", u"Entitlement"};

// Appends the whole document text: our sections in their order, then other
// programs' members in code-unit order of their names (names escaped), each
// value as it was read. A section of ours held in another shape is written as
// it was; when this document put something into it as well, nothing is
// complete (kKeptSectionChanged): writing either would lose the other. On
// failure the text may hold part of the output.
[[nodiscard]] RenderResult RenderDocument(const Document& document, std::u16string& text);

// RapidJSON's compact writer appending straight to a text.
template <typename CharType>
class TextOutput {
public:
    using Ch = CharType;

    explicit TextOutput(std::basic_string<Ch>& text) : m_text(text) {}
    void Put(Ch c) { m_text.push_back(c); }
    void Flush() {}

private:
    std::basic_string<Ch>& m_text;
};

// The value of a member: a string, or JSON text kept as it was read.
template <typename Writer, typename String>
bool WriteMemberValue(Writer& writer, const String& value)
{
    return writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

template <typename Writer>
bool WriteMemberValue(Writer& writer, const Value& value)
{
    return value.raw ? writer.RawValue(value.text.data(), value.text.size(), rapidjson::kObjectType)
                     : writer.String(value.text.data(), static_cast<rapidjson::SizeType>(value.text.size()));
}

// The compact text of one map (a string map or a section), appended: members
// in map order, standard JSON escaping, everything outside ASCII as it is.
// False when the writer refuses it. Throws std::bad_alloc.
template <typename Map, typename CharType>
[[nodiscard]] bool AppendObject(const Map& map, std::basic_string<CharType>& text)
{
    using Utf16 = rapidjson::UTF16<CharType>;
    TextOutput<CharType> output(text);
    rapidjson::Writer<TextOutput<CharType>, Utf16, Utf16> writer(output);
    bool written = writer.StartObject();
    for (auto member = map.begin(); written && member != map.end(); ++member) {
        written = writer.Key(member->first.data(), static_cast<rapidjson::SizeType>(member->first.size())) &&
                  WriteMemberValue(writer, member->second);
    }
    return written && writer.EndObject(static_cast<rapidjson::SizeType>(map.size()));
}

}  // namespace qeldoc
