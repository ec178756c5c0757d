// A second process for tests that need one, built on the product's classes
// like any other program of the framework:
//   cycles N ID START_EVENT    waits for the event, then N cycles of SetEntParameter("worker"+ID) and
//                              GetEntParameter; exit 1 when a load, save, lock or set failed
//   firstlog CASE              makes CASE's failing call the process's first log call, through the
//                              program's own logger (built from the registry, as at start-up)
//   hold HOW MS READY FILE     holds FILE as another program would for MS milliseconds: a byte-range
//                              lock over it (lock), an open that shares nothing (exclusive) or reading
//                              only (nodelete); sets the event READY once it does
#include "common/Platform.h"

#include "app/QELCommonBuild.h"
#include "common/UniqueHandle.h"
#include "datastore/PCCrypt.h"
#include "datastore/QelPersistenceData.h"
#include "jobs/QELKrsIntegrate.h"
#include "logging/Log.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "tests/support/CaptureLog.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace {

int Cycles(int count, const std::wstring& id, const std::wstring& startEvent)
{
    ScopedHandle start(::OpenEventW(SYNCHRONIZE, FALSE, startEvent.c_str()));
    if (!start || ::WaitForSingleObject(start.Get(), 60000) != WAIT_OBJECT_0) return 2;
    int setFailures = 0;
    for (int i = 0; i < count; ++i) {
        CQelPersistenceData store;
        if (store.SetEntParameter(L"worker" + id, std::to_wstring(i)) != ERROR_SUCCESS) ++setFailures;
        // Only the read's success counts here; the test checks the values at the end.
        std::wstring value;
        store.GetEntParameter(L"worker" + id, value);
    }
    const size_t failures = TestLog().Count(L"Error reading data from JSON ini file") +
                            TestLog().Count(L"Error parsing JSON data") +
                            TestLog().Count(L"Error parsing writing to database") +
                            TestLog().Count(L"Invalid Handle - NULL ");
    return setFailures || failures ? 1 : 0;
}

int FirstLog(const std::wstring& which)
{
    SetLoggerStartupValues(L"QEL", nullptr, nullptr, 0, 0);
    HANDLE instance = nullptr;
    if (which == L"keyblob") {
        SharedBuffer blob = MakeSharedBuffer(CPcCrypt::kKeyBlobLength);
        std::memset(blob.get(), 0x41, CPcCrypt::kKeyBlobLength);
        CPcCrypt().Init(blob);
    } else if (which == L"dblock") {
        CSingleMutexForAllUser mutex(L"NoSuchNamespace\\QelTest");
        CSingleMutexForAllUserGrab unlocked(mutex);  // without a mutex, callers go on unlocked
    } else if (which == L"instance") {
        CQELCBSingleInstance::CreateInstance(instance);
    } else if (which == L"library") {
        CQELKrsIntegrate(L"C:\\nowhere\\").RunKrsAutoDownload();
    } else if (which == L"notify") {
        CQelScheduleTaskMgr().notifyScheduler(true);
    } else {
        return 2;
    }
    return 0;
}

int Hold(const std::wstring& how, DWORD ms, const std::wstring& ready, const std::wstring& path)
{
    const bool lock = how == L"lock";
    const DWORD share = lock ? FILE_SHARE_READ | FILE_SHARE_WRITE : how == L"nodelete" ? FILE_SHARE_READ : 0;
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    OVERLAPPED all{};
    if (!file || (lock && !::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all))) return 1;
    ScopedHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str()));
    if (!event || !::SetEvent(event.Get())) return 2;
    ::Sleep(ms);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"firstlog" && argc == 3) return FirstLog(argv[2]);
    if (command == L"hold" && argc == 6) return Hold(argv[2], std::wcstoul(argv[3], nullptr, 10), argv[4], argv[5]);
    CaptureLogLines();
    if (command == L"cycles" && argc == 5) return Cycles(_wtoi(argv[2]), argv[3], argv[4]);
    fwprintf(stderr, L"usage: test_helper cycles|firstlog|hold ...\n");
    return 2;
}
