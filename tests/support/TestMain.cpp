#include "common/Platform.h"

#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    CaptureLogLines();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
