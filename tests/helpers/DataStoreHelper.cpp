// A second process for the data store tests, built on the facade like any
// other program of the framework:
//   cycles N ID START_EVENT REPORT_FILE    waits for the event, then N cycles of SetEntParameter("worker"+ID)
//                                          and GetEntParameter; writes what it saw; exit 1 on any failure
//   hold READY_EVENT                       takes the data store mutex, signals, and waits to be killed
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "logging/LoggingIf.h"
#include "tests/support/CaptureLog.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

class CaptureBuilder : public ETWLogging::CLogBuilderIf {
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override
    {
        *logger = &TestLog();
        return true;
    }
};

int Cycles(int count, const std::wstring& id, const std::wstring& startEvent, const std::wstring& reportFile)
{
    ScopedHandle start(::OpenEventW(SYNCHRONIZE, FALSE, startEvent.c_str()));
    if (!start || ::WaitForSingleObject(start.Get(), 60000) != WAIT_OBJECT_0) return 2;

    const std::wstring key = L"worker" + id;
    int setFailures = 0, kept = 0, lost = 0;
    const ULONGLONG began = ::GetTickCount64();
    for (int i = 0; i < count; ++i) {
        CQelPersistenceData store;
        if (store.SetEntParameter(key, std::to_wstring(i)) != ERROR_SUCCESS) ++setFailures;
        // A value gone again would be an update lost to another process's save.
        std::wstring value;
        if (store.GetEntParameter(key, value) == ERROR_SUCCESS && value == std::to_wstring(i)) {
            ++kept;
        } else {
            ++lost;
        }
    }
    const ULONGLONG elapsed = ::GetTickCount64() - began;
    const size_t loadFailures =
        TestLog().Count(L"Error reading data from JSON ini file") + TestLog().Count(L"Error parsing JSON data");
    const size_t saveFailures = TestLog().Count(L"Error parsing writing to database");
    const size_t lockFailures = TestLog().Count(L"Invalid Handle - NULL ");

    FILE* report = _wfopen(reportFile.c_str(), L"w");
    if (!report) return 2;
    fprintf(report, "cycles=%d setFailures=%d loadFailures=%zu saveFailures=%zu lockFailures=%zu kept=%d lost=%d ms=%llu\n",
            count, setFailures, loadFailures, saveFailures, lockFailures, kept, lost,
            static_cast<unsigned long long>(elapsed));
    fclose(report);
    return setFailures || loadFailures || saveFailures || lockFailures ? 1 : 0;
}

int Hold(const std::wstring& readyEvent)
{
    CSingleMutexForAllUser mutex(qeldb::kMutexName);
    mutex.lock();
    ScopedHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str()));
    if (!ready || !::SetEvent(ready.Get())) return 2;
    ::Sleep(INFINITE);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    static CaptureBuilder builder;
    ETWLogging::UseLogBuilder(&builder);

    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"cycles" && argc == 6) return Cycles(_wtoi(argv[2]), argv[3], argv[4], argv[5]);
    if (command == L"hold" && argc == 3) return Hold(argv[2]);
    fwprintf(stderr, L"usage: datastore_helper cycles|hold ...\n");
    return 2;
}
