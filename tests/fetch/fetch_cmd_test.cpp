// Fetch command lines: formed only, never run, so no fixed path is touched.
#include <gtest/gtest.h>

#include "fetch/retrieve.h"
#include "include/update_types.h"

namespace {
TEST(BuildLoadCmd, DeviceCommandLinesStayExact)
{
    const std::string longRemote(480, 'r'), quoted(300, ';');
    const struct {
        uint16_t usType;
        const char *pszUser, *pszPassword, *pszRemote, *pszWant;  // "": no command; nullptr: refused
    } cases[] = {
        {TRANS_TYPE_TFTP, "admin", "qzvrk", "fw/v2/Program.bin", "tftp -g -r fw/v2/Program.bin -l /tmp/Program.bin h -b 8192"},
        {TRANS_TYPE_TFTP2, "", "", "Program.bin", "tftp -g -r Program.bin -l /tmp/Program.bin h -b 8192"},
        {TRANS_TYPE_FTP, "admin", "qzvrk", "Program.bin", "ftpget -u admin -p qzvrk h /tmp/Program.bin Program.bin"},
        // Outside text becomes single shell words.
        {TRANS_TYPE_FTP, "", "p;reboot 'x'", "a b", "ftpget -u '' -p 'p;reboot '\\''x'\\''' h /tmp/Program.bin 'a b'"},
        {TRANS_TYPE_LOCAL, "u", "u", "/a/Program.bin", ""},
        {TRANS_TYPE_WEB, "u", "u", "/a/Program.bin", ""},
        // A cut command line would fetch another file: it is refused whole.
        {TRANS_TYPE_TFTP, "", "", longRemote.c_str(), nullptr},
        {TRANS_TYPE_FTP, quoted.c_str(), quoted.c_str(), "P", nullptr},
    };
    for (const auto &c : cases) {
        char szCmd[CMD_BUF_LEN + 1] = "stale";
        EXPECT_EQ(BuildLoadCmd(c.usType, "h", c.pszUser, c.pszPassword, c.pszRemote, "", szCmd, sizeof(szCmd)),
                  c.pszWant == nullptr ? -1 : 0);
        const std::string want = c.pszWant == nullptr ? "" : c.pszWant;
        EXPECT_EQ(szCmd, want.empty() ? want : "mkdir -p /tmp;" + want + " 2>>/var/log/update.log");
    }
}
} // namespace
