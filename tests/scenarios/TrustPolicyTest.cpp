// The policy file trusted.js and its cabinet refresh, judged as runs of the
// program judge them: each case is one `qeltrust verify` process (a policy
// file loaded for one file applies to the next), and one case is two
// processes that meet through the update atom.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "process/FileTrust.h"
#include "process/TrustedPolicy.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testbed::TrustSample;

class TrustPolicyTest : public testing::Test {
protected:
    void SetUp() override
    {
        installed = PolicyCache().Path();
        ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(installed.c_str());
        while (ATOM atom = ::GlobalFindAtomW(kPolicyUpdateAtom)) ::GlobalDeleteAtom(atom);
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarsen\\QEL", kPolicyFloorValue);
    }
    // `changed`: its version line turned from 6 to 7 after signing, as a tampered file would be.
    void Install(const std::wstring& sample, bool changed = false)
    {
        testmachine::CreateFolder(installed.substr(0, installed.find_last_of(L'\\')));
        std::vector<BYTE> bytes = testmachine::ReadBytes(TrustSample(sample));
        if (changed) bytes[2 + 2 * 7] ^= 0x01;  // after the byte-order mark, "[VER]\r\n6"
        testmachine::WriteBytes(installed, bytes.data(), bytes.size());
    }
    // One qeltrust process over the sample files: "+" for each trusted one,
    // "-" for each one not, in order; its exit code must agree. `install`: a
    // cabinet's newer policy is installed, as the program does.
    static std::string Verdicts(const std::wstring& files, bool install = true)
    {
        std::wstring arguments = install ? L"verify --install" : L"verify";
        for (size_t start = 0, end; start < files.size(); start = end + 1) {
            end = files.find(L' ', start);
            if (end == std::wstring::npos) end = files.size();
            arguments += L" \"" + TrustSample(files.substr(start, end - start)) + L"\"";
        }
        const testmachine::ToolRun run = testmachine::RunTool(testmachine::BinDir() + L"\\qeltrust.exe", arguments);
        std::string verdicts;
        for (size_t at = 0; at < run.out.size(); at = run.out.find(L'\n', at) + 1) {
            if (run.out.compare(at, 9, L"trusted: ") == 0) verdicts += '+';
            if (run.out.compare(at, 13, L"not trusted: ") == 0) verdicts += '-';
            if (run.out.find(L'\n', at) == std::wstring::npos) break;
        }
        EXPECT_EQ(run.exitCode, verdicts.find('-') == std::string::npos ? 0u : 5u) << testing::PrintToString(run.out);
        return verdicts;
    }
    std::vector<BYTE> Installed() { return testmachine::ReadBytes(installed); }
    std::wstring installed;
};

TEST_F(TrustPolicyTest, PolicyFileAcceptsWhatItListsOnceItIsNewerAndProperlySigned)
{
    const struct {
        const wchar_t* policy;  // installed before the run
        const wchar_t* files;
        const char* verdicts;
        bool changed = false;  // the policy file changed after signing
    } kCases[] = {
        {L"v6.js", L"partner.exe tarsen.exe foreign.exe", "++-"},  // another publisher on another root
        {L"v6.js", L"partner.exe", "-", true},
        {L"v5.js", L"partner.exe", "-"},                          // not newer than the built-in policy
        {L"two-ver.js", L"partner.exe", "-"},
        {L"unpinned-signer.js", L"partner.exe", "-"},
        {L"unsigned.js", L"partner.exe", "-"},
        {L"odd-sha.js", L"partner.exe", "+"},  // a 39-digit line ignored, the next one counts
        {L"pinned-only.js", L"partner.exe", "-"},
        {L"no-sha.js", L"partner.exe", "+"},  // no [SHA]: any root
        {L"empty-sha.js", L"partner.exe", "+"},
        {L"no-org.js", L"foreign.exe", "+"},              // no [ORG]: any publisher
        {L"empty-org.js", L"partner.exe tarsen.exe", "--"},  // empty [ORG]: none, and no built-in any more
        {L"blocked.js", L"partner.exe tarsen.exe", "+-"},  // a serial in [SER]
        {L"blocked.js", L"tarsen.exe", "-"},  // ... also when the built-in lists judge the first file
        {L"blocked.js", L"padded-serial.exe", "-"},  // ... and when the signer names it with a leading zero byte
        {L"v6.js", L"padded-serial.exe", "+"},
        // No policy file: signatures an attacker can make, each after its legitimate twin.
        {nullptr, L"expired-ts.exe expired-forged-ts.exe expired-retimed-ts.exe expired-other-ts.exe", "+---"},
        {nullptr, L"expired-cs.exe expired-garbage-cs.exe cross.exe forged-cross.exe", "+-+-"},
        {nullptr, L"tarsen.exe padded-serial.exe other-program.exe", "++-"},
    };
    for (const auto& c : kCases) {
        SetUp();
        if (c.policy) Install(c.policy, c.changed);
        EXPECT_EQ(Verdicts(c.files), c.verdicts) << testing::PrintToString(std::wstring(c.files)) << c.changed;
    }
}

TEST_F(TrustPolicyTest, RefusedCabinetDeliversANewerPolicy)
{
    const struct {
        const wchar_t* files;
        const char* verdicts;
        const wchar_t* installedAfter;  // the sample the installed file then equals; null: none
        bool install = true;
    } kCases[] = {
        {L"refresh.cab partner.exe", "++", L"v6.js"},
        {L"refresh.cab partner.exe", "--", nullptr, false},  // the tool only reports what it would install
        {L"nopolicy.cab", "-", nullptr},
        {L"v5.cab partner.exe", "--", nullptr},
        {L"twice.cab foreign.exe", "+-", L"v6.js"},  // only the first trusted.js counts (v7 would accept foreign)
        {L"oversized.cab", "-", nullptr},
    };
    for (const auto& c : kCases) {
        SetUp();
        EXPECT_EQ(Verdicts(c.files, c.install), c.verdicts) << testing::PrintToString(std::wstring(c.files));
        EXPECT_EQ(Installed(), c.installedAfter ? testmachine::ReadBytes(TrustSample(c.installedAfter)) : std::vector<BYTE>());
        EXPECT_EQ(::GlobalFindAtomW(kPolicyUpdateAtom) != 0, c.installedAfter != nullptr);
    }

    // A cabinet name whose narrow form would name another file ("\u0100" best
    // fits to "A") is not opened through that form: the look-alike that
    // carries a newer policy is never read.
    SetUp();
    ASSERT_TRUE(::CopyFileW(TrustSample(L"nopolicy.cab").c_str(), TrustSample(L"odd-\u0100.cab").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(TrustSample(L"refresh.cab").c_str(), TrustSample(L"odd-A.cab").c_str(), FALSE));
    EXPECT_EQ(Verdicts(L"odd-\u0100.cab"), "-");
    EXPECT_EQ(Installed(), std::vector<BYTE>());

    // An installed file that cannot be replaced (held open without delete
    // sharing) stays; the newer one is scheduled for the next restart.
    SetUp();
    Install(L"v6.js");
    {
        ScopedHandle held(::CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(Verdicts(L"v7.cab"), "-");
    }
    EXPECT_EQ(Installed(), testmachine::ReadBytes(TrustSample(L"v6.js")));
    std::vector<wchar_t> pending(4096);
    DWORD size = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                             L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, pending.data(), &size),
              ERROR_SUCCESS);
    const std::wstring operations(pending.data(), size / sizeof(wchar_t));
    const std::wstring folder = installed.substr(0, installed.find_last_of(L'\\'));
    EXPECT_NE(operations.find(folder + L"\\trusted.tmp"), std::wstring::npos) << testing::PrintToString(operations);
    EXPECT_NE(operations.find(installed), std::wstring::npos);
}

TEST_F(TrustPolicyTest, AnotherProcessesNewerPolicyIsReadAfterTheNextRefusal)
{
    Install(L"v6.js");
    const std::wstring partner = TrustSample(L"partner.exe"), foreign = TrustSample(L"foreign.exe");
    EXPECT_EQ(VerifyFileTrust(partner.c_str()), 0u);  // this process now holds version 6
    EXPECT_EQ(VerifyFileTrust(foreign.c_str()), 5u);  // no update signal: the cached copy stands

    EXPECT_EQ(Verdicts(L"v7.cab"), "+");  // another process installs version 7 (it accepts the foreign publisher)
    EXPECT_EQ(VerifyFileTrust(foreign.c_str()), 0u);
    EXPECT_EQ(PolicyCache().Version(), 7u);

    // A reload that fails (the installed file damaged, the signal present)
    // keeps the last good copy: never back to the built-in lists.
    Install(L"v7.js", true);
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    EXPECT_EQ(VerifyFileTrust(TrustSample(L"unsigned.exe").c_str()), 5u);
    EXPECT_EQ(VerifyFileTrust(foreign.c_str()), 0u);
    EXPECT_EQ(PolicyCache().Version(), 7u);
}

TEST_F(TrustPolicyTest, PolicyUpdatesOnlyMoveForward)
{
    const struct {
        const wchar_t* before;  // the installed file (made read-only and hidden); null: none
        bool damaged;
        DWORD floor;            // the highest version installed before
        const wchar_t* candidate;
        bool installs;
    } kCases[] = {
        {L"v7.js", false, 0, L"v6.js", false},  // a newer file than the candidate, nothing cached
        {L"v7.js", false, 0, L"v7.js", false},
        {nullptr, false, 7, L"v6.js", false},   // version 7 was installed, then the file deleted
        {L"v7.js", true, 7, L"v6.js", false},   // ... or damaged
        {L"v6.js", false, 6, L"v7.js", true},
    };
    for (const auto& c : kCases) {
        SetUp();
        if (c.floor) {
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarsen\\QEL", kPolicyFloorValue, REG_DWORD, &c.floor,
                              sizeof(c.floor));
        }
        if (c.before) {
            Install(c.before, c.damaged);
            ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        }
        const std::vector<BYTE> before = c.before ? Installed() : std::vector<BYTE>();
        CPolicyCache fresh(PolicyCache().Signer());
        const std::vector<BYTE> candidate = testmachine::ReadBytes(TrustSample(c.candidate));
        EXPECT_EQ(fresh.Offer(candidate, c.candidate, 5), c.installs)
            << testing::PrintToString(std::wstring(c.candidate));
        EXPECT_EQ(Installed(), c.installs ? candidate : before);
        EXPECT_EQ(PolicyVersionFloor(), c.installs ? 7u : c.floor);
        const DWORD attributes = ::GetFileAttributesW(installed.c_str());
        EXPECT_TRUE(!c.installs || !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) << attributes;
    }
}

TEST_F(TrustPolicyTest, ALockedPolicyFileIsWaitedForOnlyABoundedTime)
{
    // Another process holds the installed file's lock for longer than any
    // run: a verification goes on without the file (the built-in lists), an
    // install schedules the replacement for the next restart.
    Install(L"v6.js");
    ScopedHandle holder(::CreateFileW(installed.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    OVERLAPPED all{};
    ASSERT_TRUE(::LockFileEx(holder.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all));
    EXPECT_EQ(Verdicts(L"tarsen.exe partner.exe"), "+-");
    EXPECT_EQ(Verdicts(L"v7.cab"), "-");
    ::UnlockFileEx(holder.Get(), 0, MAXDWORD, MAXDWORD, &all);
    EXPECT_EQ(Installed(), testmachine::ReadBytes(TrustSample(L"v6.js")));
}

}  // namespace
