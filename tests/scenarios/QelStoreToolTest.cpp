// qelstore on a provisioned machine: each command once, and what it says and
// returns when the machine or the file is not as it should be.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "scheduler/QelSchedulerConfig.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace {

namespace kit = datastorekit;

using testmachine::ToolRun;

// Runs qelstore and expects this exit code and (a part of) this text on standard error.
ToolRun Qelstore(const std::wstring& arguments, DWORD exitCode = 0, const std::wstring& err = L"")
{
    const ToolRun run = testmachine::RunTool(testmachine::BinDir() + L"\\qelstore.exe", arguments);
    const std::wstring shown =
        arguments + L" -> exit " + std::to_wstring(run.exitCode) + L", out: " + run.out + L", err: " + run.err;
    EXPECT_EQ(run.exitCode, exitCode) << testing::PrintToString(shown);
    EXPECT_NE(run.err.find(err), std::wstring::npos) << testing::PrintToString(shown);
    return run;
}

std::vector<BYTE> StoredKeyBlob()
{
    std::vector<BYTE> blob(512);
    DWORD bytes = static_cast<DWORD>(blob.size());
    const LSTATUS rc = ::RegGetValueW(HKEY_LOCAL_MACHINE, qelkeys::kCore, L"DataStore", RRF_RT_REG_BINARY, nullptr,
                                      blob.data(), &bytes);
    blob.resize(rc == ERROR_SUCCESS ? bytes : 0);
    return blob;
}

class QelStoreToolTest : public kit::ProvisionedStoreTest {};

TEST_F(QelStoreToolTest, EveryCommandOnAProvisionedMachine)
{
    EXPECT_EQ(Qelstore(L"init").out, L"data store initialised\n");
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> values[] = {
        {L"set status krsdownloadcount 2", L"get status krsdownloadcount", L"2\n"},
        {L"set status \"with space\" \"a \\\"quoted\\\" value\"", L"get status",
         L"krsdownloadcount=2\nwith space=a \"quoted\" value\n"},
        {L"set oobe completedtime 1700000000", L"get oobe completedtime", L"1700000000\n"},
        {L"set eulastate -1", L"get eulastate", L"-1\n"},
    };
    for (const auto& [set, get, out] : values) {
        Qelstore(set);
        EXPECT_EQ(Qelstore(get).out, out);
    }

    // What the tool wrote is what the file holds.
    EXPECT_EQ(Qelstore(L"dump --raw").out, kit::StoreText());
    const std::wstring pretty = Qelstore(L"dump").out;
    EXPECT_EQ(pretty.find(L"{\n  \"oobe\": {\n    \"InitializeDbTime\": \""), 0u) << testing::PrintToString(pretty);
    EXPECT_NE(pretty.find(L"\n  \"Entitlement\": {\n    \"krsdownloadcount\": \"2\",\n"), std::wstring::npos);

    const std::wstring registry = L"registry, HKLM\\SOFTWARE\\Tarsen\\QEL\\SCHEDULER:\n";
    const std::wstring store = L"data store, \"ScheduleTask\":\n";
    EXPECT_EQ(Qelstore(L"tasks").out, registry + L"  (none)\n" + store + L"  (none)\n");
    // Both places the scheduler reads, each under its heading: a registry task is not in the store.
    ASSERT_EQ(CQelScheduleTaskConfig(L"AutoDownload")
                  .Write(scheduler::JobTask(L"AutoDownload", L"auto", L"/context=4", 14400)),
              0u);
    kit::WriteStoreText(L"{\"ScheduleTask\":[{\"Name\":\"KRSDownload\",\"Param\":\"/context=2\"},{\"Type\":\"1\"}],"
                        L"\"Packages\":[{\"PkgID\":\"p1\",\"AutoDownLoadFlag\":\"1\"},{\"PkgID\":\"p2\"}]}");
    const std::wstring listed = Qelstore(L"tasks").out;
    EXPECT_EQ(listed.substr(0, registry.size() + 15), registry + L"  AutoDownload\n") << testing::PrintToString(listed);
    EXPECT_NE(listed.find(L"\n    Param=/context=4\n"), std::wstring::npos) << testing::PrintToString(listed);
    EXPECT_EQ(listed.substr(listed.find(store)), store + L"  KRSDownload\n    Param=/context=2\n  (no Name)\n    Type=1\n");
    CQelScheduleTaskConfig(L"AutoDownload").Delete();
    // A package parameter is added (to a new record when needed); one the package holds is kept.
    Qelstore(L"set package p2 AutoDownLoadFlag 1");
    Qelstore(L"set package p1 AutoDownLoadFlag 0");
    Qelstore(L"set package p3 Name Suite");
    EXPECT_EQ(Qelstore(L"packages").out,
              L"p1\n  AutoDownLoadFlag=1\np2\n  AutoDownLoadFlag=1\np3\n  Name=Suite\n");

    Qelstore(L"get status none", 2, L"status parameter 'none' is not set");
    Qelstore(L"get oobe none", 2, L"oobe parameter 'none' is not set");
    Qelstore(L"get oobestate", 2, L"oobestate is not set");
}

TEST_F(QelStoreToolTest, KeyGeneration)
{
    testmachine::DeleteValue(qelkeys::kCore, L"DataStore");
    Qelstore(L"keygen");
    const std::vector<BYTE> random = StoredKeyBlob();
    ASSERT_EQ(random.size(), 140u);
    kit::AesKey key{};
    std::copy(random.begin() + 12, random.begin() + 44, key.begin());
    EXPECT_EQ(random, kit::KeyBlob(key)) << "a PLAINTEXTKEYBLOB for AES-256, zero-padded to 140 bytes";
    EXPECT_NE(key, kit::AesKey{});
    Qelstore(L"keygen", 6, L"a data store key exists already");
    EXPECT_EQ(StoredKeyBlob(), random);

    // The tool's key and an independently made blob encipher the same.
    Qelstore(L"set status k v");
    Qelstore(L"keygen --force --key 030a11181f262d343b424950575e656c737a81888f969da4abb2b9c0c7ced5dc", 0,
             L"was written with the old key");
    EXPECT_EQ(StoredKeyBlob(), kit::KeyBlob(kit::TestKey()));
}

TEST_F(QelStoreToolTest, FailuresAreClearAndChangeNothing)
{
    Qelstore(L"frobnicate", 1, L"qelstore: unknown command 'frobnicate'");
    Qelstore(L"set oobestate x1", 1, L"a state is a decimal number, not 'x1'");
    Qelstore(L"keygen --key 00ff", 1, L"--key takes exactly 64 hex digits");
    testmachine::DeleteValue(qelkeys::kCore, L"DataStore");
    Qelstore(L"get status k", 3, L"the machine has no data store key");
    Qelstore(L"set status k v", 3, L"the machine has no data store key");
    kit::Provision();
    testmachine::DeleteValue(qelkeys::kCore, L"DBPath");
    Qelstore(L"init", 3, L"\"DBPath\" is missing or empty");
    kit::Provision();
    Qelstore(L"dump", 2, L"there is no data store file yet: " + kit::StoreFile());

    // A file under another key: every command refuses it and leaves it as it is.
    kit::WriteStoreText(L"{\"Entitlement\":{\"k\":\"v\"}}", kit::OtherKey());
    const std::vector<BYTE> foreign = kit::FileBytes();
    for (const wchar_t* arguments : {L"get status k", L"set status k w", L"init", L"tasks", L"dump --raw"}) {
        const ToolRun run = Qelstore(arguments, 4, L"the data store file cannot be read");
        EXPECT_NE(run.err.find(L"a copy is kept as " + kit::UnreadableCopy()), std::wstring::npos);
        EXPECT_EQ(kit::FileBytes(), foreign);
    }
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), foreign);

    // A valid cipher of a text that is not a document: --raw still shows it, init --force replaces it.
    kit::WriteStoreText(L"{ not json");
    EXPECT_EQ(Qelstore(L"dump --raw").out, L"{ not json");
    Qelstore(L"init --force", 0, L"replacing the unreadable data store file");
    EXPECT_EQ(Qelstore(L"get oobestate").out, L"0\n");
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), kit::Encipher(L"{ not json"));
}

}  // namespace
