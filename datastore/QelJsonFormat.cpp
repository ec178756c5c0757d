#include "common/Platform.h"

#include "datastore/QelJsonFormat.h"

#include "datastore/DataStoreActivity.h"
#include "datastore/DocumentText.h"

#include "base/RegKey.h"
#include "common/OwnFiles.h"
#include "common/UniqueHandle.h"
#include "config/PCReg.h"
#include "config/QELConfig.h"
#include "config/QELSettings.h"
#include "logging/Log.h"
#include "logging/LoggedBoundary.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

// The parsing and rendering steps shared by parseJson/LoadData and
// getJson/SaveData log under the operations they belong to.
#define PARSE_LOG(level, ...) QEL_LOG_AS((level), L"QelJsonFormat.cpp", L"CQelJsonFormat::parseJson", __VA_ARGS__)
#define LOAD_LOG(level, ...) QEL_LOG_AS((level), L"QelJsonFormat.cpp", L"CQelJsonFormat::LoadData", __VA_ARGS__)
#define RENDER_LOG(level, ...) QEL_LOG_AS((level), L"QelJsonFormat.cpp", L"CQelJsonFormat::getJson", __VA_ARGS__)

namespace {

constexpr wchar_t kOobeState[] = L"oobestate";
constexpr wchar_t kEulaState[] = L"eulastate";
constexpr wchar_t kPkgId[] = L"PkgID";
constexpr wchar_t kTaskName[] = L"Name";

// The document holds its text as char16_t, the program's interfaces as
// wchar_t: both UTF-16 code units here.
std::u16string Units(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }
std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// section[name] = value
void Put(qeldoc::Section& section, std::wstring_view name, std::wstring_view value)
{
    const auto it = section.find(Units(name));
    if (it != section.end()) {
        it->second.Set(Units(value));
    } else {
        section.emplace(std::piecewise_construct, std::forward_as_tuple(Units(name)), std::forward_as_tuple(Units(value)));
    }
}

StringMap ToStringMap(const qeldoc::Section& section)
{
    StringMap map;
    for (const auto& [name, value] : section) {
        if (!value.raw) map.emplace_hint(map.end(), Wide(name), Wide(value.text));
    }
    return map;
}

// Leading blanks, an optional sign, then digits up to the first non-digit; no digits give 0.
int ToNumber(const std::wstring& text) { return static_cast<int>(std::wcstol(text.c_str(), nullptr, 10)); }

// How many bytes the registry holds for the key blob (0 when it cannot tell).
DWORD StoredKeyBlobLength()
{
    Stratum::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, qelkeys::kCore, KEY_READ | CPCReg().ViewFlags()) != ERROR_SUCCESS) return 0;
    DWORD type = 0;
    ULONG bytes = 0;
    if (key.QueryValue(L"DataStore", &type, nullptr, &bytes) != ERROR_SUCCESS) return 0;
    return bytes;
}

// How long a run may wait for the store's mutex: an administrator may
// shorten it, never lengthen it.
DWORD StoreLockWaitMs()
{
    DWORD seconds = 0;
    DWORD bytes = sizeof(seconds);
    ScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, qelkeys::kCore, 0, KEY_READ | CPCReg().ViewFlags(), key.Put()) !=
            ERROR_SUCCESS ||
        ::RegGetValueW(key.Get(), nullptr, L"DataStoreWaitInSec", RRF_RT_REG_DWORD, nullptr, &seconds, &bytes) !=
            ERROR_SUCCESS ||
        seconds == 0 || seconds * 1000 > CSingleMutexForAllUser::kDefaultWaitMs) {
        return CSingleMutexForAllUser::kDefaultWaitMs;
    }
    return seconds * 1000;
}

}  // namespace

CQelJsonFormat::CQelJsonFormat() : CQelJsonFormat(StoreLockWaitMs()) {}

CQelJsonFormat::CQelJsonFormat(DWORD lockWaitMs) : m_lock(qeldb::kMutexName, lockWaitMs) {}

CQelJsonFormat::~CQelJsonFormat() = default;

DWORD CQelJsonFormat::prepareFileAccess()
{
    DWORD rc = readKeyBlob();
    if (rc == ERROR_SUCCESS) rc = readDBPath();
    if (rc == ERROR_SUCCESS) rc = createEncryptedFileObject();
    return rc;
}

DWORD CQelJsonFormat::LoadData()
{
    ++datastore_activity::g_loads;
    CSingleMutexForAllUserGrab grab(m_lock);
    m_fileNotReplaceable = false;
    if (grab.TimedOut()) {
        // Read as an unreadable store (the operation finds nothing), but never
        // replaced by a fresh document: what it holds was not seen.
        m_fileNotReplaceable = true;
        QEL_LOG(LOG_ERROR, L"Error reading data from JSON ini file");
        return ERROR_FILE_CORRUPT;
    }
    if (prepareFileAccess() != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Failed to initialize objects for reading JSON file");
        return ERROR_INTERNAL_ERROR;
    }
    if (m_file->ReadFileData(m_filePath, m_loadBuffer) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error reading data from JSON ini file");
        keepUnreadableFile(m_file->KeyImported());
        return ERROR_FILE_CORRUPT;
    }
    if (parseText(reinterpret_cast<const char16_t*>(m_loadBuffer.data()), m_loadBuffer.size() / sizeof(char16_t)) !=
        ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error parsing JSON data");
        keepUnreadableFile(true);
        return ERROR_INTERNAL_ERROR;
    }
    return ERROR_SUCCESS;
}

// A failed load is followed, in the facade, by an operation on an empty
// document and possibly a save that replaces the file. Whatever the file held
// is kept first, so that nothing written by another program (or under another
// key) is lost. A missing or empty file holds nothing and is not copied. A
// file that could not be opened, could not be copied, or was read with a key
// that did not import (the file may well be good) is not copied either, and
// then no save of this document replaces it until a load reads it.
void CQelJsonFormat::keepUnreadableFile(bool keyImported)
{
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExW(m_filePath.c_str(), GetFileExInfoStandard, &info)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        m_fileNotReplaceable = true;
        LOAD_LOG(LOG_ERROR, L"Cant keep unreadable data store file as %s, error %d",
                (m_filePath + qeldb::kUnreadableSuffix).c_str(), static_cast<int>(error));
        return;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nFileSizeHigh == 0 && info.nFileSizeLow == 0) {
        return;
    }
    m_fileNotReplaceable = true;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        LOAD_LOG(LOG_ERROR, L"The data store file %s is a folder; it is left as it is", m_filePath.c_str());
        return;
    }
    if (!keyImported) {
        LOAD_LOG(LOG_ERROR, L"The data store file %s was not read: the key could not be imported", m_filePath.c_str());
        return;
    }
    // Kept only from the store's own file: a name that is a link (or one of
    // several names of a file) is some other file, which the next save
    // replaces (the link, not what it points to) and which is not copied where
    // every user may read it. The copy replaces an older one by name only
    // (never writing through a link that stands there) and is made anew.
    const std::wstring copy = m_filePath + qeldb::kUnreadableSuffix;
    ScopedHandle stored;
    std::wstring why;
    DWORD rc = own_files::OpenPlainFile(m_filePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, stored, &why);
    if (rc == ERROR_CANT_ACCESS_FILE) {
        m_fileNotReplaceable = false;
        LOAD_LOG(LOG_ERROR, L"The data store file %s is not kept: %s", m_filePath.c_str(), why.c_str());
        return;
    }
    if (rc == ERROR_SUCCESS) rc = own_files::RemoveName(copy, &why);
    if (rc == ERROR_SUCCESS) rc = own_files::CopyToNewFile(stored.Get(), copy, &why);
    if (rc == ERROR_SUCCESS) {
        m_fileNotReplaceable = false;
        LOAD_LOG(LOG_WARNING, L"Unreadable data store file kept as %s", copy.c_str());
        return;
    }
    if (rc == ERROR_CANT_ACCESS_FILE) LOAD_LOG(LOG_ERROR, L"%s is not used: %s", copy.c_str(), why.c_str());
    LOAD_LOG(LOG_ERROR, L"Cant keep unreadable data store file as %s, error %d", copy.c_str(), static_cast<int>(rc));
}

DWORD CQelJsonFormat::SaveData()
{
    ++datastore_activity::g_saves;
    CSingleMutexForAllUserGrab grab(m_lock);
    if (grab.TimedOut()) {
        QEL_LOG(LOG_ERROR, L"Error parsing writing to database");
        return ERROR_INTERNAL_ERROR;
    }
    if (prepareFileAccess() != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Failed to initialize objects for writing JSON file");
        return ERROR_INTERNAL_ERROR;
    }
    if (m_fileNotReplaceable) {
        QEL_LOG(LOG_ERROR, L"The data store file %s could not be read or kept; it is not replaced", m_filePath.c_str());
        QEL_LOG(LOG_ERROR, L"Error parsing writing to database");
        return ERROR_INTERNAL_ERROR;
    }
    m_saveText.clear();
    if (render(m_saveText) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error JSON data");
        return ERROR_INTERNAL_ERROR;
    }
    // The writer copies the code units as bytes.
    if (m_file->WriteFileData(m_filePath, reinterpret_cast<const wchar_t*>(m_saveText.data()), m_saveText.size()) !=
        ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error parsing writing to database");
        return ERROR_INTERNAL_ERROR;
    }
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::ReadStoredText(std::wstring& text)
{
    CSingleMutexForAllUserGrab grab(m_lock);
    if (grab.TimedOut()) return ERROR_FILE_CORRUPT;
    if (prepareFileAccess() != ERROR_SUCCESS) return ERROR_INTERNAL_ERROR;
    return m_file->ReadFileData(m_filePath, text) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_FILE_CORRUPT;
}

DWORD CQelJsonFormat::ClearData()
{
    m_document.Clear();
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::ResetData()
{
    CSingleMutexForAllUserGrab grab(m_lock);
    m_file.reset();
    m_keyBlob.reset();
    return ClearData();
}

DWORD CQelJsonFormat::GetJsonData(std::wstring& text)
{
    return getJson(text) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

DWORD CQelJsonFormat::GetOobeState(int& state)
{
    std::wstring value;
    if (!getMapValue(m_document.oobe, kOobeState, value)) {
        QEL_LOG(LOG_ERROR, L"Cant find %s key value in map", kOobeState);
        return ERROR_NOT_FOUND;
    }
    state = ToNumber(value);
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::SetOobeState(int state)
{
    Put(m_document.oobe, kOobeState, std::to_wstring(state));
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetEulaState(int& state)
{
    std::wstring value;
    if (!getMapValue(m_document.eula, kEulaState, value)) {
        QEL_LOG(LOG_ERROR, L"Cant find %s key value in map", kEulaState);
        return ERROR_NOT_FOUND;
    }
    state = ToNumber(value);
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::SetEulaState(int state)
{
    Put(m_document.eula, kEulaState, std::to_wstring(state));
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetOobeParameter(const std::wstring& name, std::wstring& value)
{
    if (!getMapValue(m_document.oobe, name, value)) {
        QEL_LOG(LOG_ERROR, L"Cant find %s key value in db", name.c_str());
        return ERROR_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::SetOobeParameter(const std::wstring& name, const std::wstring& value)
{
    Put(m_document.oobe, name, value);
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetEulaParameter(const std::wstring& name, std::wstring& value)
{
    if (!getMapValue(m_document.eula, name, value)) {
        QEL_LOG(LOG_ERROR, L"Cant find %s key value in db", name.c_str());
        return ERROR_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::SetEulaParameter(const std::wstring& name, const std::wstring& value)
{
    Put(m_document.eula, name, value);
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::SetPkgParameter(const std::wstring& packageId, const std::wstring& name,
                                      const std::wstring& value)
{
    bool found = false;
    std::wstring id;
    for (auto& record : m_document.packages) {
        if (getMapValue(record, kPkgId, id) && id == packageId) {
            insertMapValue(record, name, value);
            found = true;
        }
    }
    if (!found) {
        appendRecord(m_document.packages, kPkgId, packageId);
        insertMapValue(m_document.packages.back(), name, value);
    }
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetPackage(const std::wstring& packageId, StringMap& record)
{
    std::wstring id;
    for (auto it = m_document.packages.rbegin(); it != m_document.packages.rend(); ++it) {
        if (getMapValue(*it, kPkgId, id) && id == packageId) {
            record = ToStringMap(*it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_NOT_FOUND;
}

DWORD CQelJsonFormat::GetPkgParameter(const std::wstring& packageId, const std::wstring& name, std::wstring& value)
{
    StringMap record;
    const auto entry = GetPackage(packageId, record) == ERROR_SUCCESS ? record.find(name) : record.end();
    if (entry == record.end() || entry->second.empty()) {
        QEL_LOG(LOG_ERROR,
                L"Returning from GetPkgParameter, passed in Key:Value pair does not exist in this package. "
                L"pkgid:%s, key:%s",
                packageId.c_str(), name.c_str());
        return ERROR_FILE_NOT_FOUND;
    }
    value = entry->second;
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetPkgIDs(StringList& ids) { return getRecordValues(m_document.packages, kPkgId, ids); }

DWORD CQelJsonFormat::GetScheduleTask(const std::wstring& name, StringMap& record)
{
    std::wstring taskName;
    for (auto it = m_document.tasks.rbegin(); it != m_document.tasks.rend(); ++it) {
        if (getMapValue(*it, kTaskName, taskName) && taskName == name) {
            record = ToStringMap(*it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_NOT_FOUND;
}

DWORD CQelJsonFormat::AddScheduleTask(const std::wstring& name, const StringMap& record)
{
    StringMap existing;
    if (GetScheduleTask(name, existing) == ERROR_SUCCESS) DeleteScheduleTask(name);
    qeldoc::Section& added = m_document.tasks.emplace_back();
    for (const auto& [key, value] : record) added.emplace_hint(added.end(), Units(key), Units(value));
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetScheduleTaskNames(StringList& names) { return getRecordValues(m_document.tasks, kTaskName, names); }

DWORD CQelJsonFormat::DeleteScheduleTask(const std::wstring& name)
{
    std::wstring taskName;
    const auto it = std::find_if(m_document.tasks.begin(), m_document.tasks.end(), [&](const qeldoc::Section& record) {
        return getMapValue(record, kTaskName, taskName) && taskName == name;
    });
    if (it != m_document.tasks.end()) m_document.tasks.erase(it);
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::DeleteAllScheduleTasks()
{
    m_document.tasks.clear();
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::SetEntParameter(const std::wstring& key, const std::wstring& value)
{
    const auto it = m_document.entitlement.find(Units(key));
    if (it != m_document.entitlement.end()) {
        QEL_LOG(LOG_NORMAL, L"Found %s key value in map, overwriting the value.", key.c_str());
        it->second.Set(Units(value));
    } else {
        m_document.entitlement.emplace(Units(key), Units(value));
    }
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetEntParameter(const std::wstring& key, std::wstring& value)
{
    const auto it = m_document.entitlement.find(Units(key));
    // A value of another shape (another program's) is no status value of ours.
    if (it == m_document.entitlement.end() || it->second.raw) return ERROR_NOT_FOUND;
    value = Wide(it->second.text);
    if (value.empty()) {
        QEL_LOG(LOG_ERROR, L"GetEntParameter key-value not found. key:%s", key.c_str());
        return ERROR_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::GetEntParameters(StringMap& parameters)
{
    parameters = ToStringMap(m_document.entitlement);
    return parameters.empty() ? ERROR_NOT_FOUND : ERROR_SUCCESS;
}

bool CQelJsonFormat::getMapValue(const qeldoc::Section& record, const std::wstring& name, std::wstring& value)
{
    const auto it = record.find(Units(name));
    if (it == record.end() || it->second.raw) return false;
    value = Wide(it->second.text);
    return true;
}

void CQelJsonFormat::insertMapValue(qeldoc::Section& map, const std::wstring& name, const std::wstring& value)
{
    map.emplace(Units(name), Units(value));
}

void CQelJsonFormat::appendRecord(qeldoc::Records& list, const std::wstring& name, const std::wstring& value)
{
    list.emplace_back().emplace(Units(name), Units(value));
}

DWORD CQelJsonFormat::getRecordValues(const qeldoc::Records& list, const std::wstring& name, StringList& values)
{
    bool any = false;
    std::wstring value;
    for (const auto& record : list) {
        if (getMapValue(record, name, value)) {
            values.push_back(value);
            any = true;
        }
    }
    return any ? ERROR_SUCCESS : ERROR_NOT_FOUND;
}

DWORD CQelJsonFormat::parseJson(const std::wstring& text)
{
    const std::u16string units = Units(text);
    return parseText(units.data(), units.size());
}

DWORD CQelJsonFormat::parseText(const char16_t* text, size_t length)
{
    return boundary::Logged({L"QelJsonFormat.cpp", L"CQelJsonFormat::parseJson"},
                            L"Not enough memory to hold the data store document", {}, [&] {
        // Read into sections of their own first, so that a text that fails
        // halfway changes nothing.
        qeldoc::ParsedDocument parsed(&m_document.arena);
        if (m_parser.JsonToDocument(text, length, parsed) != ERROR_SUCCESS) {
            PARSE_LOG(LOG_ERROR, L"Cant convert JSON object to map");
            return DWORD{ERROR_INVALID_PARAMETER};
        }
        for (const auto& [name, json] : parsed.others) {
            if (qeldoc::IsObjectSection(name) || qeldoc::IsListSection(name)) {
                PARSE_LOG(LOG_WARNING, L"Data store section %s has a shape this program does not read; it is kept as it is",
                          Wide(name).c_str());
            }
        }
        qeldoc::TakeDocument(parsed, m_document);
        return DWORD{ERROR_SUCCESS};
    });
}

DWORD CQelJsonFormat::getJson(std::wstring& text)
{
    std::u16string document;
    if (render(document) != ERROR_SUCCESS) return ERROR_INTERNAL_ERROR;
    return boundary::Logged({L"QelJsonFormat.cpp", L"CQelJsonFormat::getJson"},
                            L"Not enough memory to render the data store document",
                            {.noMemory = ERROR_INTERNAL_ERROR, .other = ERROR_INTERNAL_ERROR}, [&] {
        text = Wide(document);
        return DWORD{ERROR_SUCCESS};
    });
}

// "{ " + the sections joined by "," + " }"
DWORD CQelJsonFormat::render(std::u16string& text)
{
    static const wchar_t* const kFailures[] = {
        L"Cant convert map to JSON object (OOBE)", L"Cant convert vector to JSON array (PKGS)",
        L"Cant convert vector to JSON array (TASKS)", L"Cant convert map to JSON object (EULA)",
        L"Cant convert map to JSON object (ENTITLE)"};
    const qeldoc::RenderResult result = qeldoc::RenderDocument(m_document, text);
    if (result.failure == qeldoc::RenderFailure::kNone) return ERROR_SUCCESS;
    const int section = result.section;
    // A list's records are written as the parser's VectorToNamedJsonArray writes them.
    const wchar_t* const conversion = section == 1 || section == 2 ? L"CRapidJasonParser::VectorToNamedJsonArray"
                                                                   : L"CRapidJasonParser::MapToNamedJsonObject";
    switch (result.failure) {
        case qeldoc::RenderFailure::kKeptSectionChanged:
            RENDER_LOG(LOG_ERROR, L"Data store section %s was changed but has a shape this program does not write; "
                                  L"the file is not written", Wide(qeldoc::kSections[section]).c_str());
            break;
        case qeldoc::RenderFailure::kWriterRefused:
            QEL_LOG_AS(LOG_ERROR, L"RapidJasonParser.cpp", conversion, L"JSON writer refused the map");
            break;
        default:
            if (section < 0) {
                RENDER_LOG(LOG_ERROR, L"Not enough memory to render the data store document");
                return ERROR_INTERNAL_ERROR;
            }
            QEL_LOG_AS(LOG_ERROR, L"RapidJasonParser.cpp", conversion, L"Not enough memory to convert the map to JSON");
            break;
    }
    RENDER_LOG(LOG_ERROR, L"%s", kFailures[section]);
    return ERROR_INTERNAL_ERROR;
}

DWORD CQelJsonFormat::readDBPath()
{
    if (!m_filePath.empty()) return ERROR_SUCCESS;
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    std::wstring path;
    if (settings.GetDBPath(path) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Cant get database file path");
        return ERROR_INTERNAL_ERROR;
    }
    // The settings add "\qeldata.dat" even when "DBPath" is missing; a path with
    // nothing before that file name has no folder, and counts as no path.
    const size_t fileNameLength = 1 + std::wcslen(CQELSettings::kDataStoreFileName);
    if (path.size() <= fileNameLength) {
        QEL_LOG(LOG_ERROR, L"Error in file path or keyBlob empty");
        return ERROR_INTERNAL_ERROR;
    }
    m_filePath.swap(path);
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::readKeyBlob()
{
    if (m_keyBlob) return ERROR_SUCCESS;
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    SharedBuffer blob;
    if (settings.GetDataStore(blob) != ERROR_SUCCESS) return ERROR_INTERNAL_ERROR;
    if (!blob) {
        QEL_LOG(LOG_ERROR, L"Error in file path or keyBlob empty");
        return ERROR_INTERNAL_ERROR;
    }
    // The provider is always handed the full blob length. A shorter value is
    // padded with zeros, so that the import reads nothing but what the
    // registry gave (and then accepts or refuses it on its own terms).
    const DWORD stored = StoredKeyBlobLength();
    if (stored < CPcCrypt::kKeyBlobLength) {
        SharedBuffer padded = MakeSharedBuffer(CPcCrypt::kKeyBlobLength);
        if (!padded) return ERROR_INTERNAL_ERROR;
        std::memset(padded.get(), 0, CPcCrypt::kKeyBlobLength);
        std::memcpy(padded.get(), blob.get(), stored);
        QEL_LOG(LOG_WARNING, L"The data store key blob holds %d bytes instead of %d",
                static_cast<int>(stored), static_cast<int>(CPcCrypt::kKeyBlobLength));
        blob = padded;
    }
    m_keyBlob = blob;
    return ERROR_SUCCESS;
}

DWORD CQelJsonFormat::createEncryptedFileObject()
{
    if (m_file) return ERROR_SUCCESS;
    return boundary::Logged({L"QelJsonFormat.cpp", L"CQelJsonFormat::createEncryptedFileObject"},
                            L"NOT ENOUGH MEMORY - Failed to create encrypted file interface",
                            {.noMemory = ERROR_INTERNAL_ERROR, .other = ERROR_INTERNAL_ERROR}, [&] {
        m_file = std::make_shared<CPcEncryptedFile>(m_keyBlob);
        return DWORD{ERROR_SUCCESS};
    });
}
