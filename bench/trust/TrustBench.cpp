// The cost of VerifyFileTrust on signed files of 1 MiB and 32 MiB against a
// bare WinVerifyTrust of the same file (what the check's last step calls),
// measured side by side in one run; and how often the policy file is read
// from disk while files are judged, without and with the update signal.
#include "common/Platform.h"

#include "bench/BenchSupport.h"
#include "trust/FileTrust.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyFile.h"
#include "trust/PolicyRecords.h"
#include "trust/TrustEnvironment.h"
#include "trust/WinTrustFile.h"

#include <shlobj.h>
#include <wintrust.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

double Milliseconds(const std::function<bool()>& run, bool& ok)
{
    LARGE_INTEGER begin;
    LARGE_INTEGER end;
    ::QueryPerformanceCounter(&begin);
    ok = run() && ok;
    ::QueryPerformanceCounter(&end);
    return 1000.0 * bench::Seconds(begin, end);
}

}  // namespace

int wmain()
{
    const std::wstring samples = bench::BinDir() + L"\\trust\\";
    // The stand-in trust-validation library answers "not vouched" and keeps
    // no journal, so every file goes through the whole signature check.
    HKEY knobs = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarsen\\Testbed\\TsGuard", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &knobs, nullptr);
    ::RegSetValueExW(knobs, L"JournalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"NUL"), 8);
    ::RegCloseKey(knobs);

    printf("VerifyFileTrust vs. a bare WinVerifyTrust (provider flags 0x1214) of the same signed file\n");
    printf("%-8s %8s %12s %12s %8s\n", "file", "rounds", "bare ms", "verify ms", "ratio");
    bool ok = true;
    double ratio32 = 0;
    CTrustEnvironment trust;
    const struct {
        const wchar_t* file;
        const char* name;
        int rounds;
    } kFiles[] = {{L"big-1m.exe", "1 MiB", 21}, {L"big-32m.exe", "32 MiB", 9}};
    for (const auto& f : kFiles) {
        const std::wstring path = samples + f.file;
        std::vector<double> bare, verify;
        for (int round = -2; round < f.rounds; ++round) {  // two warm-up rounds
            const double b = Milliseconds([&] { return CWinTrustFile().Verify(path.c_str(), kTrustProviderFlags, WTD_STATEACTION_IGNORE) == 0; }, ok);
            const double v = Milliseconds([&] { return VerifyFileTrust(trust, path.c_str()) == ERROR_SUCCESS; }, ok);
            if (round >= 0) bare.push_back(b), verify.push_back(v);
        }
        const double ratio = bench::Median(verify) / bench::Median(bare);
        if (f.rounds == 9) ratio32 = ratio;
        printf("%-8s %8d %12.2f %12.2f %8.2f\n", f.name, f.rounds, bench::Median(bare), bench::Median(verify), ratio);
    }
    if (!ok) {
        fprintf(stderr, "a sample file was not trusted: the build's samples or the test machine are broken\n");
        return 1;
    }
    printf("target VerifyFileTrust <= 1.5x WinVerifyTrust at 32 MiB: %s\n", ratio32 <= 1.5 ? "met" : "NOT met");

    // A policy file that accepts the partner publisher; every partner file
    // needs it, every foreign file is refused by it.
    const std::wstring installed = CPolicyCache::Path();
    ::SHCreateDirectoryExW(nullptr, installed.substr(0, installed.find_last_of(L'\\')).c_str(), nullptr);
    ::CopyFileW((samples + L"v6.js").c_str(), installed.c_str(), FALSE);
    while (ATOM atom = ::GlobalFindAtomW(kPolicyUpdateAtom)) ::GlobalDeleteAtom(atom);
    const std::wstring partner = samples + L"partner.exe", foreign = samples + L"foreign.exe";
    const int judged = 20;
    const auto judgeBoth = [&] { VerifyFileTrust(trust, partner.c_str()), VerifyFileTrust(trust, foreign.c_str()); };
    for (int i = 0; i < judged / 2; ++i) judgeBoth();
    const DWORD quiet = trust.PolicyCache().Reads();
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    for (int i = 0; i < judged / 2; ++i) judgeBoth();
    const DWORD signalled = trust.PolicyCache().Reads() - quiet;
    ::GlobalDeleteAtom(::GlobalFindAtomW(kPolicyUpdateAtom));

    // What a process's first verification adds: the one read of the installed
    // policy file (its signature checked by the program and by WinVerifyTrust,
    // the machine's verified copy kept), with and without a file, and with one
    // that another process keeps locked (the bound, then the verified copy).
    const auto firstRead = [&](int rounds) {
        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) {
            CTrustEnvironment fresh;
            bool read = true;
            times.push_back(Milliseconds([&] { return fresh.PolicyCache().ReadOnce(); }, read));
        }
        return bench::Median(times);
    };
    std::vector<double> typical;
    for (int i = 0; i < 9; ++i) {
        typical.push_back(Milliseconds([&] { return VerifyFileTrust(trust, partner.c_str()) == 0; }, ok));
    }
    const double withFile = firstRead(9);
    double locked = 0;
    {
        HANDLE holder = ::CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
        OVERLAPPED all{};
        ::LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all);
        locked = firstRead(1);
        ::CloseHandle(holder);
    }
    ::DeleteFileW(installed.c_str());
    for (const wchar_t* value : {kPolicyCopyValue, kPolicyFloorValue}) {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPolicyRecordsKey, value);
    }
    const double withoutFile = firstRead(9);
    printf("\nfirst verification in a process: reading trusted.js adds %.2f ms (installed), %.2f ms (none);\n"
           "a verification of a partner file takes %.2f ms (%.2fx with the read); a file locked by another\n"
           "process is given up, and its verified copy read instead, after %.0f ms (bound %lu ms)\n",
           withFile, withoutFile, bench::Median(typical), (bench::Median(typical) + withFile) / bench::Median(typical),
           locked, static_cast<unsigned long>(kPolicyReadLockWaitMs));
    printf("\npolicy file reads while judging %d files: %lu without the update signal, %lu more for %d files with it\n",
           judged, static_cast<unsigned long>(quiet), static_cast<unsigned long>(signalled), judged);
    printf("target trusted.js read at most once per process without the update signal: %s\n",
           quiet <= 1 ? "met" : "NOT met");
    return 0;
}
