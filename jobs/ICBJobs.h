// One runnable job. A job object is always owned through the shared pointer
// its factory made, which knows the concrete type; hence no virtual destructor.
#pragma once

#include "common/Platform.h"

class ICBJobs {
public:
    virtual DWORD ProcessJob() = 0;

    // What a job's pre-check returns when the run stops there.
    static constexpr DWORD kStopRun = 50;

protected:
    ~ICBJobs() = default;
};
