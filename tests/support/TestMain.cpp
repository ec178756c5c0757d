#include "common/Platform.h"

#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

namespace {

class CaptureBuilder : public ETWLogging::CLogBuilderIf {
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override
    {
        *logger = &TestLog();
        return true;
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    static CaptureBuilder builder;
    ETWLogging::UseLogBuilder(&builder);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
