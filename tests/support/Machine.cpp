#include "common/Platform.h"

#include "tests/support/Machine.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace testmachine {

void SetRaw(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD bytes)
{
    ScopedRegKey handle;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                handle.Put(), nullptr),
              ERROR_SUCCESS)
        << "cannot create HKLM\\" << std::string(key.begin(), key.end());
    ASSERT_EQ(::RegSetValueExW(handle.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
}

void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value)
{
    SetRaw(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetDword(const std::wstring& key, const std::wstring& name, DWORD value)
{
    SetRaw(key, name, REG_DWORD, &value, sizeof(value));
}

void SetBinary(const std::wstring& key, const std::wstring& name, const void* data, DWORD bytes)
{
    SetRaw(key, name, REG_BINARY, data, bytes);
}

void DeleteValue(const std::wstring& key, const std::wstring& name)
{
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str());
}

void DeleteTree(const std::wstring& key)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

bool KeyExists(const std::wstring& key)
{
    ScopedRegKey handle;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.Put()) == ERROR_SUCCESS;
}

bool ReadString(const std::wstring& key, const std::wstring& name, std::wstring& value)
{
    wchar_t buffer[4096];
    DWORD bytes = sizeof(buffer);
    const bool read = ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer,
                                     &bytes) == ERROR_SUCCESS;
    if (read) value = buffer;
    return read;
}

DWORD ValueCount(const std::wstring& key)
{
    ScopedRegKey handle;
    DWORD count = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.Put()) == ERROR_SUCCESS) {
        ::RegQueryInfoKeyW(handle.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                           nullptr, nullptr, nullptr);
    }
    return count;
}

std::wstring ProgramDataFolder()
{
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path))) result = path;
    ::CoTaskMemFree(path);
    return result;
}

std::wstring LogFolder(const std::wstring& module) { return ProgramDataFolder() + L"\\Tarsen\\TSLOGS\\QEL\\" + module; }

void CreateFolder(const std::wstring& path)
{
    const int rc = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) << rc;
}

void RemoveTree(const std::wstring& path)
{
    const std::wstring from = path + L'\0';  // the list ends in two terminators
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&op);
}

bool FileExists(const std::wstring& path) { return ::PathFileExistsW(path.c_str()) != FALSE; }

std::vector<BYTE> ReadBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.Get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

void WriteBytes(const std::wstring& path, const void* data, size_t bytes)
{
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << "cannot create file, error " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.Get(), data, static_cast<DWORD>(bytes), &written, nullptr));
}

void WriteText(const std::wstring& path, const std::wstring& text)
{
    WriteBytes(path, text.data(), text.size() * sizeof(wchar_t));
}

void EnableFileLogging()
{
    SetDword(L"SOFTWARE\\Tarsen\\Logging", L"Logging Mechanism", 1);
    CreateFolder(LogFolder());
    const std::wstring ini = LogFolder() + L"\\log.ini";
    ::WritePrivateProfileStringW(L"Config", L"Options", L"60", ini.c_str());  // 0x3C
    ::WritePrivateProfileStringW(L"Config", L"Severity", L"1", ini.c_str());
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring InstallProgram(const std::vector<std::wstring>& companions)
{
    const std::wstring installDir = L"C:\\Program Files\\Tarsen\\QEL";
    CreateFolder(installDir);
    std::vector<std::wstring> files = companions;
    files.push_back(L"QELCommonBuild.exe");
    for (const auto& name : files) {
        EXPECT_TRUE(::CopyFileW((BinDir() + L"\\" + name).c_str(), (installDir + L"\\" + name).c_str(), FALSE))
            << "cannot copy " << std::string(name.begin(), name.end()) << ", error " << ::GetLastError();
    }
    return installDir + L"\\QELCommonBuild.exe";
}

namespace {

RunResult Run(const std::wstring& exePath, const std::wstring& arguments, DWORD timeoutMs, HANDLE out, HANDLE err)
{
    RunResult result;
    std::wstring commandLine = L"\"" + exePath + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = out ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, out != nullptr, 0, nullptr, nullptr,
                          &startup, &process)) {
        return result;
    }
    ScopedHandle processHandle(process.hProcess);
    ScopedHandle threadHandle(process.hThread);
    result.finished = ::WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!result.finished) ::TerminateProcess(process.hProcess, 1);
    ::GetExitCodeProcess(process.hProcess, &result.exitCode);
    return result;
}

std::wstring FromUtf8(const std::vector<BYTE>& bytes)
{
    std::wstring text(bytes.size(), L'\0');
    text.resize(bytes.empty() ? 0
                              : ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<int>(bytes.size()), text.data(), static_cast<int>(text.size())));
    return text;
}

}  // namespace

RunResult RunProgram(const std::wstring& exePath, const std::wstring& arguments, DWORD timeoutMs)
{
    return Run(exePath, arguments, timeoutMs, nullptr, nullptr);
}

Captured RunCaptured(const std::wstring& exePath, const std::wstring& arguments)
{
    const std::wstring folder = ProgramDataFolder() + L"\\CapturedOutput";
    CreateFolder(folder);
    Captured result;
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        ScopedHandle out(::CreateFileW((folder + L"\\out").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr));
        ScopedHandle err(::CreateFileW((folder + L"\\err").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr));
        static_cast<RunResult&>(result) = Run(exePath, arguments, 120000, out.Get(), err.Get());
    }
    result.out = FromUtf8(ReadBytes(folder + L"\\out"));
    result.err = FromUtf8(ReadBytes(folder + L"\\err"));
    return result;
}

}  // namespace testmachine
