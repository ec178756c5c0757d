// Conversions between JSON text and the program's value shapes (string maps
// and record lists), on RapidJSON's UTF-16 document. Used by the data store
// document and by anything else that hands a string map on as JSON.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "datastore/DocumentModel.h"

#include <map>
#include <string>
#include <string_view>

// Top-level members of a JSON object, by name.
using NamedStringMaps = std::map<std::wstring, StringMap>;
using NamedRecordLists = std::map<std::wstring, RecordList>;

// Text in: the whole text is parsed with RapidJSON's default flags (strict
// JSON). Only the value shapes of the data store are accepted: a root object
// whose members are objects of strings or arrays of such objects; anything
// else is refused with 87 rather than read in part. On failure the output
// argument is left as it was. Text out: RapidJSON's compact writer, members in
// map order, standard JSON escaping, characters outside ASCII as they are.
class CRapidJasonParser {
public:
    CRapidJasonParser() = default;
    virtual ~CRapidJasonParser() = default;

    // out = one string map per member whose value is an object (a later
    // duplicate name replaces an earlier one).
    virtual DWORD JsonObjectToMap(const std::wstring& json, NamedStringMaps& out);
    // out = one record list per member whose value is a non-empty array; an
    // empty array is not reported at all.
    virtual DWORD JsonNamedArrayToVector(const std::wstring& json, NamedRecordLists& out);
    // The root is an array of objects of strings; out = one record per element.
    virtual DWORD JsonArrayToVector(const std::wstring& json, RecordList& out);
    // "name":{...}; the name is written as given, without escaping.
    virtual DWORD MapToNamedJsonObject(const std::wstring& name, const StringMap& map, std::wstring& out);
    // "name":[{...},{...}]; the name is written as given, without escaping.
    virtual DWORD VectorToNamedJsonArray(const std::wstring& name, const RecordList& list, std::wstring& out);
    // {"a":"1","b":"2"}: the map as one compact JSON object.
    virtual DWORD MapToJsonObject(const StringMap& map, std::wstring& out);
    // The whole data store document in the code units json[0, length), in one
    // pass, into a document's sections (qeldoc::ReadDocument, made with out's
    // allocator); unlike the conversions above it refuses no shape inside a
    // root object. Failures (logged as JsonObjectToMap's): not JSON, or a root
    // that is not an object (87). On failure out may hold part of the text.
    [[nodiscard]] virtual DWORD JsonToDocument(const char16_t* json, size_t length, qeldoc::ParsedDocument& out);
    // The writing operations above, appending to a text instead of replacing
    // it. On failure the text
    // may hold part of the output.
    [[nodiscard]] virtual DWORD AppendNamedJsonObject(std::wstring_view name, const StringMap& map, std::wstring& text);
    [[nodiscard]]
    virtual DWORD AppendNamedJsonArray(std::wstring_view name, const RecordList& list, std::wstring& text);
    [[nodiscard]] virtual DWORD AppendJsonObject(const StringMap& map, std::wstring& text);
};
