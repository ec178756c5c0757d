#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"

#include "datastore/DocumentText.h"
#include "common/ExceptionBoundary.h"
#include "logging/Log.h"
#include "logging/LoggedBoundary.h"

#include <rapidjson/document.h>

#include <string_view>
#include <tuple>
#include <utility>

namespace {

using Utf16 = rapidjson::UTF16<wchar_t>;
using JsonDocument = rapidjson::GenericDocument<Utf16>;
using JsonValue = rapidjson::GenericValue<Utf16>;

constexpr wchar_t kSourceFile[] = L"RapidJasonParser.cpp";

// What escapes a conversion: ERROR_NOT_ENOUGH_MEMORY for the memory, and an
// internal failure for anything else.
constexpr boundary::Codes kConversionCodes{.noMemory = ERROR_NOT_ENOUGH_MEMORY, .other = ERROR_INTERNAL_ERROR};

using JsonTextStream = qeldoc::BoundedTextStream<wchar_t>;

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

// Fills an empty string map from an object of strings. Within one object a
// later duplicate name replaces the earlier value.
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

// Fills an empty record list, one map per element.
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
    return boundary::Logged({kSourceFile, operation}, L"Not enough memory to convert the map to JSON",
                            kConversionCodes, [&] {
        std::wstring text;
        const DWORD rc = render(text);
        if (rc == ERROR_SUCCESS) out.swap(text);
        return rc;
    });
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
    JsonTextStream stream(json, length);
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
    return ParseBounded(json, length, operation, [&](JsonTextStream& stream) {
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
    return boundary::Logged({kSourceFile, operation}, L"Not enough memory to convert the JSON text",
                            kConversionCodes, [&] {
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
        return DWORD{ERROR_SUCCESS};
    });
}

// The compact text of one string map, appended.
DWORD WriteObject(const StringMap& map, std::wstring& text, const wchar_t* operation)
{
    return boundary::Logged({kSourceFile, operation}, L"Not enough memory to convert the map to JSON",
                            kConversionCodes, [&] {
        // Straight from the map to the writer: the same compact text and
        // escaping as writing a document of these members, without building one.
        if (!qeldoc::AppendObject(map, text)) {
            QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON writer refused the map");
            return DWORD{ERROR_INTERNAL_ERROR};
        }
        return DWORD{ERROR_SUCCESS};
    });
}

// "name":[{...},{...}], appended.
// A name or a bracket that cannot be appended answers ERROR_NOT_ENOUGH_MEMORY
// unlogged, as it always has; the maps' own conversions log.
DWORD WriteNamedArray(std::wstring_view name, const RecordList& list, std::wstring& text)
{
    return boundary::Answer(kConversionCodes, [&] {
        text.append(1, L'"').append(name).append(L"\":[");
        for (size_t i = 0; i < list.size(); ++i) {
            if (i) text.push_back(L',');
            const DWORD rc = WriteObject(list[i], text, L"CRapidJasonParser::VectorToNamedJsonArray");
            if (rc != ERROR_SUCCESS) return rc;
        }
        text.push_back(L']');
        return DWORD{ERROR_SUCCESS};
    });
}

DWORD WriteNamedObject(std::wstring_view name, const StringMap& map, std::wstring& text)
{
    const DWORD rc = boundary::Answer(kConversionCodes, [&] {
        text.append(1, L'"').append(name).append(L"\":");
        return DWORD{ERROR_SUCCESS};
    });
    return rc == ERROR_SUCCESS ? WriteObject(map, text, L"CRapidJasonParser::MapToNamedJsonObject") : rc;
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

DWORD CRapidJasonParser::JsonToDocument(const char16_t* json, size_t length, qeldoc::ParsedDocument& out)
{
    const wchar_t* const operation = L"CRapidJasonParser::JsonObjectToMap";
    // Running out of memory is told under this operation's own name.
    return boundary::Logged({kSourceFile, L"CRapidJasonParser::JsonToDocument"},
                            L"Not enough memory to convert the JSON text", kConversionCodes, [&] {
        const qeldoc::ReadResult read = qeldoc::ReadDocument(json, length, out);
        switch (read.failure) {
            case qeldoc::ReadFailure::kNone: return DWORD{ERROR_SUCCESS};
            case qeldoc::ReadFailure::kEmpty:
                QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Invalid jsonString argument");
                break;
            case qeldoc::ReadFailure::kNotJson:
                QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"Parse Error: %d", read.parseError);
                break;
            case qeldoc::ReadFailure::kRootNotObject:
                QEL_LOG_AS(LOG_ERROR, kSourceFile, operation, L"JSON root is not an object");
                break;
        }
        return DWORD{ERROR_INVALID_PARAMETER};
    });
}

DWORD CRapidJasonParser::JsonArrayToVector(const std::wstring& json, RecordList& out)
{
    return boundary::Logged({kSourceFile, L"CRapidJasonParser::JsonArrayToVector"},
                            L"Not enough memory to convert the JSON text", kConversionCodes, [&] {
        JsonDocument document;
        const DWORD rc = ParseWholeText(json.data(), json.size(), document, L"CRapidJasonParser::JsonArrayToVector");
        if (rc != ERROR_SUCCESS) return rc;
        if (!IsArrayOfStringObjects(document)) {
            QEL_LOG(LOG_ERROR, L"JSON root is not an array of objects of strings");
            return DWORD{ERROR_INVALID_PARAMETER};
        }
        RecordList records;
        FillRecordList(document, records);
        out.swap(records);
        return DWORD{ERROR_SUCCESS};
    });
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

DWORD CRapidJasonParser::AppendNamedJsonArray(std::wstring_view name, const RecordList& list, std::wstring& text)
{
    return WriteNamedArray(name, list, text);
}

DWORD CRapidJasonParser::AppendJsonObject(const StringMap& map, std::wstring& text)
{
    return WriteObject(map, text, L"CRapidJasonParser::MapToJsonObject");
}
