// What the entry point (QELCommonBuild.cpp) offers besides wWinMain: the
// single-instance guard and the safe library search path.
#pragma once

#include "common/Platform.h"

class CInstanceObjects;

// The single-instance guard: a machine-wide mutex held for the whole run.
class CQELCBSingleInstance {
public:
    // True when this process now owns the mutex; `handle` then holds it,
    // otherwise it is null. When the name is held by a squatter (a mutex whose
    // owner is neither LocalSystem, Administrators nor this process's account,
    // or another kind of object), the run takes the private instance name
    // instead (CInstanceObjects, which then holds the private namespace).
    static bool CreateInstance(HANDLE& handle);
    static bool CreateInstance(HANDLE& handle, CInstanceObjects& objects);
    static constexpr const wchar_t* kMutexName = L"Global\\ADB8284BBD38451A8791A40DED795CF6";
};

// Restricts the default library search path to the system folder; false when
// the system cannot (KB2533623 missing).
bool InitializeSecureDllLoading();
