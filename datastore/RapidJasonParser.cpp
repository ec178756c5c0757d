#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"

#include "logging/Log.h"

#include <rapidjson/document.h>
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

// Parses the whole text. Failures are logged under the calling operation's name.
DWORD ParseWholeText(const wchar_t* json, size_t length, JsonDocument& document, const wchar_t* operation)
{
    if (!json || length == 0) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Invalid jsonString argument");
        return ERROR_INVALID_PARAMETER;
    }
    // Standard JSON (the default flags: no comments, no trailing commas), read
    // by RapidJSON's iterative reader: the same grammar and error codes, but
    // deep nesting in a damaged or hostile file costs heap, not call stack, so
    // it is refused instead of ending the process.
    BoundedTextStream stream(json, length);
    document.ParseStream<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag, Utf16>(stream);
    if (document.HasParseError()) {
        QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Parse Error: %d", static_cast<int>(document.GetParseError()));
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

// One parse of the text into either or both shapes; outputs change only on
// success. Works for the program's maps and for the document's sections: the
// results are made with the outputs' own allocators.
template <typename Objects, typename Lists>
DWORD ConvertSections(const wchar_t* json, size_t length, Objects* objects, Lists* lists, const wchar_t* operation)
{
    try {
        JsonDocument document;
        DWORD rc = ParseWholeText(json, length, document, operation);
        if (rc == ERROR_SUCCESS) rc = CheckDocumentShape(document, operation);
        if (rc != ERROR_SUCCESS) return rc;

        Objects sections = objects ? Objects(objects->get_allocator()) : Objects();
        Lists arrays = lists ? Lists(lists->get_allocator()) : Lists();
        for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
            if (objects && member->value.IsObject()) {
                typename Objects::mapped_type map(sections.get_allocator());
                FillStringMap(member->value, map);
                sections.insert_or_assign(typename Objects::key_type(ViewOf(member->name), sections.get_allocator()),
                                          std::move(map));
            } else if (lists && member->value.IsArray() && !member->value.Empty()) {
                typename Lists::mapped_type list(arrays.get_allocator());
                FillRecordList(member->value, list);
                arrays.insert_or_assign(typename Lists::key_type(ViewOf(member->name), arrays.get_allocator()),
                                        std::move(list));
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
                      writer.String(member->second.data(), static_cast<rapidjson::SizeType>(member->second.size()));
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
    return ConvertSections<NamedStringMaps, NamedRecordLists>(json.data(), json.size(), &out, nullptr, L"CRapidJasonParser::JsonObjectToMap");
}

DWORD CRapidJasonParser::JsonNamedArrayToVector(const std::wstring& json, NamedRecordLists& out)
{
    return ConvertSections<NamedStringMaps, NamedRecordLists>(json.data(), json.size(), nullptr, &out, L"CRapidJasonParser::JsonNamedArrayToVector");
}

DWORD CRapidJasonParser::JsonToSections(const wchar_t* json, size_t length, qeldoc::NamedSections& objects,
                                        qeldoc::NamedRecords& lists)
{
    return ConvertSections(json, length, &objects, &lists, L"CRapidJasonParser::JsonObjectToMap");
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
