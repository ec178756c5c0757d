// The policy file trusted.js and its cabinet refresh, judged as runs of the
// program judge them. Each case judges with a trust environment of its own,
// as a new process would (a policy cache of its own: a policy file loaded for
// one file applies to the next), so that this program replays one machine
// state after another. What other programs do to the installed file (a
// byte-range lock, an open that shares nothing) another process does: the
// test helper (tests/helpers). A hold that outlasts the case is waited for
// briefly in-process (the environment's bounds, shortened), and at the
// program's own bounds where qeltrust processes judge: a file held while one
// judges, and two processes that meet through the update atom.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"
#include "trust/FileTrust.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyRecords.h"
#include "trust/TrustEnvironment.h"
#include "trust/TrustReport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

using testbed::TrustSample;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// Bounds for holds that outlast a case: long enough to meet the hold, short enough to replay many.
const PolicyWaits kShortWaits{200, 200};

// What another process does to the installed file: a byte-range lock over
// it, an open that shares nothing, or one that shares reading only (so the
// file cannot be replaced); a brief hold lets go after one second, within the
// program's bounds.
enum class Hold { None, Lock, Exclusive, NoDelete, BriefLock, BriefExclusive };
bool Brief(Hold hold) { return hold == Hold::BriefLock || hold == Hold::BriefExclusive; }

// The test helper holding the installed file from its start until the
// holder ends (or, for a brief hold, one second).
class Holder {
public:
    Holder(const std::wstring& path, Hold hold)
    {
        if (hold == Hold::None) return;
        const std::wstring ready = L"QelTest-held-" + std::to_wstring(::GetCurrentProcessId());
        ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
        const wchar_t* how = hold == Hold::NoDelete ? L"nodelete"
                             : hold == Hold::Lock || hold == Hold::BriefLock ? L"lock" : L"exclusive";
        m_holder = testmachine::StartProgram(testmachine::BinDir() + L"\\test_helper.exe",
                                             std::wstring(L"hold ") + how + (Brief(hold) ? L" 1000 " : L" 4294967295 ") +
                                                 ready + L" \"" + path + L"\"");
        const HANDLE either[] = {event.Get(), m_holder.Get()};
        EXPECT_EQ(::WaitForMultipleObjects(2, either, FALSE, 60000), WAIT_OBJECT_0) << "the helper holds the file";
    }
    ~Holder()
    {
        if (!m_holder) return;
        if (::WaitForSingleObject(m_holder.Get(), 0) == WAIT_TIMEOUT) ::TerminateProcess(m_holder.Get(), 0);
        ::WaitForSingleObject(m_holder.Get(), 60000);
    }

private:
    ScopedHandle m_holder;
};

// What a policy cache told, as qeltrust prints it: "policy file PATH: NOTE" lines.
class Notes final : public ITrustObserver {
public:
    void PolicyFileNote(const std::wstring& path, const std::wstring& note) override
    {
        text += L"policy file " + path + L": " + note + L"\n";
    }
    std::wstring text;
};

// The sample files named in `files`, separated by blanks.
std::vector<std::wstring> Samples(const std::wstring& files)
{
    std::vector<std::wstring> paths;
    for (size_t start = 0, end; start < files.size(); start = end + 1) {
        end = std::min(files.find(L' ', start), files.size());
        paths.push_back(TrustSample(files.substr(start, end - start)));
    }
    return paths;
}

// The files judged in order by one environment: "+" for each trusted one, "-" for each one not.
std::string Judge(CTrustEnvironment& trust, const std::wstring& files)
{
    std::string verdicts;
    for (const std::wstring& path : Samples(files)) verdicts += VerifyFileTrust(trust, path.c_str()) == 0 ? '+' : '-';
    return verdicts;
}

// The same through one qeltrust process (its exit code must agree), which
// judges at the program's own bounds and installs a cabinet's newer policy.
std::string QelTrust(const std::wstring& files, std::wstring* out = nullptr)
{
    std::wstring arguments = L"verify --install";
    for (const std::wstring& path : Samples(files)) arguments += L" \"" + path + L"\"";
    const testmachine::ToolRun run = testmachine::RunTool(testmachine::BinDir() + L"\\qeltrust.exe", arguments);
    std::string verdicts;
    for (size_t at = 0; at < run.out.size(); at = run.out.find(L'\n', at) + 1) {
        if (run.out.compare(at, 9, L"trusted: ") == 0) verdicts += '+';
        if (run.out.compare(at, 13, L"not trusted: ") == 0) verdicts += '-';
        if (run.out.find(L'\n', at) == std::wstring::npos) break;
    }
    EXPECT_EQ(run.exitCode, verdicts.find('-') == std::string::npos ? 0u : 5u) << testing::PrintToString(run.out);
    if (out) *out = run.out;
    return verdicts;
}

class TrustPolicyTest : public testing::Test {
protected:
    void SetUp() override
    {
        installed = CPolicyCache::Path();
        ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(installed.c_str());
        while (ATOM atom = ::GlobalFindAtomW(kPolicyUpdateAtom)) ::GlobalDeleteAtom(atom);
        for (const wchar_t* value : {kPolicyFloorValue, kPolicyCopyValue, kPolicyCopyWrittenValue}) {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPolicyRecordsKey, value);
        }
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    }
    // The machine's verified copy of a policy file: a sample's bytes.
    static void KeepCopy(const wchar_t* sample)
    {
        const std::vector<BYTE> bytes = testmachine::ReadBytes(TrustSample(sample));
        testmachine::SetBinary(kPolicyRecordsKey, kPolicyCopyValue, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    static std::vector<BYTE> KeptCopy()
    {
        std::vector<BYTE> bytes;
        ReadPolicyCopy(bytes);
        return bytes;
    }
    // The replacements scheduled for the next restart.
    static std::wstring Scheduled()
    {
        std::vector<wchar_t> pending(4096);
        DWORD size = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                           nullptr, pending.data(), &size) != ERROR_SUCCESS) {
            return std::wstring();
        }
        return std::wstring(pending.data(), size / sizeof(wchar_t));
    }
    // `changed`: its version line turned from 6 to 7 after signing, as a tampered file would be.
    void Install(const std::wstring& sample, bool changed = false)
    {
        testmachine::CreateFolder(installed.substr(0, installed.find_last_of(L'\\')));
        std::vector<BYTE> bytes = testmachine::ReadBytes(TrustSample(sample));
        if (changed) bytes[2 + 2 * 7] ^= 0x01;  // after the byte-order mark, "[VER]\r\n6"
        testmachine::WriteBytes(installed, bytes.data(), bytes.size());
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
        // Only the signed text counts, and only a signature made with the policy certificate's key.
        {L"appended.js", L"foreign.exe partner.exe", "--"},
        {L"other-key.js", L"partner.exe", "-"},
    };
    for (const auto& c : kCases) {
        SetUp();
        Install(c.policy, c.changed);
        CTrustEnvironment trust;
        EXPECT_EQ(Judge(trust, c.files), c.verdicts) << "row " << &c - kCases;
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
        {L"refresh.cab partner.exe", "--", nullptr, false},  // the support tool only reports what it would install
        {L"nopolicy.cab", "-", nullptr},
        {L"v5.cab partner.exe", "--", nullptr},
        {L"twice.cab foreign.exe", "+-", L"v6.js"},  // only the first trusted.js counts (v7 would accept foreign)
        {L"oversized.cab", "-", nullptr},
        // Text after a genuine policy's signature block; a program signed by
        // the policy certificate whose signed data reads "[VER] 99".
        {L"appended.cab foreign.exe", "--", nullptr},
        {L"policy-program.cab foreign.exe", "--", nullptr},
    };
    for (const auto& c : kCases) {
        SetUp();
        CTrustEnvironment trust(nullptr, c.install);
        EXPECT_EQ(Judge(trust, c.files), c.verdicts) << testing::PrintToString(std::wstring(c.files));
        EXPECT_EQ(Installed(), c.installedAfter ? testmachine::ReadBytes(TrustSample(c.installedAfter)) : std::vector<BYTE>());
        EXPECT_EQ(::GlobalFindAtomW(kPolicyUpdateAtom) != 0, c.installedAfter != nullptr);
        EXPECT_EQ(PolicyVersionFloor(), c.installedAfter ? 6u : 0u);
    }

    // The cabinet is read through the handle that holds it, never by a name:
    // not by a narrow form ("\u0100" best fits to "A") that names a look-alike
    // carrying a newer policy.
    SetUp();
    ASSERT_TRUE(::CopyFileW(TrustSample(L"nopolicy.cab").c_str(), TrustSample(L"odd-\u0100.cab").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(TrustSample(L"refresh.cab").c_str(), TrustSample(L"odd-A.cab").c_str(), FALSE));
    CTrustEnvironment trust;
    EXPECT_EQ(Judge(trust, L"odd-\u0100.cab"), "-");
    EXPECT_EQ(Installed(), std::vector<BYTE>());

    // An installed file that cannot be replaced (held open without delete
    // sharing) stays; the newer one is scheduled for the next restart.
    SetUp();
    Install(L"v6.js");
    {
        Holder holder(installed, Hold::NoDelete);
        CTrustEnvironment again;
        EXPECT_EQ(Judge(again, L"v7.cab"), "-");
    }
    EXPECT_EQ(Installed(), testmachine::ReadBytes(TrustSample(L"v6.js")));
    const std::wstring operations = Scheduled();
    const std::wstring folder = installed.substr(0, installed.find_last_of(L'\\'));
    EXPECT_NE(operations.find(folder + L"\\trusted.tmp"), std::wstring::npos) << testing::PrintToString(operations);
    EXPECT_NE(operations.find(installed), std::wstring::npos);
    EXPECT_EQ(PolicyVersionFloor(), 7u) << "recorded when it is scheduled";
}

TEST_F(TrustPolicyTest, AnotherProcessesNewerPolicyIsReadAfterTheNextRefusal)
{
    Install(L"v6.js");
    const std::wstring partner = TrustSample(L"partner.exe"), foreign = TrustSample(L"foreign.exe");
    CTrustEnvironment trust;
    EXPECT_EQ(VerifyFileTrust(trust, partner.c_str()), 0u);  // this process now holds version 6
    EXPECT_EQ(VerifyFileTrust(trust, foreign.c_str()), 5u);  // no update signal: the cached copy stands

    EXPECT_EQ(QelTrust(L"v7.cab"), "+");  // another process installs version 7 (it accepts the foreign publisher)
    EXPECT_EQ(VerifyFileTrust(trust, foreign.c_str()), 0u);
    EXPECT_EQ(trust.PolicyCache().Version(), 7u);

    // A reload that fails (the installed file damaged, the signal present)
    // keeps the last good copy: never back to the built-in lists.
    Install(L"v7.js", true);
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    EXPECT_EQ(VerifyFileTrust(trust, TrustSample(L"unsigned.exe").c_str()), 5u);
    EXPECT_EQ(VerifyFileTrust(trust, foreign.c_str()), 0u);
    EXPECT_EQ(trust.PolicyCache().Version(), 7u);
}

TEST_F(TrustPolicyTest, PolicyUpdatesOnlyMoveForward)
{
    const struct {
        const wchar_t* before;  // the installed file (made read-only and hidden); null: none
        bool damaged;
        DWORD floorType;        // the highest version installed before, as this type holds it (REG_NONE: none)
        const wchar_t* floor;
        const wchar_t* copy;    // the machine's verified copy: "read" from the installed file; another file's; null: none
        Hold hold;              // what another process does to the installed file meanwhile
        std::vector<const wchar_t*> candidates;
        const char* outcomes;   // for each candidate: 'I' installed, 'S' scheduled for the next restart, '-' neither
        DWORD floorAfter;
    } kCases[] = {
        {L"v7.js", false, REG_NONE, L"", nullptr, Hold::None, {L"v6.js"}, "-", 0},  // a newer file, nothing recorded
        {L"v7.js", false, REG_NONE, L"", nullptr, Hold::None, {L"v7.js"}, "-", 0},
        {nullptr, false, REG_DWORD, L"7", nullptr, Hold::None, {L"v6.js"}, "-", 7},  // 7 was installed, then the file deleted
        {L"v7.js", true, REG_DWORD, L"7", nullptr, Hold::None, {L"v6.js"}, "-", 7},  // ... or damaged
        {L"v6.js", false, REG_DWORD, L"6", nullptr, Hold::None, {L"v7.js"}, "I", 7},
        // A hand-placed newer file held by another process: nothing replaces it, not even later.
        {L"v7.js", false, REG_NONE, L"", nullptr, Hold::Lock, {L"v6.js"}, "-", 0},
        // Held after a process read it: a newer one is scheduled and recorded, so an older one replayed is not;
        // a copy read from an earlier file tells nothing of a newer one placed since.
        {L"v5.js", false, REG_NONE, L"", L"read", Hold::Exclusive, {L"v7.js", L"v6.js"}, "S-", 7},
        {L"v7.js", false, REG_DWORD, L"5", L"v5.js", Hold::Lock, {L"v6.js"}, "-", 5},
        // Held briefly, as the framework's own readers do: the update installs.
        {L"v6.js", false, REG_DWORD, L"6", nullptr, Hold::BriefLock, {L"v7.js"}, "I", 7},
        {L"v6.js", false, REG_DWORD, L"6", nullptr, Hold::BriefExclusive, {L"v7.js"}, "I", 7},
        // The highest version as a QWORD or a string is its number; any other value installs nothing.
        {nullptr, false, REG_QWORD, L"6", nullptr, Hold::None, {L"v7.js"}, "I", 7},
        {nullptr, false, REG_QWORD, L"7", nullptr, Hold::None, {L"v7.js"}, "-", 7},
        {nullptr, false, REG_SZ, L"6", nullptr, Hold::None, {L"v7.js"}, "I", 7},
        {nullptr, false, REG_SZ, L"7", nullptr, Hold::None, {L"v7.js"}, "-", 7},
        {nullptr, false, REG_SZ, L"6x", nullptr, Hold::None, {L"v7.js"}, "-", 0},
        {nullptr, false, REG_BINARY, L"6", nullptr, Hold::None, {L"v7.js"}, "-", 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - kCases);
        SetUp();
        const ULONGLONG number = std::wcstoull(c.floor, nullptr, 10);
        if (c.floorType == REG_SZ) testmachine::SetString(kPolicyRecordsKey, kPolicyFloorValue, c.floor);
        if (c.floorType == REG_DWORD || c.floorType == REG_QWORD || c.floorType == REG_BINARY) {
            testmachine::SetRaw(kPolicyRecordsKey, kPolicyFloorValue, c.floorType, &number, c.floorType == REG_QWORD ? 8 : 4);
        }
        if (c.copy && std::wstring(c.copy) != L"read") KeepCopy(c.copy);
        if (c.before) {
            Install(c.before, c.damaged);
            ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        }
        if (c.copy && std::wstring(c.copy) == L"read") CTrustEnvironment().PolicyCache().ReadOnce();
        std::vector<BYTE> expected = c.before ? Installed() : std::vector<BYTE>();
        // A brief hold is waited out at the program's bounds; one for ever, at short ones.
        CTrustEnvironment trust(nullptr, true, Brief(c.hold) ? PolicyWaits{} : kShortWaits);
        std::string outcomes;
        {
            Holder holder(installed, c.before ? c.hold : Hold::None);
            for (const wchar_t* candidate : c.candidates) {
                const std::vector<BYTE> bytes = testmachine::ReadBytes(TrustSample(candidate));
                const std::wstring scheduledBefore = Scheduled();
                const bool installs = trust.PolicyCache().Offer(bytes, candidate);
                outcomes += installs ? 'I' : Scheduled() != scheduledBefore ? 'S' : '-';
                if (installs) expected = bytes;
            }
        }
        EXPECT_EQ(outcomes, c.outcomes);
        EXPECT_EQ(Installed(), expected);
        EXPECT_EQ(PolicyVersionFloor(), c.floorAfter);
        const DWORD attributes = ::GetFileAttributesW(installed.c_str());
        EXPECT_TRUE(c.outcomes[0] != 'I' || !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) << attributes;
    }
}

TEST_F(TrustPolicyTest, NothingDoneToTheFileOrTheTemporaryFolderMovesAVerdictTowardTrust)
{
    // tarsen.exe's serial number is blocked by blocked.js, not by v6.js; both
    // accept partner.exe. Another process holds the installed file for longer
    // than any run, or the temporary folder cannot take the private copy a
    // signature is checked on. Two cases are qeltrust processes, which wait
    // at the program's own bounds.
    const struct {
        const wchar_t* policy;  // installed
        bool damaged;
        const wchar_t* copy;    // the machine's verified copy; null: none
        DWORD floor;
        Hold hold;
        const wchar_t* temporary;  // the checking process's temporary folder; null: as it is
        const char* verdicts;      // tarsen.exe partner.exe
        bool process = false;      // judged by a qeltrust process
    } kCases[] = {
        {L"blocked.js", false, nullptr, 0, Hold::None, nullptr, "-+"},
        {L"blocked.js", false, L"blocked.js", 6, Hold::Lock, nullptr, "-+"},  // judged with the copy
        {L"blocked.js", false, L"blocked.js", 6, Hold::Lock, nullptr, "-+", true},
        {L"blocked.js", false, L"blocked.js", 6, Hold::Exclusive, nullptr, "-+"},
        {L"blocked.js", false, nullptr, 0, Hold::Lock, nullptr, "--"},  // no copy: nothing is trusted
        {L"blocked.js", false, nullptr, 0, Hold::Exclusive, nullptr, "--"},
        {L"blocked.js", false, nullptr, 0, Hold::Exclusive, nullptr, "--", true},
        {L"v6.js", false, L"v6.js", 6, Hold::Lock, nullptr, "++"},
        {L"v6.js", false, L"v6.js", 6, Hold::Exclusive, nullptr, "++"},
        {L"blocked.js", false, L"blocked.js", 6, Hold::None, L"C:\\no-such-folder", "-+"},
        {L"blocked.js", false, nullptr, 0, Hold::None, L"C:\\no-such-folder", "--"},
        {L"v6.js", false, L"v6.js", 6, Hold::None, L"C:\\no-such-folder", "++"},
        // A file that is there but not usable: its copy, or nothing while a newer policy was installed.
        {L"blocked.js", true, L"blocked.js", 6, Hold::None, nullptr, "-+"},
        {L"blocked.js", true, nullptr, 6, Hold::None, nullptr, "--"},
        {L"blocked.js", true, nullptr, 0, Hold::None, nullptr, "+-"},  // nothing recorded: the built-in policy
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - kCases);
        SetUp();
        Install(c.policy, c.damaged);
        if (c.copy) KeepCopy(c.copy);
        if (c.floor) testmachine::SetDword(kPolicyRecordsKey, kPolicyFloorValue, c.floor);
        std::wstring out;
        {
            // The private copy's folder comes from TMP, for this process and the ones it starts.
            wchar_t saved[MAX_PATH] = L"";
            ::GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
            if (c.temporary) ::SetEnvironmentVariableW(L"TMP", c.temporary);
            Holder holder(installed, c.hold);
            Notes notes;
            CTrustEnvironment trust(&notes, true, kShortWaits);
            EXPECT_EQ(c.process ? QelTrust(L"tarsen.exe partner.exe", &out) : Judge(trust, L"tarsen.exe partner.exe"),
                      c.verdicts);
            if (!c.process) out = notes.text;
            ::SetEnvironmentVariableW(L"TMP", saved);
        }
        // The report says why the file was not used, also when the first read
        // came while the validation library was being loaded.
        const bool unused = c.hold != Hold::None || c.temporary || c.damaged;
        EXPECT_EQ(out.find(L"policy file " + installed + L": not used: ") != std::wstring::npos, unused);
        EXPECT_EQ(out.find(kPolicyCopyValue) != std::wstring::npos, c.copy && unused) << testing::PrintToString(out);
        // A hold is waited for as long as the environment says: 2 s in the program (and qeltrust).
        const std::wstring waited = LockedOutReason(c.process ? kPolicyReadLockWaitMs : kShortWaits.readMs);
        EXPECT_EQ(out.find(waited) != std::wstring::npos, c.hold != Hold::None);
        // A good read keeps the machine's records: the copy and the highest version.
        if (!c.damaged && c.hold == Hold::None && !c.temporary) {
            EXPECT_EQ(KeptCopy(), testmachine::ReadBytes(TrustSample(c.policy)));
            EXPECT_EQ(PolicyVersionFloor(), 6u);
        }
    }
}

}  // namespace
