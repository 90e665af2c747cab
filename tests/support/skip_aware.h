// SPDX-License-Identifier: GPL-3.0-or-later
// The exit code of a test program CTest runs whole.
#pragma once

#include <gtest/gtest.h>

namespace quavira::testing {

// RUN_ALL_TESTS()'s `result`, or 77 when every test skipped (nothing to
// play into, say), which CTest's SKIP_RETURN_CODE reports as skipped. A
// failure stays a failure whatever else skipped.
inline int skipAwareExitCode(int result)
{
    const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
    if (result == 0 && run.successful_test_count() == 0 && run.skipped_test_count() > 0)
        return 77;
    return result;
}

}  // namespace quavira::testing
