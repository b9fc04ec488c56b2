#include <gtest/gtest.h>

#include "update/update_exec.h"

TEST(ShellQuote, OrdinaryValuesStayUnchanged)
{
    char sz[64];
    ASSERT_EQ(ShellQuote("10.0.0.1:/a/b_c-d.bin", sz), 0);
    EXPECT_STREQ(sz, "10.0.0.1:/a/b_c-d.bin");
}
