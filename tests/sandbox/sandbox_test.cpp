// The host sandbox itself, shown with /bin/sh and small tools.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "support/sandbox_run.h"

namespace {
namespace fs = std::filesystem;

std::string Dir()
{
    return MakeSandboxDir(std::string("sandbox_test.") + testing::UnitTest::GetInstance()->current_test_info()->name());
}

SandboxResult Sh(const std::string &dir, const std::string &script, const std::string &stdinText = "")
{
    return RunInSandbox(dir, {"/bin/sh", "-c", script}, stdinText);
}

// Field 22 of /proc/1/stat, the start time of the host's pid 1: it changes
// only if that process was replaced.
std::string HostInitStart()
{
    std::string stat = ReadFile("/proc/1/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
    }
    return field;
}

TEST(Sandbox, BoardFoldersLandInDirAndNeverOnTheHost)
{
    std::string dir = Dir();
    std::string name = "sandbox-probe-" + std::to_string(getpid());
    SandboxResult r = Sh(dir, "for d in tmp var program; do echo $d > /$d/" + name + "; done; cat /tmp/" + name);
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "tmp\n");
    for (const char *d : {"tmp", "var", "program"}) {
        EXPECT_EQ(ReadFile(dir + "/" + d + "/" + name), d + std::string("\n"));
        EXPECT_FALSE(fs::exists("/" + std::string(d) + "/" + name)) << d;
    }
    EXPECT_EQ(ReadFile("/proc/self/mountinfo").find(" " + dir), std::string::npos) << "a sandbox mount leaked";
}

TEST(Sandbox, TermToPidOneIsRecordedAndTheCommandGoesOn)
{
    std::string dir = Dir();
    std::string before = HostInitStart();
    SandboxResult r = Sh(dir, "kill -TERM 1 && sleep 0.2 && echo alive && exit 5");
    EXPECT_EQ(r.lStatus, 5) << r.strErr;
    EXPECT_EQ(r.strOut, "alive\n");
    EXPECT_EQ(ReadFile(dir + "/journal/init"), "reboot\n");
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(HostInitStart(), before);
}

TEST(Sandbox, StatusAndStreamsPassThrough)
{
    std::string dir = Dir();
    SandboxResult r = Sh(dir, "read a; read b; echo \"$b $a\"; echo err >&2", "one\ntwo\n");
    EXPECT_EQ(r.lStatus, 0);
    EXPECT_EQ(r.strOut, "two one\n");
    EXPECT_EQ(r.strErr, "err\n");
    EXPECT_EQ(Sh(dir, "exit 255").lStatus, 255);
    EXPECT_EQ(Sh(dir, "kill -KILL $$").lStatus, 128 + 9);
    EXPECT_EQ(RunInSandbox(dir, {"no-such-tool-anywhere"}).lStatus, 127);
    // Children left behind do not hold the sandbox up.
    EXPECT_EQ(Sh(dir, "sleep 1000 & (sleep 1000 &) ; exit 4").lStatus, 4);
}

TEST(Sandbox, StandInsRecordTheirArgumentsAndKeepFiles)
{
    std::string dir = Dir();
    const std::string image("\x00\x01\xff payload", 11);
    WriteFile(dir + "/tmp/image.bin", image);
    const char *tools[] = {"mt", "killall", "reboot", "/usr/sbin/nandwrite", "/usr/sbin/ubiupdatevol",
                           "/usr/sbin/nandwrite_mboot", "mmcwrite", "mkfs.ext4", "mount", "umount"};
    std::string script;
    for (const char *tool : tools) {
        script += std::string(tool) + " 'a b' '' c && ";
    }
    SandboxResult r = Sh(dir, script + "flash_tool /tmp/image.bin /dev/null /tmp/image.bin && "
                                       "loadtools -x /tmp/image.bin && echo done");
    EXPECT_EQ(r.strOut, "done\n") << r.strErr;
    const std::string j = dir + "/journal/";
    for (const char *tool : tools) {
        EXPECT_EQ(ReadFile(j + fs::path(tool).filename().string()), "a b  c\n") << tool;
    }
    EXPECT_EQ(ReadFile(j + "flash_tool"), "/tmp/image.bin /dev/null /tmp/image.bin\n");
    EXPECT_EQ(ReadFile(j + "loadtools"), "-x /tmp/image.bin\n");
    // Only regular files are kept, each under its own number.
    EXPECT_EQ(ReadFile(j + "flash_tool.files/1-image.bin"), image);
    EXPECT_EQ(ReadFile(j + "flash_tool.files/2-image.bin"), image);
    EXPECT_FALSE(fs::exists(j + "flash_tool.files/3-null"));
    EXPECT_EQ(ReadFile(j + "loadtools.files/1-image.bin"), image);
}

TEST(Sandbox, ToolsInDirBinShadowAbsolutePathsAndStandIns)
{
    std::string dir = Dir();
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
    std::string dir = Dir();
    WriteFile(dir + "/proc/board_type", "NVR-X16\n");
    WriteFile(dir + "/proc/mounts", "ubi1_0 /var/runtime ubifs rw 0 0\n");
    WriteFile(dir + "/proc/rmc/test", "");
    SandboxResult r = Sh(dir, "cat /proc/board_type /proc/mounts && printf r > /proc/rmc/test && "
                              "readlink /proc/self/exe && test -d /proc/1 && test -r /proc/meminfo && "
                              "echo ok; echo 1 > /proc/sys/vm/drop_caches || echo no-sys; touch /proc/new || echo no-new");
    EXPECT_EQ(r.strOut, "NVR-X16\nubi1_0 /var/runtime ubifs rw 0 0\n/usr/bin/readlink\nok\nno-sys\nno-new\n")
        << r.strErr;
    EXPECT_EQ(ReadFile(dir + "/proc/rmc/test"), "r");
    // Without the test's file the reset interface cannot be written.
    fs::remove(dir + "/proc/rmc/test");
    EXPECT_EQ(Sh(dir, "echo r > /proc/rmc/test || echo no-reset").strOut, "no-reset\n");
}

TEST(Sandbox, NetHasItsOwnLoopbackWithTheServerPorts)
{
    SandboxResult r = RunInSandbox(Dir(), {"/bin/sh", "-c",
        "ls /sys/class/net; " UPDATE_SOURCE_DIR "/tests/sandbox/net_probe.pl"}, "", true);
    EXPECT_EQ(r.lStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "lo\nok tcp/21\nok tcp/80\nok udp/69\nok 127.0.0.2\n") << r.strErr;
}

TEST(Sandbox, PtyRunnerTypesAfterThePromptInRawMode)
{
    std::string dir = Dir();
    // The prompt comes before the switch to raw mode; the typed bytes must
    // arrive afterwards, unaltered and complete.
    SandboxResult r = RunInSandboxPty(dir, {"/bin/sh", "-c",
        "test -t 0 && test -t 1 && printf 'Sure? (y/n) ' && sleep 0.2 && stty raw -echo && "
        "dd bs=1 count=7 2>/dev/null | od -An -tx1 | tr -s ' \\n' ' ' >&2; stty sane; exit 6"},
        "yes \x1b[A", "(y/n) ");
    EXPECT_EQ(r.lStatus, 6);
    EXPECT_EQ(r.strErr, " 79 65 73 20 1b 5b 41 ");
    EXPECT_EQ(r.strOut, "Sure? (y/n) ");
    // A program reading a plain line gets it after the grace time.
    r = RunInSandboxPty(dir, {"/bin/sh", "-c", "printf 'name: '; read n; echo \"[$n]\""}, "bob\n");
    EXPECT_EQ(r.lStatus, 0);
    EXPECT_EQ(r.strOut, "name: bob\r\n[bob]\r\n");
}
} // namespace
