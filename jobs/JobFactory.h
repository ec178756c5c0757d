// Turns the scheduler's command line ("/context=N") into the one job to run.
// Defined beside the entry point (app/QELCommonBuild.cpp), whose log lines
// carry that file's name.
#pragma once

#include "jobs/ICBJobs.h"

#include <memory>
#include <string>

class CJobFactory {
public:
    // Empty when no job matches; both reasons are logged.
    static std::shared_ptr<ICBJobs> GetJobObject(std::wstring commandLine);
};
