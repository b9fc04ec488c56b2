// The partition writer, the slave board, the environment decision and the
// MTD housekeeping in the host sandbox: the command lines that reach the
// device's tools, the messages, the results and what is left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sandbox_run.h"

namespace {
const std::string BIN = UPDATE_BINARY_DIR "/bin/";
const std::string PKG = "/tmp/P.bin";

struct TOOL_FILE_S {
    std::string strPath;  // below the sandbox folder
    std::string strText;
};

struct WRITER_CASE_S {
    const char *pszName;
    std::vector<std::string> args;      // flash_driver arguments
    std::string strCmdline;             // /proc/cmdline
    std::vector<TOOL_FILE_S> files;     // extra files: mounts, failing tools
    std::string strResult;              // "result=N"
    std::vector<std::string> outHas;    // standard output contains each
    std::vector<std::string> outLacks;  // ... and none of these
    std::vector<TOOL_FILE_S> journal;   // journal/TOOL holds exactly this
};

const std::string RECORD_BUSYBOX = "#!/bin/sh\nexec /.sandbox/stub-record busybox \"$@\"\n";
const std::string FAIL_3 = "#!/bin/sh\n/.sandbox/stub-record busybox \"$@\"\nexit 3\n";
const std::string FAIL_MMC = "#!/bin/sh\n/.sandbox/stub-record mmcwrite \"$@\"\nexit 1\n";

std::vector<std::string> Write(std::vector<std::string> layout, const std::string &dev, const std::string &part,
                               const std::string &type = "write")
{
    layout.insert(layout.end(), {type, dev, PKG, part, "4096", "100", "0x2300000"});
    return layout;
}

const std::vector<std::string> L8 = {};
const std::vector<std::string> L4 = {"-L", "4", "-S", "4"};
const std::vector<std::string> L11 = {"-L", "11", "-S", "11"};

std::vector<WRITER_CASE_S> WriterCases()
{
    return {
        {"nand_program_on_yaffs2_uses_nandwrite_o", Write(L8, "/dev/mtd5", "0x5c00000"), "rootfstype=yaffs2", {},
         "result=0", {"MTD_PROGRAM\n", "Write flash over.\n"}, {"MTD_BOOTLOAD"},
         {{"nandwrite", "-o /dev/mtd5 -g 4096 -l 100 -m /tmp/P.bin\n"}}},
        {"nand_erase_failure_returns_its_status_and_writes_nothing", Write(L8, "/dev/mtd4", "0xc00000"),
         "rootfstype=squashfs", {{"tmp/busybox", FAIL_3}}, "result=3", {"Erase flash failed.\n"},
         {"Write flash over."}, {{"busybox", "flash_eraseall /dev/mtd4\n"}}},
        {"nor_config_is_only_erased", Write(L4, "/dev/mtd3", "0x100000", "single"), "", {}, "result=0",
         {"/bin/busybox flash_eraseall /dev/mtd3\n"}, {"flashcp"}, {{"busybox", "flash_eraseall /dev/mtd3\n"}}},
        {"nor_image_longer_than_its_partition_is_refused", Write(L4, "/dev/mtd4", "99"), "", {}, "result=-1",
         {"does not fit /dev/mtd4"}, {"flashcp"}, {}},
        {"emmc_kernel_has_no_ext4_word_and_the_partition_size_last", Write(L11, "/dev/mmcblk0p7", "0x800000"), "",
         {}, "result=0", {"update CMD :mmcwrite /tmp/P.bin 0x1000 0x64 0x2300000 0x800000\n"}, {},
         {{"mmcwrite", "/tmp/P.bin 0x1000 0x64 0x2300000 0x800000\n"}}},
        {"emmc_program_failure_is_not_retried", Write(L11, "/dev/mmcblk0p8", "0x800000", "single"), "",
         {{"bin/mmcwrite", FAIL_MMC}}, "result=-1",
         {"update CMD is mmcwrite /tmp/P.bin ext4 0x1000", "update /dev/mmcblk0p8 failed!\n"}, {},
         {{"mmcwrite", "/tmp/P.bin ext4 0x1000 0x64 0x2300000 0x800000\n"}}},
        {"single_nand_config_is_erased_even_on_ubi", Write(L8, "/dev/mtd3", "0xa00000", "single"), "root=ubi0",
         {}, "result=0", {"Write flash over.\n"}, {"rm -rf"}, {{"busybox", "flash_eraseall /dev/mtd3\n"}}},
    };
}

void PrintTo(const WRITER_CASE_S &c, std::ostream *pOut)
{
    *pOut << c.pszName;
}

class WriterTest : public testing::TestWithParam<WRITER_CASE_S> {};

TEST_P(WriterTest, CommandLinesMessagesAndResult)
{
    const WRITER_CASE_S &c = GetParam();
    const std::string dir = MakeSandboxDir(std::string("flash_") + c.pszName);
    WriteFile(dir + "/proc/cmdline", c.strCmdline + "\n");
    WriteFile(dir + "/proc/mounts", "rootfs / rootfs rw 0 0\n");
    WriteFile(dir + "/tmp/busybox", RECORD_BUSYBOX);
    WriteFile(dir + "/bin/busybox", RECORD_BUSYBOX);
    WriteFile(dir + "/var/runtime/settings", "x");
    for (const TOOL_FILE_S &f : c.files) {
        WriteFile(dir + "/" + f.strPath, f.strText);
    }
    ASSERT_EQ(0, system(("chmod 755 " + dir + "/tmp/busybox " + dir + "/bin/*").c_str()));
    std::vector<std::string> argv = {BIN + "flash_driver"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SandboxResult r = RunInSandbox(dir, argv);
    EXPECT_NE(std::string::npos, r.strOut.find(c.strResult + "\n")) << r.strOut << r.strErr;
    for (const std::string &s : c.outHas) {
        EXPECT_NE(std::string::npos, r.strOut.find(s)) << "missing: " << s << "\n" << r.strOut;
    }
    for (const std::string &s : c.outLacks) {
        EXPECT_EQ(std::string::npos, r.strOut.find(s)) << "unexpected: " << s << "\n" << r.strOut;
    }
    for (const TOOL_FILE_S &j : c.journal) {
        EXPECT_EQ(j.strText, ReadFile(dir + "/journal/" + j.strPath)) << j.strPath;
    }
    EXPECT_EQ("x", ReadFile(dir + "/var/runtime/settings")) << "runtime files are not the writer's";
}

INSTANTIATE_TEST_SUITE_P(Flash, WriterTest, testing::ValuesIn(WriterCases()),
                         [](const testing::TestParamInfo<WRITER_CASE_S> &i) { return std::string(i.param.pszName); });

std::string MakeSlavePackage(const std::string &dir)
{
    WriteFile(dir + "/img/k", std::string(100, 'k'));
    WriteFile(dir + "/img/p", std::string(200, 'p'));
    WriteFile(dir + "/tmp/P.bin", "");
    std::string cmd = BIN + "update-pack create " + dir + "/tmp/P.bin --image 12=" + dir + "/img/k --flash-offset 12=" +
                      "0x300000 --image 13=" + dir + "/img/p --flash-offset 13=0x380000 > /dev/null";
    EXPECT_EQ(0, system(cmd.c_str()));
    return dir;
}

TEST(SlaveBoard, WritesTheSlaveImagesTheMainKindsAskForAndStopsAtTheFirstFailure)
{
    struct {
        const char *pszName;
        std::vector<std::string> layout;
        const char *pszType;
        bool bFail;
        std::string strResult, strRate, strBusybox;
    } cases[] = {
        // Set 14 has no slave slots: progress only.
        {"set14", {}, "0xa3", false, "result=0", "95", ""},
        {"kernel_only", {"-L", "3", "-S", "3"}, "0x1", false, "result=0", "95",
         "flashcp -g 4096 -l 100 -o 3145728 /tmp/P.bin /dev/mtd0\n"},
        {"kernel_and_program", {"-L", "3", "-S", "7"}, "0x402", false, "result=0", "95",
         "flashcp -g 4196 -l 200 -o 3670016 /tmp/P.bin /dev/mtd0\n"},
        {"failure_reports_no_progress", {"-L", "7", "-S", "7"}, "0x200", true, "result=3", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        const std::string dir = MakeSlavePackage(MakeSandboxDir(std::string("slave_") + c.pszName));
        WriteFile(dir + "/tmp/busybox", c.bFail ? FAIL_3 : RECORD_BUSYBOX);
        ASSERT_EQ(0, system(("chmod 755 " + dir + "/tmp/busybox").c_str()));
        WriteFile(dir + "/proc/cmdline", "rootfstype=yaffs2\n");
        std::vector<std::string> argv = {BIN + "flash_driver"};
        argv.insert(argv.end(), c.layout.begin(), c.layout.end());
        argv.insert(argv.end(), {"slave", c.pszType, PKG});
        SandboxResult r = RunInSandbox(dir, argv);
        EXPECT_NE(std::string::npos, r.strOut.find(c.strResult)) << r.strOut << r.strErr;
        EXPECT_EQ(c.strRate, ReadFile(dir + "/tmp/update_rate.log"));
        if (!c.bFail) {
            EXPECT_EQ(c.strBusybox, ReadFile(dir + "/journal/busybox"));
        }
    }
}

TEST(BootEnvironment, RewriteDecision)
{
    struct {
        const char *pszInner, *pszPub, *pszBoard, *pszRev, *pszResult, *pszSays;
    } cases[] = {
        {"XDVSV410R003B03", "V4.22.14", "DVS-SIM", "V001", "result=0", ""},
        {"GDVSV410R003B03.1", "V4.22.14", "DVS-K410-M16@32-B", "V001", "result=0", ""},
        {"EDVSV410R001B11", "V4.22.14", "DVS-K410-M16@32-BX", "V070", "result=1", "Image need to update env\n"},
        {"GDVSV410R003B03", "V4.21.99", "DVS-SIM", "V070", "result=1", "Image need to update env\n"},
        {"GDVSV410R003B03", "V4.22.15", "DVS-SIM", "V057", "result=1", "Local need to update env\n"},
        {"GDVSV410R003B03", "V4.22.15", "DVS-SIM", "V058", "result=0", ""},
        {"GDVSV410R003B03", "V4.23.01", "DVS-SIM", "", "result=0", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.pszInner) + " " + c.pszPub + " " + c.pszBoard + " " + c.pszRev);
        const std::string dir = MakeSandboxDir("needenv");
        WriteFile(dir + "/proc/board_type", std::string(c.pszBoard) + "\n");
        if (c.pszRev[0] != '\0') {
            WriteFile(dir + "/proc/uboot_rev", std::string(c.pszRev) + "\n");
        }
        SandboxResult r = RunInSandbox(dir, {BIN + "flash_driver", "needenv", c.pszInner, c.pszPub});
        EXPECT_EQ(std::string(c.pszSays) + c.pszResult + "\n", r.strOut) << r.strErr;
    }
}

TEST(MtdHousekeeping, StopsEveryGarbageCollectorAndLeavesNandLocked)
{
    const std::string dir = MakeSandboxDir("housekeeping");
    std::string mtd = "dev:    size   erasesize  name\n";
    for (int i = 0; i < 12; ++i) {
        mtd += "mtd" + std::to_string(i) + ": 00080000 00020000 \"p" + std::to_string(i) + "\"\n";
    }
    WriteFile(dir + "/proc/mtd", mtd);
    SandboxResult r = RunInSandbox(dir, {BIN + "flash_driver", "killgc"});
    std::string expect;
    for (int i = 0; i < 12; ++i) {
        expect += "-9 jffs2_gcd_mtd" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(expect, ReadFile(dir + "/journal/killall"));
    EXPECT_NE(std::string::npos, r.strOut.find("kill cmd killall -9 jffs2_gcd_mtd11\n"));
    r = RunInSandbox(dir, {BIN + "flash_driver", "unlock"});
    EXPECT_EQ("result=0\n", r.strOut);
}
} // namespace
