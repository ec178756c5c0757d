#include "common/Platform.h"

#include "tests/support/Machine.h"

#include "common/UniqueHandle.h"
#include "testbed/Observe.h"
#include "testbed/StandinSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <cstdio>
#include <cstring>
#include <knownfolders.h>
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

void RemoveTree(const std::wstring& path) { standin::RemoveTree(path); }

bool FileExists(const std::wstring& path) { return ::PathFileExistsW(path.c_str()) != FALSE; }

std::vector<BYTE> ReadBytes(const std::wstring& path) { return observe::ReadFileBytes(path); }

namespace {

// Runs a Unix command of this test machine on paths of the prefix (quoted in
// their Unix form) and waits until the file system shows `done`: Wine starts
// a Unix program without a handle to wait on.
void UnixCommand(const wchar_t* program, const wchar_t* options, const std::vector<std::wstring>& paths,
                 const std::function<bool()>& done)
{
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    ASSERT_TRUE(unixName) << "not a Wine prefix";
    std::wstring command = std::wstring(L"/bin/") + program + L" " + options;
    for (const auto& path : paths) {
        char* name = unixName(path.c_str());
        command += L" \"" + (name ? std::wstring(name, name + std::strlen(name)) : std::wstring()) + L"\"";
        ::HeapFree(::GetProcessHeap(), 0, name);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW((std::wstring(L"Z:\\bin\\") + program).c_str(), command.data(), nullptr, nullptr,
                                 FALSE, 0, nullptr, nullptr, &startup, &process));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int i = 0; i < 500 && !done(); ++i) ::Sleep(10);
    ASSERT_TRUE(done()) << "the Unix command did not finish: " << testing::PrintToString(command);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

void MakeLink(const std::wstring& link, const std::wstring& target)
{
    UnixCommand(L"ln", L"-sfn", {target, link}, [&] { return Exists(link); });
}

void RemoveLink(const std::wstring& link)
{
    UnixCommand(L"rm", L"-f", {link}, [&] { return !Exists(link); });
}

void WriteBytes(const std::wstring& path, const void* data, size_t bytes)
{
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << "cannot create file, error " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.Get(), data, static_cast<DWORD>(bytes), &written, nullptr));
}

void EnableFileLogging(const std::wstring& module)
{
    SetDword(L"SOFTWARE\\Tarsen\\Logging", L"Logging Mechanism", 1);
    CreateFolder(LogFolder(module));
    const std::wstring ini = LogFolder(module) + L"\\log.ini";
    ::WritePrivateProfileStringW(L"Config", L"Options", L"60", ini.c_str());  // 0x3C
    ::WritePrivateProfileStringW(L"Config", L"Severity", L"1", ini.c_str());
}

std::wstring BinDir()
{
    std::wstring path(32768, L'\0');  // the longest path there is
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\'));
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

ScopedHandle StartProgram(const std::wstring& exePath, const std::wstring& arguments, HANDLE out, HANDLE err)
{
    std::wstring commandLine = L"\"" + exePath + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (out) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = err;
    }
    PROCESS_INFORMATION process{};
    // Wine now and then fails to bring up a new process at all: its loader
    // ends before the process is set up, and CreateProcess reports
    // ERROR_INTERNAL_ERROR (1359). That is the test machine, not the program
    // under test: try again, at most twice, and say so.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, out != nullptr, 0, nullptr,
                             nullptr, &startup, &process) ||
            ::GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
        std::fwprintf(stderr, L"note: Wine could not start %ls (error 1359); starting it again\n", exePath.c_str());
    }
    ScopedHandle thread(process.hThread);
    return ScopedHandle(process.hProcess);
}

RunResult RunProgram(const std::wstring& exePath, const std::wstring& arguments, DWORD timeoutMs)
{
    RunResult result;
    const ScopedHandle process = StartProgram(exePath, arguments);
    if (!process) return result;
    result.finished = ::WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
    if (!result.finished) ::TerminateProcess(process.Get(), 1);
    ::GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

ToolRun RunTool(const std::wstring& exePath, const std::wstring& arguments)
{
    // Output files of their own per call: runs may overlap on several threads,
    // and a file still held by an ending child must not be shared with the next.
    static std::atomic<unsigned> calls{0};
    const std::wstring folder = ProgramDataFolder() + L"\\ToolRun";
    const std::wstring stem = folder + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(calls++);
    const std::wstring outPath = stem + L".out", errPath = stem + L".err";
    CreateFolder(folder);
    ToolRun run;
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        const auto create = [&](const std::wstring& path) {
            return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
        };
        ScopedHandle out(create(outPath)), error(create(errPath));
        if (!out || !error) {
            ADD_FAILURE() << "cannot create the output files of a tool run, error " << ::GetLastError();
            return run;
        }
        const ScopedHandle process = StartProgram(exePath, arguments, out.Get(), error.Get());
        if (!process) {
            ADD_FAILURE() << "cannot start the tool, error " << ::GetLastError();
            return run;
        }
        if (::WaitForSingleObject(process.Get(), 120000) == WAIT_OBJECT_0) {
            ::GetExitCodeProcess(process.Get(), &run.exitCode);
        }
    }
    const auto utf8 = [](const std::vector<BYTE>& bytes) {
        const int size = static_cast<int>(bytes.size());
        std::wstring text(size, L'\0');
        text.resize(size ? ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()), size,
                                                 text.data(), size)
                         : 0);
        return text;
    };
    run.out = utf8(ReadBytes(outPath));
    run.err = utf8(ReadBytes(errPath));
    ::DeleteFileW(outPath.c_str());
    ::DeleteFileW(errPath.c_str());
    return run;
}

}  // namespace testmachine
