// Fetch command lines: formed only, never run, so no fixed path is touched.
#include <gtest/gtest.h>

#include "fetch/retrieve.h"
#include "include/update_types.h"

namespace {
TEST(BuildLoadCmd, DeviceCommandLinesStayExact)
{
    char szCmd[CMD_BUF_LEN + 1] = {};
    ASSERT_EQ(BuildLoadCmd(TRANS_TYPE_TFTP, "192.168.1.10", "admin", "qzvrk", "Program.bin", "", szCmd, sizeof(szCmd)),
              0);
    EXPECT_STREQ(szCmd, "mkdir -p /tmp;tftp -g -r Program.bin -l /tmp/Program.bin 192.168.1.10 -b 8192 "
                        "2>>/var/log/update.log");
    ASSERT_EQ(BuildLoadCmd(TRANS_TYPE_TFTP2, "10.0.0.2", "", "", "fw/v2/Program.bin", "", szCmd, sizeof(szCmd)), 0);
    EXPECT_STREQ(szCmd, "mkdir -p /tmp;tftp -g -r fw/v2/Program.bin -l /tmp/Program.bin 10.0.0.2 -b 8192 "
                        "2>>/var/log/update.log");
    ASSERT_EQ(BuildLoadCmd(TRANS_TYPE_FTP, "10.0.0.2", "admin", "qzvrk", "Program.bin", "", szCmd, sizeof(szCmd)), 0);
    EXPECT_STREQ(szCmd, "mkdir -p /tmp;ftpget -u admin -p qzvrk 10.0.0.2 /tmp/Program.bin Program.bin "
                        "2>>/var/log/update.log");
}

TEST(BuildLoadCmd, OutsideTextBecomesSingleWords)
{
    char szCmd[CMD_BUF_LEN + 1] = {};
    ASSERT_EQ(BuildLoadCmd(TRANS_TYPE_FTP, "h", "", "p;reboot 'x'", "a b", "", szCmd, sizeof(szCmd)), 0);
    EXPECT_STREQ(szCmd, "mkdir -p /tmp;ftpget -u '' -p 'p;reboot '\\''x'\\''' h /tmp/Program.bin 'a b' "
                        "2>>/var/log/update.log");
}

TEST(BuildLoadCmd, OtherTypesAndOverlongLines)
{
    char szCmd[CMD_BUF_LEN + 1] = "stale";
    EXPECT_EQ(BuildLoadCmd(TRANS_TYPE_LOCAL, "h", "u", "p", "/a/Program.bin", "", szCmd, sizeof(szCmd)), 0);
    EXPECT_STREQ(szCmd, "");
    EXPECT_EQ(BuildLoadCmd(TRANS_TYPE_WEB, "h", "u", "p", "/a/Program.bin", "", szCmd, sizeof(szCmd)), 0);
    EXPECT_STREQ(szCmd, "");

    // A cut command line would fetch another file: it is refused whole.
    std::string remote(480, 'r');
    EXPECT_EQ(BuildLoadCmd(TRANS_TYPE_TFTP, "h", "", "", remote.c_str(), "", szCmd, sizeof(szCmd)), -1);
    EXPECT_STREQ(szCmd, "");
    std::string quoted(300, ';');
    EXPECT_EQ(BuildLoadCmd(TRANS_TYPE_FTP, "h", quoted.c_str(), quoted.c_str(), "P", "", szCmd, sizeof(szCmd)), -1);
    EXPECT_STREQ(szCmd, "");
}
} // namespace
