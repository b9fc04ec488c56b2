// Fetch command lines: formed only, never run, so no fixed path is touched.
#include <gtest/gtest.h>

#include "fetch/retrieve.h"
#include "include/update_types.h"

namespace {
TEST(BuildLoadCmd, DeviceCommandLinesStayExact)
{
    const struct {
        uint16_t usType;
        const char *pszUser, *pszPassword, *pszRemote, *pszWant;
    } cases[] = {
        {TRANS_TYPE_TFTP, "admin", "qzvrk", "fw/v2/Program.bin", "tftp -g -r fw/v2/Program.bin -l /tmp/Program.bin h -b 8192"},
        {TRANS_TYPE_TFTP2, "", "", "Program.bin", "tftp -g -r Program.bin -l /tmp/Program.bin h -b 8192"},
        {TRANS_TYPE_FTP, "admin", "qzvrk", "Program.bin", "ftpget -u admin -p qzvrk h /tmp/Program.bin Program.bin"},
        // Outside text becomes single shell words.
        {TRANS_TYPE_FTP, "", "p;reboot 'x'", "a b", "ftpget -u '' -p 'p;reboot '\\''x'\\''' h /tmp/Program.bin 'a b'"},
    };
    for (const auto &c : cases) {
        char szCmd[CMD_BUF_LEN + 1] = {};
        ASSERT_EQ(BuildLoadCmd(c.usType, "h", c.pszUser, c.pszPassword, c.pszRemote, "", szCmd, sizeof(szCmd)), 0);
        EXPECT_EQ(std::string(szCmd), std::string("mkdir -p /tmp;") + c.pszWant + " 2>>/var/log/update.log");
    }
}

TEST(BuildLoadCmd, OtherTypesAndOverlongLinesGiveNoCommand)
{
    const std::string longRemote(480, 'r'), quoted(300, ';');
    const struct {
        uint16_t usType;
        const char *pszUser, *pszRemote;
        int lWant;
    } cases[] = {{TRANS_TYPE_LOCAL, "u", "/a/Program.bin", 0},
                 {TRANS_TYPE_WEB, "u", "/a/Program.bin", 0},
                 // A cut command line would fetch another file: it is refused whole.
                 {TRANS_TYPE_TFTP, "", longRemote.c_str(), -1},
                 {TRANS_TYPE_FTP, quoted.c_str(), "P", -1}};
    for (const auto &c : cases) {
        char szCmd[CMD_BUF_LEN + 1] = "stale";
        EXPECT_EQ(BuildLoadCmd(c.usType, "h", c.pszUser, c.pszUser, c.pszRemote, "", szCmd, sizeof(szCmd)), c.lWant);
        EXPECT_STREQ(szCmd, "");
    }
}
} // namespace
