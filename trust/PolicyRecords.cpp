#include "common/Platform.h"

#include "trust/PolicyRecords.h"

#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "trust/PolicyText.h"

#include <cstring>
#include <string>

namespace {

bool OpenRecords(ScopedRegKey& key, REGSAM access)
{
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyRecordsKey, 0, access | KEY_WOW64_64KEY, key.Put()) ==
           ERROR_SUCCESS;
}

// A value's type and bytes; false when it is not there (or cannot be read:
// `status` tells which).
bool ReadValue(const wchar_t* name, DWORD& type, std::vector<BYTE>& data, LSTATUS& status)
{
    ScopedRegKey key;
    status = ERROR_FILE_NOT_FOUND;
    if (!OpenRecords(key, KEY_QUERY_VALUE)) return false;
    DWORD size = 0;
    status = ::RegQueryValueExW(key.Get(), name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return false;
    data.resize(size);
    status = ::RegQueryValueExW(key.Get(), name, nullptr, &type, data.data(), &size);
    data.resize(size);
    return status == ERROR_SUCCESS;
}

LSTATUS WriteValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    ScopedRegKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyRecordsKey, 0, nullptr, 0,
                                       KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.Put(), nullptr);
    if (status == ERROR_SUCCESS) status = ::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size);
    return status;
}

}  // namespace

bool ReadPolicyVersionFloor(DWORD& floor, DWORD& type)
{
    std::vector<BYTE> data;
    LSTATUS status = ERROR_SUCCESS;
    type = REG_NONE;
    if (!ReadValue(kPolicyFloorValue, type, data, status)) {
        if (status != ERROR_FILE_NOT_FOUND) return false;
        floor = 0;
        return true;
    }
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
        std::memcpy(&floor, data.data(), sizeof(DWORD));
        return true;
    }
    if (type == REG_QWORD && data.size() == sizeof(ULONGLONG)) {
        ULONGLONG value = 0;
        std::memcpy(&value, data.data(), sizeof(value));
        floor = value > MAXDWORD ? MAXDWORD : static_cast<DWORD>(value);  // nothing can be newer
        return true;
    }
    if (type == REG_SZ) {
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        uint32_t value = 0;
        if (!ParseDecimalVersion(text, value)) return false;
        floor = value;
        return true;
    }
    return false;
}

DWORD PolicyVersionFloor()
{
    DWORD floor = 0, type = 0;
    return ReadPolicyVersionFloor(floor, type) ? floor : 0;
}

void RaisePolicyVersionFloor(DWORD version)
{
    DWORD floor = 0, type = 0;
    if (!ReadPolicyVersionFloor(floor, type) || version <= floor) return;
    const LSTATUS status = WriteValue(kPolicyFloorValue, REG_DWORD, &version, sizeof(version));
    if (status != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Policy version %lu not recorded in %s\\%s (%ld)", static_cast<unsigned long>(version),
                kPolicyRecordsKey, kPolicyFloorValue, static_cast<long>(status));
    }
}

bool ReadPolicyCopy(std::vector<BYTE>& bytes, ULONGLONG* written)
{
    DWORD type = 0;
    LSTATUS status = ERROR_SUCCESS;
    std::vector<BYTE> data, time;
    if (!ReadValue(kPolicyCopyValue, type, data, status) || type != REG_BINARY || data.empty()) return false;
    if (written) {
        *written = 0;
        if (ReadValue(kPolicyCopyWrittenValue, type, time, status) && type == REG_QWORD && time.size() == sizeof(*written)) {
            std::memcpy(written, time.data(), sizeof(*written));
        }
    }
    bytes.swap(data);
    return true;
}

void KeepPolicyCopy(const std::vector<BYTE>& bytes, ULONGLONG written)
{
    std::vector<BYTE> kept;
    ULONGLONG keptWritten = 0;
    const bool same = ReadPolicyCopy(kept, &keptWritten) && kept == bytes;
    LSTATUS status = ERROR_SUCCESS;
    if (!same) status = WriteValue(kPolicyCopyValue, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    if (status == ERROR_SUCCESS && (!same || keptWritten != written)) {
        status = WriteValue(kPolicyCopyWrittenValue, REG_QWORD, &written, sizeof(written));
    }
    if (status != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Policy copy not recorded in %s\\%s (%ld)", kPolicyRecordsKey, kPolicyCopyValue,
                static_cast<long>(status));
    }
}

ULONGLONG LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
}

std::wstring PolicyCopyName() { return L"HKLM\\" + std::wstring(kPolicyRecordsKey) + L"\\" + kPolicyCopyValue; }
