#include "common/Platform.h"

#include "app/InstanceObjects.h"
#include "app/QELCommonBuild.h"
#include "common/UniqueHandle.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/OwnerSeam.h"

#include <gtest/gtest.h>

namespace {

// The guard's platform calls around the owner seam. This machine has no
// private namespaces (CreateBoundaryDescriptorW answers nothing): unless a row
// asks for the real call, the private instance name is played by a local
// mutex of this process's.
class SeamedInstanceObjects : public AnsweringOwners<CInstanceObjects> {
public:
    bool realPrivateName = false;
    bool privateRuns = false;
    static constexpr wchar_t kPrivateStandIn[] = L"QelTestPrivateInstance";

    DWORD CreatePrivateMutex(HANDLE& mutex, bool& existed) override
    {
        if (realPrivateName) return CInstanceObjects::CreatePrivateMutex(mutex, existed);
        mutex = ::CreateMutexW(nullptr, TRUE, kPrivateStandIn);
        existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
        return mutex ? ERROR_SUCCESS : ::GetLastError();
    }
    bool PrivateInstanceRuns() override { return privateRuns; }
};

TEST(DispatchTest, ASquattedInstanceNameIsNoOtherInstance)
{
    const std::wstring name = CQELCBSingleInstance::kMutexName;
    const std::wstring another = L"Another instance of QELCommonBuild is already runnning.";
    const std::wstring squatted = L"The mutex " + name + L" belongs to S-1-5-21-1004336348-1177238915-682003330-1001, "
                                  L"neither LocalSystem nor an administrator: it is no other instance; the job runs "
                                  L"under the private instance name";
    enum class Held { Free, Mutex, Event };
    const struct {
        const wchar_t* what;
        Held held;  // what holds the program's name
        ObjectOwner owner;
        bool privateHeld, privateRuns, realPrivateName;
        bool runs;
        std::wstring line;
    } rows[] = {
        {L"free", Held::Free, ObjectOwner::Other, false, false, false, true, L""},
        {L"another copy, its owner not reported", Held::Mutex, ObjectOwner::NotReported, false, false, false, false,
         another},
        {L"another copy of LocalSystem's", Held::Mutex, ObjectOwner::Rightful, false, false, false, false, another},
        {L"a user's mutex", Held::Mutex, ObjectOwner::Other, false, false, false, true, squatted},
        {L"a user's mutex, a copy already under the private name", Held::Mutex, ObjectOwner::Other, true, false, false,
         false, another},
        {L"a user's event under the name", Held::Event, ObjectOwner::Other, false, false, false, true,
         L"The name " + name + L" is held by an object that is not the program's mutex; the job runs under the private "
                               L"instance name"},
        {L"free again, a copy still under the private name", Held::Free, ObjectOwner::Other, false, true, false, false,
         another},
        // Only LocalSystem may make the private name: this test (and this machine) cannot.
        {L"a user's mutex, the private name not to be had", Held::Mutex, ObjectOwner::Other, false, false, true, false,
         squatted},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.what)));
        ScopedHandle squatter(row.held == Held::Mutex   ? ::CreateMutexW(nullptr, FALSE, name.c_str())
                              : row.held == Held::Event ? ::CreateEventW(nullptr, TRUE, FALSE, name.c_str())
                                                        : nullptr);
        ScopedHandle privateCopy(row.privateHeld
                                     ? ::CreateMutexW(nullptr, FALSE, SeamedInstanceObjects::kPrivateStandIn)
                                     : nullptr);
        SeamedInstanceObjects objects;
        objects.answer = row.owner;
        objects.privateRuns = row.privateRuns;
        objects.realPrivateName = row.realPrivateName;
        TestLog().Clear();
        HANDLE handle = nullptr;
        EXPECT_EQ(CQELCBSingleInstance::CreateInstance(handle, objects), row.runs);
        EXPECT_EQ(handle != nullptr, row.runs);
        if (handle) ::CloseHandle(handle);
        EXPECT_TRUE(row.line.empty() || TestLog().Has(row.line)) << testing::PrintToString(TestLog().Texts());
        EXPECT_EQ(TestLog().Has(another), !row.runs && !row.realPrivateName);
        if (row.realPrivateName) {
            EXPECT_EQ(TestLog().Texts().back().rfind(L"Failed to Create/Open the private QELCommonBuild mutex.", 0), 0u);
        }
    }
}

}  // namespace
