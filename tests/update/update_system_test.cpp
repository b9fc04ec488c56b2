// The real updater binary in the host sandbox: help, information and fix
// requests, the log and the address checks; the instance count and the file
// system probes on the sandbox's fixed paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "include/flash_layout.h"
#include "support/sandbox_run.h"
#include "update/update_exec.h"

namespace {
const std::string HELP_TEXT =
    "Update v2.01\n"
    "update software of device.\n\n"
    "Usage: update PROTOCOL [remote ip/local path] FILE [OPTION]\n\n"
    "Usage: update PROTOCOL [remote ip/local path/url] FILE [OPTION]\n\n"
    "PROTOCOL:\n"
    "        -tftp           load remote file with tftp protocol\n"
    "        -ftp            load remote file with  ftp protocol\n"
    "        -local          load file from local path\n"
    "        -mycloud        load file from cloud\n"
    "FILE:\n"
    "        all             update uImage, program and webctrl of device\n"
    "        uImage          update uImage  of device\n"
    "        program         update program of device\n"
    "        config          update config of device\n"
    "        u-boot          update u-boot  of device\n"
    "        activex         update activex and logo of device\n"
    "OPTION:\n"
    "        -username ftp username to be used\n"
    "        -password ftp password to be used\n"
    "        -reboot   reboot  device after update\n"
    "        -wait     not reboot device after update\n"
    "        -force    force update and ignore version\n"
    "        -path     path of files in tftp or ftp server\n"
    "        -help     print help\n";
} // namespace

TEST(UpdateBinary, HelpInformationFixAndHandOver)
{
    const std::string strDir = MakeSandboxDir("update_help");
    const struct {
        std::vector<std::string> words;
        int lStatus;
        std::string strOutStart;
    } astCases[] = {
        {{}, 255, HELP_TEXT},
        {{"-h"}, 0, HELP_TEXT},
        {{"-loop"}, 0, HELP_TEXT},
        {{"update", "-h"}, 0, HELP_TEXT},  // "update update X" is "update X"
        // No version file in this sandbox: the reader says so before the report.
        {{"-v"}, 0, "open version file error\nCurrent version: "},
        {{"-i"}, 0, "open version file error\nInerversion: "},
        {{"-fix", "1"}, 0, ""},
        // Too few words or unknown ones take the hand-over path: an empty address prints the help.
        {{"-tftp", "10.0.0.1"}, 255, HELP_TEXT},
        {{"-fix", "1", "x"}, 255, HELP_TEXT},
        {{"-tftp", "10.0.0.256.1", "all", "newoption"}, 255, "ip address  error(i)\ninvalid remote address: 10.0.0.256.1\n"},
    };
    for (const auto &stCase : astCases) {
        std::vector<std::string> argv = stCase.words;
        argv.insert(argv.begin(), UPDATE_BIN);
        SandboxResult st = RunInSandbox(strDir, argv);
        const std::string strWhat = stCase.words.empty() ? "(none)" : stCase.words[0];
        EXPECT_EQ(st.lStatus, stCase.lStatus) << strWhat;
        EXPECT_EQ(st.strOut.rfind(stCase.strOutStart, 0), 0u) << strWhat << ": " << st.strOut;
        if (stCase.strOutStart == HELP_TEXT || stCase.strOutStart.empty()) {
            EXPECT_EQ(st.strOut, stCase.strOutStart) << strWhat;
            EXPECT_EQ(st.strErr, "") << strWhat;
        }
    }
    // Nothing of the runs reached the board's files.
    EXPECT_NE(access((strDir + "/var/log/update.log").c_str(), F_OK), 0);
    for (const char *pszJournal : {"init", "mt", "killall"}) {
        EXPECT_EQ(ReadFile(strDir + "/journal/" + pszJournal), "") << pszJournal;
    }
}

TEST(UpdateBinary, UpdateRequestOpensTheLogAndChecksTheAddress)
{
    const std::string strDir = MakeSandboxDir("update_request");
    // "-v all" is an update request, not a version report; without an address it ends with the help.
    SandboxResult st = RunInSandbox(strDir, {UPDATE_BIN, "-v", "all"});
    EXPECT_EQ(st.lStatus, 255);
    EXPECT_EQ(st.strOut, std::string("Start update process: ") + UPDATE_BIN + " -v all \n" + HELP_TEXT);
    std::string strLog = ReadFile(strDir + "/var/log/update.log");
    EXPECT_NE(strLog.find("]Start update process: " + std::string(UPDATE_BIN) + " -v all \n"), std::string::npos);
    EXPECT_NE(strLog.find("]TransType:0, UpdateType:163, ForceFlag:0, remote:, user:admin, password:******\n"),
              std::string::npos)
        << strLog;

    st = RunInSandbox(strDir, {UPDATE_BIN, "-ftp", "10..0.1", "program", "-u", "op", "-p", "se;cret", "-f"});
    EXPECT_EQ(st.lStatus, 255);
    EXPECT_NE(st.strOut.find("ip address  error(j)\ninvalid remote address: 10..0.1\n"), std::string::npos);
    strLog = ReadFile(strDir + "/var/log/update.log");
    // The log is appended to, and the password never reaches it.
    EXPECT_NE(strLog.find("]TransType:1, UpdateType:66, ForceFlag:1, remote:10..0.1, user:op, password:******\n"),
              std::string::npos)
        << strLog;
    EXPECT_NE(strLog.find(" -p ****** -f \n"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find("se;cret"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("]ip address  error(j)\n"), std::string::npos);
    EXPECT_NE(strLog.find("]invalid remote address: 10..0.1\n"), std::string::npos);
    EXPECT_EQ(ReadFile(strDir + "/journal/init"), "");  // a refused address never reboots
}

// Cases that read fixed paths (/tmp/psResult, /proc/cmdline, /proc/mounts) run
// this test program again inside a sandbox prepared by the outer run.
namespace {
const char *Inside() { return getenv("UPDATE_TEST_INSIDE"); }

void RunSelfInside(const std::string &strDir, const char *pszCase = "1")
{
    const testing::TestInfo *pstInfo = testing::UnitTest::GetInstance()->current_test_info();
    char szSelf[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", szSelf, sizeof(szSelf) - 1), 0);
    setenv("UPDATE_TEST_INSIDE", pszCase, 1);
    SandboxResult st = RunInSandbox(
        strDir, {szSelf, std::string("--gtest_filter=") + pstInfo->test_suite_name() + "." + pstInfo->name()});
    unsetenv("UPDATE_TEST_INSIDE");
    EXPECT_EQ(st.lStatus, 0) << st.strOut << st.strErr;
}
} // namespace

TEST(InSandbox, CountPid)
{
    if (Inside() == nullptr) {
        const std::string strDir = MakeSandboxDir("countpid");
        WriteFile(strDir + "/bin/pidof", "#!/bin/sh\ncase \"$1\" in two) echo 11 22;; one) echo 7;; *) exit 1;; esac\n");
        chmod((strDir + "/bin/pidof").c_str(), 0755);
        RunSelfInside(strDir);
        return;
    }
    EXPECT_EQ(FUNC_CountPid("two"), 2);
    EXPECT_EQ(FUNC_CountPid("one"), 1);
    EXPECT_NE(access("/tmp/psResult", F_OK), 0);  // removed after a count
    EXPECT_EQ(FUNC_CountPid("none"), -1);
    EXPECT_EQ(access("/tmp/psResult", F_OK), 0);  // left behind when nothing was listed
    // A hostile name is one literal word for pidof, and a huge one is refused.
    EXPECT_EQ(FUNC_CountPid("x; touch /tmp/pwned"), -1);
    EXPECT_NE(access("/tmp/pwned", F_OK), 0);
    EXPECT_EQ(FUNC_CountPid(std::string(300, 'n').c_str()), -1);
}

TEST(InSandbox, FileSystemProbes)
{
    if (Inside() == nullptr) {
        const std::string strDir = MakeSandboxDir("probes");
        // squashfs only: past the first 255 characters a word no longer counts.
        WriteFile(strDir + "/proc/cmdline", "root=/dev/mtdblock5 rootfstype=squashfs " + std::string(220, 'x') + " ext4\n");
        WriteFile(strDir + "/proc/mounts", "rootfs / rootfs rw 0 0\nubi1_0 /var/runtime ubifs rw 0 0\n");
        RunSelfInside(strDir, "squashfs");
        // None of the words; the runtime line straddles a 49-character chunk.
        WriteFile(strDir + "/proc/cmdline", "console=ttyS0 root=/dev/mtdblock5\n");
        WriteFile(strDir + "/proc/mounts", std::string(40, 'a') + " ubi1_0 /var/runtime ubifs rw 0 0\n");
        RunSelfInside(strDir, "none");
        return;
    }
    const bool bSquash = std::string(Inside()) == "squashfs";
    EXPECT_EQ(IsRootfsSquashfs(), bSquash ? 0 : -1);
    EXPECT_EQ(IsRuntimeOnUbi(), bSquash ? 0 : -1);
    EXPECT_EQ(IsRootfsExt4(), -1);
    EXPECT_EQ(IsRootfsYaffs2(), -1);
    EXPECT_EQ(IsRootfsJffs2(), -1);
}
