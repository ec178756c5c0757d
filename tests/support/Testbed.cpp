#include "common/Platform.h"

#include "tests/support/Testbed.h"

#include "common/UniqueHandle.h"
#include "testbed/Observe.h"
#include "testbed/StandinSupport.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

namespace testbed {
namespace {

constexpr wchar_t kTelemetryClassKey[] = L"SOFTWARE\\Classes\\CLSID\\{B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}";
// Asked on every use: a "JournalPath" knob may move a journal.
std::wstring TelemetryJournal() { return standin::JournalPath(standin::kTelemetryKey, standin::kTelemetryJournal); }
std::wstring KrsJournal() { return standin::JournalPath(standin::kKrsIntegrateKey, standin::kKrsIntegrateJournal); }
std::wstring TsGuardJournal() { return standin::JournalPath(standin::kTsGuardKey, standin::kTsGuardJournal); }

using observe::JournalLines;

std::wstring SessionJournal() { return standin::JournalPath(standin::kSessionsKey, standin::kSessionsJournal); }
std::wstring CompanionKey(const std::wstring& role) { return standin::kTestbedKey + role; }
}  // namespace

void RegisterTelemetryClient()
{
    const std::wstring server = std::wstring(kTelemetryClassKey) + L"\\InprocServer32";
    testmachine::SetString(server, L"", testmachine::BinDir() + L"\\ZEPClient.dll");
    testmachine::SetString(server, L"ThreadingModel", L"Both");
}
void UnregisterTelemetryClient() { testmachine::DeleteTree(kTelemetryClassKey); }
void SetTelemetryKnob(const std::wstring& n, DWORD v) { testmachine::SetDword(standin::kTelemetryKey, n, v); }
void ClearTelemetryKnobs() { testmachine::DeleteTree(standin::kTelemetryKey); }
std::vector<std::wstring> TelemetryRequests() { return JournalLines<wchar_t>(TelemetryJournal()); }
void ClearTelemetryJournal() { ::DeleteFileW(TelemetryJournal().c_str()); }

void SetKrsIntegrateKnob(const std::wstring& n, DWORD v) { testmachine::SetDword(standin::kKrsIntegrateKey, n, v); }
void ClearKrsIntegrateKnobs() { testmachine::DeleteTree(standin::kKrsIntegrateKey); }
std::vector<std::string> KrsIntegrateCalls() { return JournalLines<char>(KrsJournal()); }
void ClearKrsIntegrateJournal() { ::DeleteFileW(KrsJournal().c_str()); }

void SetTsGuardKnob(const std::wstring& n, DWORD v) { testmachine::SetDword(standin::kTsGuardKey, n, v); }
void ClearTsGuardKnobs() { testmachine::DeleteTree(standin::kTsGuardKey); }
std::vector<std::string> TsGuardCalls() { return JournalLines<char>(TsGuardJournal()); }
void ClearTsGuardJournal() { ::DeleteFileW(TsGuardJournal().c_str()); }

void SetForeignScanAnswer(DWORD answer) { testmachine::SetDword(standin::kForeignScanKey, L"Answer", answer); }
std::vector<std::string> ForeignScanCalls()
{
    return JournalLines<char>(standin::JournalPath(standin::kForeignScanKey, standin::kForeignScanJournal));
}

std::wstring TrustSample(const std::wstring& name) { return testmachine::BinDir() + L"\\trust\\" + name; }

void UseSessionLibrary(const wchar_t* loadOrder)
{
    wchar_t system[MAX_PATH];
    const std::wstring installed = std::wstring(system, ::GetSystemDirectoryW(system, MAX_PATH)) + L"\\wtsapi32.dll";
    const std::wstring standin = testmachine::BinDir() + L"\\wtsapi32-standin.dll";
    if (testmachine::ReadBytes(installed) != testmachine::ReadBytes(standin)) {
        // The machine's copy may be shared with others (a hard link): replace, never overwrite.
        ::DeleteFileW(installed.c_str());
        ASSERT_TRUE(::CopyFileW(standin.c_str(), installed.c_str(), FALSE)) << ::GetLastError();
    }
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"wtsapi32", REG_SZ, loadOrder,
                                static_cast<DWORD>((::wcslen(loadOrder) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void SetSessions(const std::wstring& sessions, DWORD enumerateError, DWORD tokenError)
{
    testmachine::SetString(standin::kSessionsKey, L"Sessions", sessions);
    testmachine::SetDword(standin::kSessionsKey, L"EnumerateError", enumerateError);
    testmachine::SetDword(standin::kSessionsKey, L"TokenError", tokenError);
}
std::vector<std::string> SessionCalls() { return JournalLines<char>(SessionJournal()); }
void ClearSessions() { testmachine::DeleteTree(standin::kSessionsKey), ::DeleteFileW(SessionJournal().c_str()); }

void InstallCompanion(const std::wstring& path, bool signedBuild)
{
    const std::wstring from = testmachine::BinDir() + (signedBuild ? L"\\companion.exe" : L"\\companion-unsigned.exe");
    ASSERT_TRUE(::CopyFileW(from.c_str(), path.c_str(), FALSE)) << ::GetLastError();
}
void SetCompanionKnob(const std::wstring& role, const std::wstring& name, DWORD value)
{
    testmachine::SetDword(CompanionKey(role), name, value);
}
void ClearCompanion(const std::wstring& role)
{
    testmachine::DeleteTree(CompanionKey(role)), ::DeleteFileW(observe::CompanionJournal(role).c_str());
}
bool KeepShellRunning()
{
    ::GetDesktopWindow();  // brings the desktop, and with it the shell, up before it returns
    ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0) return true;
    }
    return false;
}

}  // namespace testbed
