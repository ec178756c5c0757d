// What the data store benchmarks (and the store fuzzer) share: a provisioned store (key blob,
// folder, registry values) and a document of a wanted size, filled the way the
// framework fills it.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "config/QELConfig.h"
#include "datastore/QelJsonFormat.h"

#include <shlobj.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

inline std::vector<BYTE> KeyBlob()
{
    std::vector<BYTE> blob(140, 0);
    BLOBHEADER header{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, CALG_AES_256};
    const DWORD keySize = 32;
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + 8, &keySize, 4);
    for (int i = 0; i < 32; ++i) blob[12 + i] = static_cast<BYTE>(i * 11 + 5);
    return blob;
}

// "DataStore", "DBPath" and the folder; file = the store file.
inline bool Provision(std::wstring& file)
{
    wchar_t programData[MAX_PATH];
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, programData))) return false;
    const std::wstring folder = std::wstring(programData) + L"\\Tarsen\\QEL";
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ScopedRegKey core;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, qelkeys::kCore, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, core.Put(),
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::vector<BYTE> blob = KeyBlob();
    ::RegSetValueExW(core.Get(), L"DataStore", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    ::RegSetValueExW(core.Get(), L"DBPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                     static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    file = folder + L"\\qeldata.dat";
    return true;
}

// A store as the framework fills it: OOBE and EULA state, scheduler tasks,
// packages, and many status keys of the framework's programs; scaled until
// the document text reaches the wanted size.
inline std::wstring BuildDocument(size_t targetBytes)
{
    CQelJsonFormat document;
    document.SetOobeState(1);
    document.SetOobeParameter(L"InitializeDbTime", L"1764950400");
    document.SetOobeParameter(L"completedtime", L"1764954000");
    document.SetEulaState(1);
    std::wstring text;
    for (int i = 0;; ++i) {
        if (i % 8 == 0) {
            const std::wstring name = L"Task" + std::to_wstring(i);
            document.AddScheduleTask(name, {{L"Name", name},
                                            {L"Description", L"Periodic job of the framework, number " + std::to_wstring(i)},
                                            {L"Param", L"/context=" + std::to_wstring(i % 7)},
                                            {L"Path", L"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe"},
                                            {L"Type", L"0"},
                                            {L"IntervalInSec", L"14400"},
                                            {L"RebootWaitCount", L"0"},
                                            {L"Settings", L"3"},
                                            {L"LaunchMode", L"1"},
                                            {L"EnvWaitIntervalInSec", L"1200"}});
        }
        if (i % 8 == 4) {
            const std::wstring id = L"{" + std::to_wstring(100000 + i) + L"-PKG-" + std::to_wstring(i * 37) + L"}";
            document.SetPkgParameter(id, L"AutoDownLoadFlag", i % 16 == 4 ? L"1" : L"0");
            document.SetPkgParameter(id, L"Version", L"12.4." + std::to_wstring(i));
            document.SetPkgParameter(id, L"Url", L"https://download.example.invalid/packages/" + id + L".cab");
        }
        document.SetEntParameter(L"app" + std::to_wstring(i % 97) + L".status" + std::to_wstring(i),
                                 L"1764950" + std::to_wstring(100 + i % 900));
        if (i % std::max(4, i / 32) == 0) {
            document.getJson(text);
            if (text.size() * sizeof(wchar_t) >= targetBytes) break;
        }
    }
    document.SetEntParameter(L"bench", L"0000");
    document.getJson(text);
    return text;
}

}  // namespace bench
