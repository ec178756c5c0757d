// The machine the reliability tests run the real programs on: the demo's
// default installation, with a store that counts 4 auto-download attempts
// and a first run long past (a run of context 4 counts the fifth).
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "tests/support/Installation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Texts = std::vector<std::wstring>;

namespace reliability {

const std::wstring kTaskKey = L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\AutoDownload";

// A store text: our sections with the count of 4 (and `status`, members
// following it), then `members` of another program.
inline std::wstring Doc(const std::wstring& members = L"", const std::wstring& status = L"")
{
    return L"{\"oobe\":{\"completedtime\":\"1000\"},\"Entitlement\":{\"autodownloadcount\":\"4\"" + status + L"}" +
           (members.empty() ? L"" : L"," + members) + L"}";
}

// Whether any line holds this text.
inline bool Has(const Texts& lines, const std::wstring& text)
{
    for (const auto& line : lines) {
        if (line.find(text) != std::wstring::npos) return true;
    }
    return false;
}

}  // namespace reliability

class ReliabilityTest : public InstalledMachineTest {
protected:
    // The installation, with the store of Doc().
    void Provision(sandbox::Options options) override
    {
        InstalledMachineTest::Provision(options);
        datastorekit::WriteStoreText(reliability::Doc());
    }

    // One run of the job runner, which must end with 0; the texts it logged.
    Texts Job(const std::wstring& arguments = L"/context=4")
    {
        testmachine::RemoveTree(testmachine::LogFolder() + L"\\QELCommonBuild000.log");
        testbed::ClearTelemetryJournal();
        const auto run = testmachine::RunProgram(program, arguments);
        EXPECT_TRUE(run.finished && run.exitCode == 0) << run.exitCode;
        return LogTexts(ReadProgramLog());
    }

    static testmachine::ToolRun Tool(const wchar_t* exe, const std::wstring& arguments)
    {
        return testmachine::RunTool(testmachine::BinDir() + L"\\" + exe, arguments);
    }

    // The states of the telemetry events of the last run, joined by ",".
    static std::wstring Events()
    {
        std::wstring states;
        const std::wstring marker = L"\"EventState\":\"";
        for (const auto& request : testbed::TelemetryRequests()) {
            const size_t at = request.find(marker);
            if (at == std::wstring::npos) continue;
            const size_t begin = at + marker.size();
            states += (states.empty() ? L"" : L",") + request.substr(begin, request.find(L'"', begin) - begin);
        }
        return states;
    }

};
