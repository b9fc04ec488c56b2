// System tests of the host sandbox itself: everything the updater's system
// tests rely on, shown with /bin/sh and small tools instead of the updater.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/sandbox_run.h"

namespace {

namespace fs = std::filesystem;

std::string TestName()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string("sandbox_test.") + info->name();
}

SandboxResult Sh(const std::string &dir, const std::string &script, const std::string &stdinText = "")
{
    return RunInSandbox(dir, {"/bin/sh", "-c", script}, stdinText);
}

std::string UniqueName(const char *what)
{
    return std::string("sandbox-probe-") + what + "-" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Field 22 of /proc/1/stat: when the host's init started. It changes only
// if the host's pid 1 was replaced (a reboot or a re-exec).
std::string HostInitStart()
{
    std::string stat = ReadFile("/proc/1/stat");
    size_t pos = stat.rfind(')');
    std::istringstream rest(stat.substr(pos + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
    }
    return field;
}

bool HostHasMountUnder(const std::string &dir)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" " + dir) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(Sandbox, BoardFoldersLandInDirAndNeverOnTheHost)
{
    std::string dir = MakeSandboxDir(TestName());
    std::string name = UniqueName("tmp");
    SandboxResult r = Sh(dir, "echo t > /tmp/" + name + " && echo v > /var/" + name + " && echo p > /program/" + name +
                                  " && echo l >> /var/log/update.log && cat /tmp/" + name);
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "t\n");
    EXPECT_EQ(ReadFile(dir + "/tmp/" + name), "t\n");
    EXPECT_EQ(ReadFile(dir + "/var/" + name), "v\n");
    EXPECT_EQ(ReadFile(dir + "/program/" + name), "p\n");
    EXPECT_EQ(ReadFile(dir + "/var/log/update.log"), "l\n");
    EXPECT_FALSE(fs::exists("/tmp/" + name));
    EXPECT_FALSE(fs::exists("/var/" + name));
    EXPECT_FALSE(fs::exists("/program/" + name));
    EXPECT_FALSE(HostHasMountUnder(dir)) << "a sandbox mount leaked to the host";
}

TEST(Sandbox, TermToPidOneIsRecordedAndTheCommandGoesOn)
{
    std::string dir = MakeSandboxDir(TestName());
    std::string before = HostInitStart();
    SandboxResult r = Sh(dir, "kill -TERM 1 && sleep 0.2 && echo alive && exit 5");
    EXPECT_EQ(r.lStatus, 5) << r.strErr;
    EXPECT_EQ(r.strOut, "alive\n");
    EXPECT_EQ(ReadFile(dir + "/journal/init"), "reboot\n");
    EXPECT_EQ(HostInitStart(), before);
    EXPECT_FALSE(before.empty());
}

TEST(Sandbox, StatusAndStreamsPassThrough)
{
    std::string dir = MakeSandboxDir(TestName());
    SandboxResult r = Sh(dir, "read a; read b; echo \"$b $a\"; echo err >&2; exit 0", "one\ntwo\n");
    EXPECT_EQ(r.lStatus, 0);
    EXPECT_EQ(r.strOut, "two one\n");
    EXPECT_EQ(r.strErr, "err\n");

    EXPECT_EQ(Sh(dir, "exit 3").lStatus, 3);
    EXPECT_EQ(Sh(dir, "exit 255").lStatus, 255);
    EXPECT_EQ(Sh(dir, "kill -KILL $$").lStatus, 128 + 9);
    EXPECT_EQ(RunInSandbox(dir, {"no-such-tool-anywhere"}).lStatus, 127);

    // Children left behind are killed; the sandbox returns with the status.
    r = Sh(dir, "sleep 1000 & (sleep 1000 &) ; exit 4");
    EXPECT_EQ(r.lStatus, 4);
    EXPECT_FALSE(HostHasMountUnder(dir));
}

TEST(Sandbox, EnvironmentAndVisibleTrees)
{
    std::string dir = MakeSandboxDir(TestName());
    setenv("UPDATE_PROBE_VALUE", "a b", 1);
    setenv("SECRET_PROBE_VALUE", "leak", 1);
    SandboxResult r = Sh(dir, "echo \"$HOME|$PATH|$SANDBOX_DIR|$UPDATE_PROBE_VALUE|${SECRET_PROBE_VALUE:-none}\"; "
                              "test -d " UPDATE_SOURCE_DIR "/tests/sandbox && echo src; test -d " UPDATE_BINARY_DIR
                              " && echo build; pwd");
    unsetenv("UPDATE_PROBE_VALUE");
    unsetenv("SECRET_PROBE_VALUE");
    EXPECT_EQ(r.strOut, "/tmp|" + dir + "/bin:" UPDATE_SOURCE_DIR "/tests/sandbox/stubs:/usr/local/sbin:/usr/local/bin:"
                        "/usr/sbin:/usr/bin:/sbin:/bin|" + dir + "|a b|none\nsrc\nbuild\n" +
                        fs::current_path().string() + "\n") << r.strErr;
}

TEST(Sandbox, StandInsRecordTheirArgumentsAndKeepFiles)
{
    std::string dir = MakeSandboxDir(TestName());
    WriteFile(dir + "/tmp/image.bin", std::string("\x00\x01\xff payload", 11));
    SandboxResult r = Sh(dir,
        "mt boardagent set smart stop && killall daemon core && reboot && "
        "/usr/sbin/nandwrite -p /dev/mtd3 -g 0 -l 11 -m /tmp/image.bin && nandwrite -o /dev/mtd4 -g 1 -l 2 -m x && "
        "/usr/sbin/ubiupdatevol /dev/ubi0_0 --skip 4 -s 7 /tmp/image.bin && /usr/sbin/nandwrite_mboot -g 0 -l 1 -m f && "
        "mmcwrite ext4 f 0 1 2 3 && mkfs.ext4 /dev/mmcblk0p9 && mount -t ext4 /dev/mmcblk0p9 /mnt && umount /mnt && "
        "flash_tool /tmp/image.bin /dev/null /tmp/image.bin && loadtools -x /tmp/image.bin && echo done");
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "done\n");
    const std::string j = dir + "/journal/";
    EXPECT_EQ(ReadFile(j + "mt"), "boardagent set smart stop\n");
    EXPECT_EQ(ReadFile(j + "killall"), "daemon core\n");
    EXPECT_EQ(ReadFile(j + "reboot"), "\n");
    EXPECT_EQ(ReadFile(j + "nandwrite"), "-p /dev/mtd3 -g 0 -l 11 -m /tmp/image.bin\n-o /dev/mtd4 -g 1 -l 2 -m x\n");
    EXPECT_EQ(ReadFile(j + "ubiupdatevol"), "/dev/ubi0_0 --skip 4 -s 7 /tmp/image.bin\n");
    EXPECT_EQ(ReadFile(j + "nandwrite_mboot"), "-g 0 -l 1 -m f\n");
    EXPECT_EQ(ReadFile(j + "mmcwrite"), "ext4 f 0 1 2 3\n");
    EXPECT_EQ(ReadFile(j + "mkfs.ext4"), "/dev/mmcblk0p9\n");
    EXPECT_EQ(ReadFile(j + "mount"), "-t ext4 /dev/mmcblk0p9 /mnt\n");
    EXPECT_EQ(ReadFile(j + "umount"), "/mnt\n");
    EXPECT_EQ(ReadFile(j + "flash_tool"), "/tmp/image.bin /dev/null /tmp/image.bin\n");
    EXPECT_EQ(ReadFile(j + "loadtools"), "-x /tmp/image.bin\n");
    // Only regular files are kept, each under its own number.
    EXPECT_EQ(ReadFile(j + "flash_tool.files/1-image.bin"), std::string("\x00\x01\xff payload", 11));
    EXPECT_EQ(ReadFile(j + "flash_tool.files/2-image.bin"), std::string("\x00\x01\xff payload", 11));
    EXPECT_FALSE(fs::exists(j + "flash_tool.files/3-null"));
    EXPECT_EQ(ReadFile(j + "loadtools.files/1-image.bin"), std::string("\x00\x01\xff payload", 11));

    // Arguments with blanks are joined as they come: one line per call.
    r = Sh(dir, "mt 'a b' '' c");
    EXPECT_EQ(ReadFile(j + "mt"), "boardagent set smart stop\na b  c\n");
}

TEST(Sandbox, ToolsInDirBinShadowAbsolutePathsAndStandIns)
{
    std::string dir = MakeSandboxDir(TestName());
    WriteFile(dir + "/bin/nandwrite", "#!/bin/sh\necho \"mine $*\" >> /tmp/calls\n" UPDATE_SOURCE_DIR
                                      "/tests/sandbox/stub-record nandwrite \"$@\"\nexit 7\n");
    WriteFile(dir + "/bin/pidof", "#!/bin/sh\necho 11 22\n");
    fs::permissions(dir + "/bin/nandwrite", fs::perms::owner_all);
    fs::permissions(dir + "/bin/pidof", fs::perms::owner_all);
    SandboxResult r = Sh(dir, "/usr/sbin/nandwrite -p a; echo $?; nandwrite b; echo $?; /usr/bin/pidof x; pidof y");
    EXPECT_EQ(r.strOut, "7\n7\n11 22\n11 22\n") << r.strErr;
    EXPECT_EQ(ReadFile(dir + "/tmp/calls"), "mine -p a\nmine b\n");
    EXPECT_EQ(ReadFile(dir + "/journal/nandwrite"), "-p a\nb\n");
}

TEST(Sandbox, ProcShowsTheTestsFilesOverTheRealOnes)
{
    std::string dir = MakeSandboxDir(TestName());
    WriteFile(dir + "/proc/board_type", "NVR-X16\n");
    WriteFile(dir + "/proc/cmdline", "console=ttyS0 ubi.mtd=5\n");
    WriteFile(dir + "/proc/rmc/test", "");
    SandboxResult r = Sh(dir,
        "cat /proc/board_type /proc/cmdline && printf r > /proc/rmc/test && cp /bin/readlink /tmp/rl && "
        "/tmp/rl /proc/self/exe && readlink /proc/self/exe && grep -c ' /proc/.real proc ' /proc/mounts && "
        "test -r /proc/self/maps && test -d /proc/1 && test -r /proc/meminfo && echo ok");
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "NVR-X16\nconsole=ttyS0 ubi.mtd=5\n/tmp/rl\n/usr/bin/readlink\n1\nok\n");
    EXPECT_EQ(ReadFile(dir + "/proc/rmc/test"), "r");

    // A mounts file of the test replaces the real one; a missing reset
    // interface cannot be written; the kernel's settings stay out of reach.
    fs::remove(dir + "/proc/rmc/test");
    WriteFile(dir + "/proc/mounts", "ubi1_0 /var/runtime ubifs rw 0 0\n");
    r = Sh(dir, "cat /proc/mounts; echo r > /proc/rmc/test || echo no-reset; echo 1 > /proc/sys/vm/drop_caches || "
                "echo no-sys; touch /proc/new || echo no-new");
    EXPECT_EQ(r.strOut, "ubi1_0 /var/runtime ubifs rw 0 0\nno-reset\nno-sys\nno-new\n");
    EXPECT_FALSE(fs::exists(dir + "/proc/rmc/test"));
}

TEST(Sandbox, PidofAndPsSeeTheSandboxsProcesses)
{
    std::string dir = MakeSandboxDir(TestName());
    SandboxResult r = Sh(dir, "cp /bin/sleep /tmp/napper; /tmp/napper 1000 & /tmp/napper 1000 & sleep 0.3; "
                              "pidof napper | wc -w; ps -e -o comm= | grep -c '^napper$'; pidof no-such-process; echo $?");
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "2\n2\n1\n");
}

TEST(Sandbox, NetHasItsOwnLoopbackWithTheServerPorts)
{
    std::string dir = MakeSandboxDir(TestName());
    SandboxResult r = RunInSandbox(dir, {"/bin/sh", "-c",
        "ls /sys/class/net; ip -o -4 addr show dev lo | grep -o '127.0.0.2/8'; " UPDATE_SOURCE_DIR
        "/tests/sandbox/net_probe.pl"}, "", true);
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "lo\n127.0.0.2/8\nok tcp/21\nok tcp/80\nok udp/69\nok 127.0.0.2\n") << r.strErr;
}

TEST(Sandbox, PtyRunnerTypesAfterThePromptInRawMode)
{
    std::string dir = MakeSandboxDir(TestName());
    // The prompt is shown before the terminal is switched, as a program does
    // it; the typed bytes must arrive afterwards, unaltered and complete.
    SandboxResult r = RunInSandboxPty(dir, {"/bin/sh", "-c",
        "test -t 0 && test -t 1 && printf 'Sure? (y/n) ' && sleep 0.2 && stty raw -echo && "
        "dd bs=1 count=7 2>/dev/null | od -An -tx1 | tr -s ' \\n' ' ' >&2; stty sane; exit 6"},
        "yes \x1b[A", "(y/n) ");
    EXPECT_EQ(r.lStatus, 6);
    EXPECT_EQ(r.strErr, " 79 65 73 20 1b 5b 41 ");
    EXPECT_EQ(r.strOut, "Sure? (y/n) ");

    // A program reading a plain line gets it as well, after the grace time.
    r = RunInSandboxPty(dir, {"/bin/sh", "-c", "printf 'name: '; read n; echo \"[$n]\""}, "bob\n");
    EXPECT_EQ(r.lStatus, 0);
    EXPECT_EQ(r.strOut, "name: bob\r\n[bob]\r\n");
}

} // namespace
