// Support engineers find a failure in the log by the public operation that
// reported it: each line names that operation, never a private step the code
// happens to use inside it.
#include "common/Platform.h"

#include "app/QELCommonBuild.h"
#include "common/UniqueHandle.h"
#include "config/PCReg.h"
#include "config/QELConfig.h"
#include "datastore/PCCrypt.h"
#include "datastore/PcEncryptedFile.h"
#include "datastore/PcFile.h"
#include "datastore/QelJsonFormat.h"
#include "instru/QELInstru.h"
#include "instru/QELInstruAgent.h"
#include "instru/WmiWrapper.h"
#include "instru/ZEPInstru.h"
#include "jobs/QELAutoDownload.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

TEST(LogSiteTest, EachLineNamesThePublicOperationThatLogsIt)
{
    // The data store has its key but no folder; no scheduler key (not an administrator).
    datastorekit::SetKeyBlob(datastorekit::KeyBlob(datastorekit::TestKey()));
    testmachine::DeleteValue(qelkeys::kCore, L"DBPath");
    const std::wstring nokey = L"SOFTWARE\\Tarsen\\LogSite\\Missing", nofile = L"C:\\nowhere\\file.dat";
    CPCReg reg;
    CQELRegConfig config;
    CPcCrypt crypt;
    CPcFile file;
    CPcEncryptedFile encrypted{SharedBuffer()};
    CQelJsonFormat document;
    CQelScheduleTaskMgr tasks(0);
    CQELAutoDownload job(std::make_unique<CQELKrsIntegrate>(L"C:\\nowhere\\"));
    SchedulerTaskRecord record, bad;
    record.Name = L"LogSite";
    DWORD dword = 0;
    int state = 0;
    std::wstring text;
    StringMap map;
    StringList list;
    std::vector<BYTE> bytes(16);
    SharedBuffer out;
    HANDLE handle = nullptr;
    ScopedHandle held(::CreateMutexW(nullptr, FALSE, CQELCBSingleInstance::kMutexName));

    // The operation, the start of one line it logs, and a call that makes it log that line.
    const struct {
        const wchar_t* function;
        std::wstring line;
        std::function<void()> call;
    } cases[] = {
        {L"CQELCBSingleInstance::CreateInstance", L"Another instance", [&] { CQELCBSingleInstance::CreateInstance(handle); }},
        {L"CPCReg::Read", L"Cant open registry key: " + nokey, [&] { reg.Read(nokey, L"v", dword); }},
        {L"CPCReg::Read", L"Cant get registry value v at key location SOFTWARE", [&] { reg.Read(L"SOFTWARE", L"v", text); }},
        {L"CPCReg::Read", L"REG-NOTFOUND: SOFTWARE\\v", [&] { reg.Read(L"SOFTWARE", L"v", out); }},
        {L"CPCReg::Write", L"Cant write registry value", [&] { reg.Write(L"SOFTWARE", std::wstring(20000, L'n'), dword); }},
        {L"CPCReg::DeleteSubKey", L"Cant open registry key", [&] { reg.DeleteSubKey(nokey, L"v"); }},
        {L"CPCReg::EnumRegKeys", L"Cant open registry key", [&] { reg.EnumRegKeys(nokey, list); }},
        {L"CPCReg::EnumRegKeyValues", L"Cant open registry key", [&] { reg.EnumRegKeyValues(nokey, map); }},
        {L"CQELRegConfig::GetAppsSetting", L"Invalid arguments", [&] { config.GetAppsSetting(L"", L"v", text, L""); }},
        {L"CSingleMutexForAllUser::CSingleMutexForAllUser", L"Process: ", [&] { CSingleMutexForAllUser m(L"No\\Such"); }},
        {L"CSingleMutexForAllUser::lock", L"Invalid Handle", [&] { CSingleMutexForAllUser(L"No\\Such").lock(); }},
        {L"CPcCrypt::Init", L"Error importing key blob.", [&] { crypt.Init(SharedBuffer()); }},
        {L"CPcCrypt::importKeyBlob", L"Failed to import keyblob.", [&] { crypt.importKeyBlob(SharedBuffer()); }},
        {L"CPcCrypt::EncryptData", L"Encrypt data failed", [&] { crypt.EncryptData(bytes.data(), 16, out, dword); }},
        {L"CPcCrypt::EncryptData", L"Encrypt data failed", [&] { crypt.EncryptInPlace(bytes, 16, dword); }},
        {L"CPcCrypt::DecryptData", L"Decrypt data failed", [&] { crypt.DecryptData(bytes.data(), 16, out, dword); }},
        {L"CPcCrypt::DecryptData", L"Decrypt data failed", [&] { crypt.DecryptInPlace(bytes); }},
        {L"CPcFile::ReadFromFile", L"Error: File not found.", [&] { file.ReadFromFile(nofile, bytes); }},
        {L"CPcEncryptedFile::ReadFileData", L"Error: Decryption", [&] { encrypted.ReadFileData(nofile, text); }},
        {L"CPcEncryptedFile::WriteFileData", L"Invalid parameters.", [&] { encrypted.WriteFileData(nofile, L""); }},
        {L"CQelJsonFormat::LoadData", L"Failed to initialize", [&] { document.LoadData(); }},
        {L"CQelJsonFormat::SaveData", L"Failed to initialize", [&] { document.SaveData(); }},
        {L"CQelJsonFormat::readDBPath", L"Error in file path", [&] { document.readDBPath(); }},
        {L"CQelJsonFormat::parseJson", L"Data store section oobe", [&] { document.parseJson(L"{\"oobe\":[{}]}"); }},
        {L"CQelJsonFormat::parseJson", L"Cant convert JSON", [&] { document.parseJson(L"[]"); }},
        {L"CQelJsonFormat::GetOobeState", L"Cant find oobestate", [&] { document.GetOobeState(state); }},
        {L"CQelJsonFormat::GetEulaState", L"Cant find eulastate", [&] { document.GetEulaState(state); }},
        {L"CQelJsonFormat::GetOobeParameter", L"Cant find", [&] { document.GetOobeParameter(L"v", text); }},
        {L"CQelJsonFormat::GetEulaParameter", L"Cant find", [&] { document.GetEulaParameter(L"v", text); }},
        {L"CQelJsonFormat::SetEntParameter", L"Found", [&] { document.SetEntParameter(L"k", L""), document.SetEntParameter(L"k", L""); }},
        {L"CQelJsonFormat::GetEntParameter", L"GetEntParameter", [&] { document.GetEntParameter(L"k", text); }},
        {L"CQelJsonFormat::GetPkgParameter", L"Returning from", [&] { document.GetPkgParameter(L"p", L"v", text); }},
        {L"CQelScheduleTaskMgr::AddTask", L"Task LogSite breaks", [&] { tasks.AddTask(record); }},
        {L"CQelScheduleTaskMgr::DeleteTask", L"Delete task - Returning", [&] { tasks.DeleteTask(L"Nope"); }},
        {L"CQelScheduleTaskMgr::isAdmin", L"Error opening key", [&] { tasks.isAdmin(); }},
        {L"CQelScheduleTaskMgr::addTaskToRegistry", L"addTaskIntoReg", [&] { tasks.addTaskToRegistry(bad); }},
        {L"CQelScheduleTaskMgr::addTaskToDatabase", L"Invalid task", [&] { tasks.addTaskToDatabase(bad); }},
        {L"CQelScheduleTaskMgr::readTaskFromRegistry", L"Error reading", [&] { tasks.readTaskFromRegistry(L"Nope", bad); }},
        {L"CQelScheduleTaskMgr::deleteTaskInUserMode", L"Unable to read", [&] { tasks.deleteTaskInUserMode(L"Nope"); }},
        {L"CQelScheduleTaskMgr::deleteTaskFromRegistry", L"Error unable", [&] { tasks.deleteTaskFromRegistry(L"Nope"); }},
        {L"CQelScheduleTaskMgr::notifyScheduler", L"NOTIFICATION", [&] { tasks.notifyScheduler(true); }},
        {L"CQelScheduleTaskConfig::Write", L"addTaskIntoReg - writing", [&] { CQelScheduleTaskConfig(L"LogSite").Write(record); }},
        {L"CQELKrsIntegrate::LoadDLL", L"Failed to load", [&] { CQELKrsIntegrate(L"C:\\nowhere\\").RunKrsAutoDownload(); }},
        {L"CQELAutoDownload::IsAutoDownloadCompleted", L"CQELAutoDownload::", [&] { job.IsAutoDownloadCompleted(); }},
        {L"CQELAutoDownload::IsAutoDownloadEnabled", L"IsAutoDownloadEnabled", [&] { job.IsAutoDownloadEnabled(); }},
        {L"CQELAutoDownload::updateAutoDownloadCounter", L"Autodownload attempt", [&] { job.updateAutoDownloadCounter(); }},
        {L"CQELInstru::SendInstrumentation", L"Invalid arguments", [&] { CQELInstru().SendInstrumentation({}); }},
        {L"CQELInstru::isZEPEventRequired", L"Can't get ZEP", [&] { CQELInstru().isZEPEventRequired(); }},
        {L"CQELInstru::sendZEPEvents", L"Error when sending", [&] { CQELInstru().sendZEPEvents(L"a", L"b", L"c", L"1", {}); }},
        {L"CZEPInstru::SendData", L"Invalid Arguments", [&] { CZEPInstru().SendData(L"", L"b", L"c", L"1", {}); }},
        {L"CQELInstruAgent::SendEvent", L"Error when sending", [&] { CQELInstruAgent(L"AutoDownload").SendEvent(); }},
        {L"CWmiWrapper::IsInitialized", L"Object is not", [&] { CWmiWrapper(L"Win32_BIOS", L"x").IsInitialized(); }},
        {L"CWmiWrapper::GetWmiProperty", L"Wmi object is not", [&] { CWmiWrapper(L"Win32_BIOS", L"x").GetWmiProperty(L"v", text); }},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        c.call();
        const auto lines = TestLog().Lines();
        const auto found = std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.text.rfind(c.line, 0) == 0; });
        ASSERT_NE(found, lines.end()) << testing::PrintToString(c.line) << " not logged by " << c.function << ": "
                                      << testing::PrintToString(TestLog().Texts());
        EXPECT_EQ(found->function, c.function) << testing::PrintToString(found->text);
    }
}

}  // namespace
