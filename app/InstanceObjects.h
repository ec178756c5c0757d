// What the single-instance guard asks of the system beyond creating its
// mutex: whose an existing mutex of its name is, and the same mutex under a
// name that nobody else can create. Any user may create
// "Global\ADB8284BBD38451A8791A40DED795CF6" before the program does and keep
// every run from starting; such a squatter's mutex is told from another copy
// of the program by its owner, and the run then takes the program's private
// instance name: the same name in a private namespace whose boundary holds
// the LocalSystem SID, which only a process of LocalSystem can create or open.
// A seam: tests answer for what the test machine cannot show.
#pragma once

#include "common/ObjectOwner.h"
#include "common/Platform.h"
#include "common/UniqueHandle.h"

class CInstanceObjects : public CObjectOwners {
public:
    CInstanceObjects() = default;
    ~CInstanceObjects() override;

    CInstanceObjects(const CInstanceObjects&) = delete;
    CInstanceObjects& operator=(const CInstanceObjects&) = delete;

    // The private instance mutex, created initially owned (the private
    // namespace is then held until this object goes). 0 and the mutex, with
    // `existed` true when another process made it first; else the error.
    virtual DWORD CreatePrivateMutex(HANDLE& mutex, bool& existed);
    // Whether a copy of the program runs under the private instance name
    // (false when that cannot be asked).
    virtual bool PrivateInstanceRuns();

    static constexpr wchar_t kNamespace[] = L"QELCommonBuild";

private:
    ScopedPrivateNamespace m_namespace;
};
