// The real updater binary in the host sandbox: help and fix requests, the
// log and the address checks; the instance count on the sandbox's fixed paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>

#include "support/sandbox_run.h"
#include "update/update_exec.h"

namespace {
const std::string HELP_TEXT =
    "Update v2.01\nupdate software of device.\n\nUsage: update PROTOCOL [remote ip/local path] FILE [OPTION]\n\n"
    "Usage: update PROTOCOL [remote ip/local path/url] FILE [OPTION]\n\nPROTOCOL:\n"
    "        -tftp           load remote file with tftp protocol\n        -ftp            load remote file with  ftp protocol\n"
    "        -local          load file from local path\n        -mycloud        load file from cloud\nFILE:\n"
    "        all             update uImage, program and webctrl of device\n        uImage          update uImage  of device\n"
    "        program         update program of device\n        config          update config of device\n"
    "        u-boot          update u-boot  of device\n        activex         update activex and logo of device\nOPTION:\n"
    "        -username ftp username to be used\n        -password ftp password to be used\n"
    "        -reboot   reboot  device after update\n        -wait     not reboot device after update\n"
    "        -force    force update and ignore version\n        -path     path of files in tftp or ftp server\n"
    "        -help     print help\n";
} // namespace

TEST(UpdateBinary, HelpFixAndHandOver)
{
    const std::string strDir = TestDir();
    // The version reports ("-v", "-i") are the version report test's.
    const std::tuple<std::vector<std::string>, int, std::string> astCases[] = {  // words, status, output
        {{}, 255, HELP_TEXT},
        {{"-h"}, 0, HELP_TEXT},
        {{"-loop"}, 0, HELP_TEXT},
        {{"update", "-h"}, 0, HELP_TEXT},  // "update update X" is "update X"
        {{"-fix", "1"}, 0, ""},
        // Too few words or unknown ones take the hand-over path: an empty address prints the help.
        {{"-tftp", "10.0.0.1"}, 255, HELP_TEXT},
        {{"-fix", "1", "x"}, 255, HELP_TEXT},
        {{"-tftp", "10.0.0.256.1", "all", "newoption"}, 255, "ip address  error(i)\ninvalid remote address: 10.0.0.256.1\n"},
    };
    for (const auto &[words, lStatus, strOut] : astCases) {
        std::vector<std::string> argv = words;
        argv.insert(argv.begin(), UPDATE_BIN);
        SandboxResult st = RunInSandbox(strDir, argv);
        const std::string strWhat = words.empty() ? "(none)" : words[0];
        EXPECT_EQ(st.lStatus, lStatus) << strWhat;
        EXPECT_EQ(st.strOut + st.strErr, strOut) << strWhat;
    }
    // Nothing of the runs reached the board's files.
    EXPECT_NE(access((strDir + "/var/log/update.log").c_str(), F_OK), 0);
    EXPECT_EQ(ReadFile(strDir + "/journal/init") + ReadFile(strDir + "/journal/mt") + ReadFile(strDir + "/journal/killall"), "");
}

TEST(UpdateBinary, UpdateRequestOpensTheLogAndChecksTheAddress)
{
    const std::string strDir = TestDir();
    SandboxResult st = RunInSandbox(strDir, {UPDATE_BIN, "-ftp", "10..0.1", "program", "-u", "op", "-p", "se;cret", "-f"});
    EXPECT_EQ(st.lStatus, 255);
    // The password never reaches the screen or the log.
    const std::string strStart = std::string("Start update process: ") + UPDATE_BIN + " -ftp 10..0.1 program -u op -p ****** -f \n";
    EXPECT_EQ(st.strOut, strStart + "ip address  error(j)\ninvalid remote address: 10..0.1\n");
    // Each log line without its time and source position.
    EXPECT_EQ(std::regex_replace(ReadFile(strDir + "/var/log/update.log"), std::regex(".*\\[\\w+\\.cpp \\d+\\]"), ""),
              strStart + "TransType:1, UpdateType:66, ForceFlag:1, remote:10..0.1, user:op, password:******\n"
                         "ip address  error(j)\ninvalid remote address: 10..0.1\n");
    EXPECT_EQ(ReadFile(strDir + "/journal/init"), "");  // a refused address never reboots
}

// The instance count reads the fixed /tmp/psResult: the test program runs
// itself again inside a sandbox prepared by the outer run. (Two instances
// counted and refused: the fault test's second instance.)
TEST(InSandbox, CountPid)
{
    if (getenv("UPDATE_TEST_INSIDE") == nullptr) {
        const std::string strDir = TestDir();
        WriteFile(strDir + "/bin/pidof", "#!/bin/sh\ncase \"$1\" in one) echo 7;; *) exit 1;; esac\n");
        chmod((strDir + "/bin/pidof").c_str(), 0755);
        char szSelf[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", szSelf, sizeof(szSelf) - 1), 0);
        setenv("UPDATE_TEST_INSIDE", "1", 1);
        SandboxResult st = RunInSandbox(strDir, {szSelf, "--gtest_filter=InSandbox.CountPid"});
        unsetenv("UPDATE_TEST_INSIDE");
        EXPECT_EQ(st.lStatus, 0) << st.strOut << st.strErr;
        return;
    }
    EXPECT_EQ(FUNC_CountPid("one"), 1);
    EXPECT_NE(access("/tmp/psResult", F_OK), 0);  // removed after a count
    EXPECT_EQ(FUNC_CountPid("none"), -1);
    EXPECT_EQ(access("/tmp/psResult", F_OK), 0);  // left behind when nothing was listed
    // A hostile name is one literal word for pidof, and a huge one is refused.
    EXPECT_EQ(FUNC_CountPid("x; touch /tmp/pwned"), -1);
    EXPECT_NE(access("/tmp/pwned", F_OK), 0);
    EXPECT_EQ(FUNC_CountPid(std::string(300, 'n').c_str()), -1);
}
