// qelstore on a provisioned machine: each command once, and what it says and
// returns when the machine or the file is not as it should be.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

namespace {

namespace kit = datastorekit;

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::wstring out;
    std::wstring err;
};

std::wstring FromUtf8(const std::vector<BYTE>& bytes)
{
    if (bytes.empty()) return {};
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                          text.data(), chars);
    return text;
}

// Runs qelstore with its output redirected to files, as a script would.
ToolRun Qelstore(const std::wstring& arguments)
{
    ToolRun run;
    const std::wstring folder = testmachine::ProgramDataFolder() + L"\\QelStoreToolTest";
    testmachine::CreateFolder(folder);
    const std::wstring outPath = folder + L"\\out.txt", errPath = folder + L"\\err.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    {
        ScopedHandle out(::CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                       nullptr));
        ScopedHandle err(::CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                       nullptr));
        const std::wstring exe = testmachine::BinDir() + L"\\qelstore.exe";
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = out.Get();
        startup.hStdError = err.Get();
        PROCESS_INFORMATION process{};
        if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &process)) {
            ADD_FAILURE() << "cannot start qelstore: " << ::GetLastError();
            return run;
        }
        ScopedHandle processHandle(process.hProcess), threadHandle(process.hThread);
        EXPECT_EQ(::WaitForSingleObject(process.hProcess, 120000), static_cast<DWORD>(WAIT_OBJECT_0));
        ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    }
    run.out = FromUtf8(testmachine::ReadBytes(outPath));
    run.err = FromUtf8(testmachine::ReadBytes(errPath));
    return run;
}

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

std::string Show(const ToolRun& run)
{
    const std::wstring all = L"exit " + std::to_wstring(run.exitCode) + L"\nout: " + run.out + L"\nerr: " + run.err;
    return std::string(all.begin(), all.end());
}

class QelStoreToolTest : public testing::Test {
protected:
    void SetUp() override { kit::Provision(); }
};

TEST_F(QelStoreToolTest, HelpAndUsageErrors)
{
    const ToolRun help = Qelstore(L"--help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_TRUE(Contains(help.out, L"usage: qelstore <command>")) << Show(help);
    EXPECT_TRUE(help.err.empty());

    const struct {
        const wchar_t* arguments;
        const wchar_t* message;
    } cases[] = {
        {L"", L"qelstore: no command given"},
        {L"frobnicate", L"qelstore: unknown command 'frobnicate'"},
        {L"get", L"get what?"},
        {L"get status a b", L"unknown or incomplete 'get status'"},
        {L"set status onlykey", L"set status NAME VALUE"},
        {L"set oobestate x1", L"a state is a decimal number, not 'x1'"},
        {L"dump --pretty", L"dump takes --raw only"},
        {L"keygen --key 00ff", L"--key takes exactly 64 hex digits"},
        {L"tasks now", L"'tasks' takes no arguments"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Qelstore(c.arguments);
        EXPECT_EQ(run.exitCode, 1u) << Show(run);
        EXPECT_TRUE(Contains(run.err, c.message)) << Show(run);
        EXPECT_TRUE(run.out.empty()) << Show(run);
    }
}

TEST_F(QelStoreToolTest, EveryCommandOnAProvisionedMachine)
{
    ToolRun run = Qelstore(L"init");
    ASSERT_EQ(run.exitCode, 0u) << Show(run);
    EXPECT_EQ(run.out, L"data store initialised\n");

    EXPECT_EQ(Qelstore(L"set status krsdownloadcount 2").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set status \"with space\" \"a \\\"quoted\\\" value\"").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set oobe completedtime 1700000000").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set eula accepted yes").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set oobestate 3").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set eulastate -1").exitCode, 0u);

    EXPECT_EQ(Qelstore(L"get status krsdownloadcount").out, L"2\n");
    EXPECT_EQ(Qelstore(L"get status").out, L"krsdownloadcount=2\nwith space=a \"quoted\" value\n");
    EXPECT_EQ(Qelstore(L"get oobe completedtime").out, L"1700000000\n");
    EXPECT_EQ(Qelstore(L"get eula accepted").out, L"yes\n");
    EXPECT_EQ(Qelstore(L"get oobestate").out, L"3\n");
    EXPECT_EQ(Qelstore(L"get eulastate").out, L"-1\n");

    // What the tool wrote is what the file holds.
    std::wstring stored;
    ASSERT_TRUE(kit::ReadStoreText(stored));
    EXPECT_EQ(Qelstore(L"dump --raw").out, stored);
    run = Qelstore(L"dump");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(Contains(run.out, L"{\n  \"oobe\": {\n    \"InitializeDbTime\": \"")) << Show(run);
    EXPECT_TRUE(Contains(run.out, L"  \"Entitlement\": {\n    \"krsdownloadcount\": \"2\",\n")) << Show(run);

    EXPECT_EQ(Qelstore(L"tasks").out, L"(none)\n");
    kit::WriteStoreText(L"{\"ScheduleTask\":[{\"Name\":\"KRSDownload\",\"Param\":\"/context=2\"},{\"Type\":\"1\"}],"
                        L"\"Packages\":[{\"PkgID\":\"p1\",\"AutoDownLoadFlag\":\"1\"},{\"PkgID\":\"p2\"}]}");
    EXPECT_EQ(Qelstore(L"tasks").out, L"KRSDownload\n  Param=/context=2\n(no Name)\n  Type=1\n");
    EXPECT_EQ(Qelstore(L"packages").out, L"p1\n  AutoDownLoadFlag=1\np2\n");
    // A package parameter is added (to a new record when needed); one the package holds is kept.
    EXPECT_EQ(Qelstore(L"set package p2 AutoDownLoadFlag 1").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set package p1 AutoDownLoadFlag 0").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"set package p3 Name Suite").exitCode, 0u);
    EXPECT_EQ(Qelstore(L"packages").out,
              L"p1\n  AutoDownLoadFlag=1\np2\n  AutoDownLoadFlag=1\np3\n  Name=Suite\n");
    EXPECT_EQ(Qelstore(L"set package p3 Name").exitCode, 1u);

    const struct {
        const wchar_t* arguments;
        const wchar_t* message;
    } absent[] = {
        {L"get status none", L"status parameter 'none' is not set"},
        {L"get oobe none", L"oobe parameter 'none' is not set"},
        {L"get oobestate", L"oobestate is not set"},
    };
    for (const auto& c : absent) {
        run = Qelstore(c.arguments);
        EXPECT_EQ(run.exitCode, 2u) << Show(run);
        EXPECT_TRUE(Contains(run.err, c.message)) << Show(run);
    }
}

TEST_F(QelStoreToolTest, KeyGeneration)
{
    testmachine::DeleteValue(qelkeys::kCore, L"DataStore");
    ToolRun run = Qelstore(L"keygen");
    ASSERT_EQ(run.exitCode, 0u) << Show(run);

    auto readBlob = [] {
        std::vector<BYTE> blob(512);
        DWORD bytes = static_cast<DWORD>(blob.size());
        DWORD type = 0;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, qelkeys::kCore, L"DataStore", RRF_RT_ANY, &type, blob.data(),
                           &bytes) != ERROR_SUCCESS || type != REG_BINARY) {
            return std::vector<BYTE>();
        }
        blob.resize(bytes);
        return blob;
    };
    const std::vector<BYTE> random = readBlob();
    ASSERT_EQ(random.size(), 140u);
    const std::vector<BYTE> header = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0, 0x10, 0x66, 0, 0, 32, 0, 0, 0};
    EXPECT_EQ(std::vector<BYTE>(random.begin(), random.begin() + 12), header);
    EXPECT_EQ(std::vector<BYTE>(random.begin() + 44, random.end()), std::vector<BYTE>(96, 0));
    EXPECT_NE(std::vector<BYTE>(random.begin() + 12, random.begin() + 44), std::vector<BYTE>(32, 0));

    run = Qelstore(L"keygen");
    EXPECT_EQ(run.exitCode, 6u);
    EXPECT_TRUE(Contains(run.err, L"a data store key exists already")) << Show(run);
    EXPECT_EQ(readBlob(), random);

    // The tool's key and an independently made blob encipher the same.
    EXPECT_EQ(Qelstore(L"set status k v").exitCode, 0u);
    run = Qelstore(L"keygen --force --key 030a11181f262d343b424950575e656c737a81888f969da4abb2b9c0c7ced5dc");
    EXPECT_EQ(run.exitCode, 0u) << Show(run);
    EXPECT_TRUE(Contains(run.err, L"was written with the old key")) << Show(run);
    EXPECT_EQ(readBlob(), kit::KeyBlob(kit::TestKey()));
}

TEST_F(QelStoreToolTest, FailuresAreClearAndChangeNothing)
{
    testmachine::DeleteValue(qelkeys::kCore, L"DataStore");
    ToolRun run = Qelstore(L"get status k");
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(Contains(run.err, L"the machine has no data store key")) << Show(run);
    EXPECT_EQ(Qelstore(L"set status k v").exitCode, 3u);

    kit::Provision();
    testmachine::DeleteValue(qelkeys::kCore, L"DBPath");
    run = Qelstore(L"init");
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(Contains(run.err, L"\"DBPath\" is missing or empty")) << Show(run);

    kit::Provision();
    run = Qelstore(L"dump");
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_TRUE(Contains(run.err, L"there is no data store file yet: " + kit::StoreFile())) << Show(run);

    // A file under another key: every command refuses it and leaves it as it is.
    kit::WriteStoreText(L"{\"Entitlement\":{\"k\":\"v\"}}", kit::OtherKey());
    const std::vector<BYTE> foreign = kit::FileBytes();
    for (const wchar_t* arguments : {L"dump", L"get status k", L"set status k w", L"init", L"tasks", L"dump --raw"}) {
        run = Qelstore(arguments);
        EXPECT_EQ(run.exitCode, 4u) << Show(run);
        EXPECT_TRUE(Contains(run.err, L"the data store file cannot be read")) << Show(run);
        EXPECT_TRUE(Contains(run.err, L"a copy is kept as " + kit::UnreadableCopy())) << Show(run);
        EXPECT_EQ(kit::FileBytes(), foreign);
    }
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), foreign);

    // A valid cipher of a text that is not a document: --raw still shows it.
    kit::WriteStoreText(L"{ not json");
    run = Qelstore(L"dump --raw");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, L"{ not json");

    run = Qelstore(L"init --force");
    EXPECT_EQ(run.exitCode, 0u) << Show(run);
    EXPECT_TRUE(Contains(run.err, L"replacing the unreadable data store file")) << Show(run);
    EXPECT_EQ(Qelstore(L"get oobestate").out, L"0\n");
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), kit::Encipher(L"{ not json"));
}

}  // namespace
