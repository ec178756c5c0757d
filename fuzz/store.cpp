// store: the data store's document text (the load and render steps of
// CQelJsonFormat). Every input is either refused (not JSON, or a root that is
// not an object: exactly when RapidJSON's own document refuses it) or loads
// into what RapidJSON's document holds by the store's rules; then it renders
// to a text that loads to the same content and renders to itself, and every
// value kept as JSON text is that JSON value.
#include "datastore/DocumentText.h"
#include "fuzz/FuzzText.h"

#include <rapidjson/document.h>

#include <map>

namespace {

using Utf16 = rapidjson::UTF16<char16_t>;
using Json = rapidjson::GenericDocument<Utf16>;
using JsonValue = rapidjson::GenericValue<Utf16>;
using Stream = qeldoc::BoundedTextStream<char16_t>;
constexpr unsigned kFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

// RapidJSON's document of the text, read as the store reads it; false when it refuses it.
bool Parse(std::u16string_view text, Json& json)
{
    Stream stream(text.data(), text.size());
    json.ParseStream<kFlags, Utf16>(stream);
    return !json.HasParseError() && stream.Tell() == text.size();
}

// The same JSON value, member by member in order (duplicate names included).
bool Same(const JsonValue& a, const JsonValue& b)
{
    if (a.GetType() != b.GetType()) return false;
    if (a.IsString()) return std::u16string_view(a.GetString(), a.GetStringLength()) == std::u16string_view(b.GetString(), b.GetStringLength());
    if (a.IsArray()) {
        if (a.Size() != b.Size()) return false;
        for (rapidjson::SizeType i = 0; i < a.Size(); ++i) {
            if (!Same(a[i], b[i])) return false;
        }
        return true;
    }
    if (a.IsObject()) {
        if (a.MemberCount() != b.MemberCount()) return false;
        for (auto x = a.MemberBegin(), y = b.MemberBegin(); x != a.MemberEnd(); ++x, ++y) {
            if (!Same(x->name, y->name) || !Same(x->value, y->value)) return false;
        }
        return true;
    }
    return a == b;
}

// A value kept as JSON text is that value, and JSON on its own.
bool Holds(std::u16string_view text, const JsonValue& value)
{
    Json json;
    return Parse(text, json) && Same(json, value);
}

std::u16string_view View(const JsonValue& string) { return {string.GetString(), string.GetStringLength()}; }

// A section (or record) is the object's members by the store's rules: a later
// duplicate name wins, strings are read, other values kept as JSON text.
void CheckSection(const qeldoc::Section& section, const JsonValue& object)
{
    std::map<std::u16string_view, const JsonValue*> last;
    for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) last[View(member->name)] = &member->value;
    FUZZ_CHECK(section.size() == last.size());
    for (const auto& [name, value] : last) {
        const auto found = section.find(name);
        FUZZ_CHECK(found != section.end() && found->second.raw == !value->IsString());
        FUZZ_CHECK(value->IsString() ? found->second.text == View(*value) : Holds(found->second.text, *value));
    }
}

void CheckRecords(const qeldoc::Records& records, const JsonValue& array)
{
    FUZZ_CHECK(records.size() == array.Size());
    for (rapidjson::SizeType i = 0; i < array.Size(); ++i) CheckSection(records[i], array[i]);
}

bool IsListOfObjects(const JsonValue& value)
{
    if (!value.IsArray()) return false;
    for (const auto& element : value.GetArray()) {
        if (!element.IsObject()) return false;
    }
    return true;
}

// What the document holds, against RapidJSON's document of the same text.
void CheckLoaded(const qeldoc::Document& document, const Json& json)
{
    // The last member of each name decides; ours in their shape are sections, everything else is kept as text.
    std::map<std::u16string_view, const JsonValue*> last;
    const JsonValue* lists[2] = {nullptr, nullptr};  // the last non-empty list of records of Packages, ScheduleTask
    for (auto member = json.MemberBegin(); member != json.MemberEnd(); ++member) {
        const std::u16string_view name = View(member->name);
        last[name] = &member->value;
        const int list = name == u"Packages" ? 0 : name == u"ScheduleTask" ? 1 : -1;
        if (list >= 0 && (!IsListOfObjects(member->value) || !member->value.Empty())) {
            lists[list] = IsListOfObjects(member->value) ? &member->value : nullptr;
        }
    }
    size_t others = 0;
    for (const auto& [name, value] : last) {
        const bool object = qeldoc::IsObjectSection(name) && value->IsObject();
        const bool list = qeldoc::IsListSection(name) && IsListOfObjects(*value);
        if (object || list) continue;
        ++others;
        const auto kept = document.others.find(name);
        FUZZ_CHECK(kept != document.others.end() && Holds(kept->second, *value));
    }
    FUZZ_CHECK(document.others.size() == others);
    for (const std::u16string_view name : {u"oobe", u"eula", u"Entitlement"}) {
        const qeldoc::Section& section = name == u"oobe" ? document.oobe : name == u"eula" ? document.eula : document.entitlement;
        const auto found = last.find(name);
        if (found != last.end() && found->second->IsObject()) CheckSection(section, *found->second);
        else FUZZ_CHECK(section.empty());
    }
    const qeldoc::Records* ours[2] = {&document.packages, &document.tasks};
    for (int i = 0; i < 2; ++i) {
        if (lists[i]) CheckRecords(*ours[i], *lists[i]);
        else FUZZ_CHECK(ours[i]->empty());
    }
}

bool Load(std::u16string_view text, qeldoc::Document& document)
{
    qeldoc::ParsedDocument parsed(&document.arena);
    if (qeldoc::ReadDocument(text.data(), text.size(), parsed).failure != qeldoc::ReadFailure::kNone) return false;
    qeldoc::TakeDocument(parsed, document);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static qeldoc::Document loaded, again;
    const std::u16string text = qelfuzz::Utf16(data, size);
    Json json;
    const bool accepted = Parse(text, json) && json.IsObject();
    const bool read = Load(text, loaded);
    FUZZ_CHECK(read == accepted);
    if (read) {
        CheckLoaded(loaded, json);
        std::u16string first, second;
        FUZZ_CHECK(qeldoc::RenderDocument(loaded, first).failure == qeldoc::RenderFailure::kNone);
        FUZZ_CHECK(first.compare(0, 9, u"{ \"oobe\":") == 0 && first.size() >= 11 && first.compare(first.size() - 2, 2, u" }") == 0);
        FUZZ_CHECK(Load(first, again) && loaded.oobe == again.oobe && loaded.eula == again.eula &&
                   loaded.entitlement == again.entitlement && loaded.packages == again.packages &&
                   loaded.tasks == again.tasks && loaded.others == again.others);
        FUZZ_CHECK(qeldoc::RenderDocument(again, second).failure == qeldoc::RenderFailure::kNone && second == first);
    }
    loaded.Clear();
    again.Clear();
    return 0;
}
