// The partition writer, the slave board, the environment decision and the
// MTD housekeeping in the host sandbox, for what the board scenarios cannot
// reach (eMMC, other layouts, failing tools): the command lines that reach the
// device's tools, the messages, the results and what is left alone. The NAND
// program partition's nandwrite -o is the board's.
#include <map>

#include "support/sandbox_run.h"

namespace {
const std::string BIN = UPDATE_BINARY_DIR "/bin/";
const std::string RECORD = "#!/bin/sh\nexec /.sandbox/stub-record busybox \"$@\"\n";
const std::string FAIL_3 = "#!/bin/sh\n/.sandbox/stub-record busybox \"$@\"\nexit 3\n";
const std::string FAIL_MMC = "#!/bin/sh\n/.sandbox/stub-record mmcwrite \"$@\"\nexit 1\n";

using Files = std::map<std::string, std::string>;  // path below the sandbox folder: content

// Runs flash_driver with the files in place; executables are the ones in bin/ and tmp/.
SandboxResult Drive(const std::string &name, const Files &files, std::vector<std::string> args, std::string *pDir)
{
    *pDir = MakeSandboxDir("flash_" + name);
    for (const auto &[path, text] : files) {
        WriteFile(*pDir + "/" + path, text);
    }
    EXPECT_EQ(0, system(("chmod -R 755 " + *pDir + "/bin " + *pDir + "/tmp 2>/dev/null; true").c_str()));
    args.insert(args.begin(), BIN + "flash_driver");
    return RunInSandbox(*pDir, args);
}

TEST(Flash, WriterCommandLinesMessagesAndResults)
{
    const std::vector<std::string> L4 = {"-L", "4", "-S", "4"}, L11 = {"-L", "11", "-S", "11"};
    const struct {
        const char *pszName;
        std::vector<std::string> layout;
        std::string strKind, strDev, strPart, strCmdline, strFailingTool, strFailing;
        std::string strResult;              // "result=N"
        std::vector<std::string> outHas;    // standard output contains each
        std::string strLacks;               // ... and not this
        std::string strTool, strJournal;    // journal/TOOL holds exactly this
    } cases[] = {
        {"nand_erase_failure_returns_its_status", {}, "write", "/dev/mtd4", "0xc00000", "rootfstype=squashfs",
         "tmp/busybox", FAIL_3, "result=3", {"Erase flash failed.\n"}, "Write flash over.", "nandwrite", ""},
        {"nor_config_is_only_erased", L4, "single", "/dev/mtd3", "0x100000", "", "", "", "result=0",
         {"/bin/busybox flash_eraseall /dev/mtd3\n"}, "flashcp", "busybox", "flash_eraseall /dev/mtd3\n"},
        {"nor_image_longer_than_its_partition_is_refused", L4, "write", "/dev/mtd4", "99", "", "", "", "result=-1",
         {"does not fit /dev/mtd4"}, "flashcp", "busybox", ""},
        {"nand_image_past_the_file_end_erases_nothing", {}, "write", "/dev/mtd4", "0xc00000", "", "tmp/P.bin", "short",
         "result=-1", {"/tmp/P.bin holds no image at offset 4096 of 100 bytes"}, "flash_eraseall", "busybox", ""},
        {"emmc_kernel_has_no_ext4_word_and_the_partition_size_last", L11, "write", "/dev/mmcblk0p7", "0x800000", "",
         "", "", "result=0", {"update CMD :mmcwrite /tmp/P.bin 0x1000 0x64 0x2300000 0x800000\n"}, "ext4", "mmcwrite",
         "/tmp/P.bin 0x1000 0x64 0x2300000 0x800000\n"},
        {"emmc_program_failure_is_not_retried", L11, "single", "/dev/mmcblk0p8", "0x800000", "", "bin/mmcwrite",
         FAIL_MMC, "result=-1", {"update CMD is mmcwrite /tmp/P.bin ext4 0x1000", "update /dev/mmcblk0p8 failed!\n"},
         "Write flash over.", "mmcwrite", "/tmp/P.bin ext4 0x1000 0x64 0x2300000 0x800000\n"},
        {"single_nand_config_is_erased_even_on_ubi", {}, "single", "/dev/mtd3", "0xa00000", "root=ubi0", "", "",
         "result=0", {"Write flash over.\n"}, "rm -rf", "busybox", "flash_eraseall /dev/mtd3\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        Files files = {{"proc/cmdline", c.strCmdline + "\n"}, {"proc/mounts", "rootfs / rootfs rw 0 0\n"},
                       {"tmp/busybox", RECORD}, {"bin/busybox", RECORD}, {"var/runtime/settings", "x"},
                       {"tmp/P.bin", std::string(4196, 'P')}};
        if (!c.strFailingTool.empty()) {
            files[c.strFailingTool] = c.strFailing;
        }
        std::vector<std::string> args = c.layout;
        args.insert(args.end(), {c.strKind, c.strDev, "/tmp/P.bin", c.strPart, "4096", "100", "0x2300000"});
        std::string dir;
        SandboxResult r = Drive(c.pszName, files, args, &dir);
        EXPECT_NE(std::string::npos, r.strOut.find(c.strResult + "\n")) << r.strOut << r.strErr;
        for (const std::string &s : c.outHas) {
            EXPECT_NE(std::string::npos, r.strOut.find(s)) << "missing: " << s << "\n" << r.strOut;
        }
        EXPECT_EQ(std::string::npos, r.strOut.find(c.strLacks)) << r.strOut;
        EXPECT_EQ(c.strJournal, ReadFile(dir + "/journal/" + c.strTool));
        EXPECT_EQ("x", ReadFile(dir + "/var/runtime/settings")) << "runtime files are not the writer's";
    }
}

TEST(Flash, SlaveBoardWritesWhatTheMainKindsAskForAndStopsAtTheFirstFailure)
{
    const struct {
        const char *pszName;
        std::vector<std::string> args;  // layout, routine, type
        bool bFail;
        std::string strResult, strRate, strBusybox;
    } cases[] = {
        // Set 14 has no slave slots: progress only.
        {"set14", {"slave", "0xa3"}, false, "result=0", "95", ""},
        {"kernel_only", {"-L", "3", "-S", "3", "slave", "0x1"}, false, "result=0", "95",
         "flashcp -g 4196 -l 100 -o 18939904 /tmp/P.bin /dev/mtd0\n"},
        {"program_only", {"-L", "3", "-S", "7", "slave", "0x402"}, false, "result=0", "95",
         "flashcp -g 4296 -l 200 -o 88211456 /tmp/P.bin /dev/mtd0\n"},
        // The slave kernel's erase fails: the slave program is not touched.
        {"failure_stops_before_the_next_image", {"-L", "7", "-S", "7", "slave", "0x600"}, true, "result=3", "",
         "flash_eraseall /dev/mtd10\n"},
        // A slave image asked for by name that the package lacks is found
        // before the main kernel is written.
        {"checked_before_the_kernel", {"-L", "3", "-S", "3", "install", "0x101"}, false, "result=-1", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        const std::string src = MakeSandboxDir(std::string("slave_src_") + c.pszName);
        WriteFile(src + "/k", std::string(100, 'k'));
        WriteFile(src + "/p", std::string(200, 'p'));
        ASSERT_EQ(0, system((BIN + "update-pack create " + src + "/P.bin --image 3=" + src + "/k --flash-offset " +
                             "3=0x1c0000 --image 12=" + src + "/k --flash-offset 12=0x1210000 --image 13=" + src +
                             "/p --flash-offset 13=0x5420000 > /dev/null").c_str()));
        std::vector<std::string> args = c.args;
        args.push_back("/tmp/P.bin");
        std::string dir;
        SandboxResult r = Drive(c.pszName, {{"tmp/busybox", c.bFail ? FAIL_3 : RECORD},
                                            {"tmp/P.bin", ReadFile(src + "/P.bin")},
                                            {"proc/cmdline", "rootfstype=yaffs2\n"}},
                                args, &dir);
        EXPECT_NE(std::string::npos, r.strOut.find(c.strResult)) << r.strOut << r.strErr;
        EXPECT_EQ(c.strRate, ReadFile(dir + "/tmp/update_rate.log"));
        EXPECT_EQ(c.strBusybox, ReadFile(dir + "/journal/busybox"));
    }
}

TEST(Flash, BootEnvironmentRewriteDecision)
{
    const struct {
        const char *pszInner, *pszPub, *pszBoard, *pszRev, *pszSays;
    } cases[] = {
        {"XDVSV410R003B03", "V4.22.14", "DVS-SIM", "V001", "result=0\n"},
        {"GDVSV410R003B03.1", "V4.22.14", "DVS-K410-M16@32-B", "V001", "result=0\n"},
        {"EDVSV410R001B11", "V4.22.14", "DVS-K410-M16@32-BX", "V070", "Image need to update env\nresult=1\n"},
        {"GDVSV410R003B03", "V4.21.99", "DVS-SIM", "V070", "Image need to update env\nresult=1\n"},
        {"GDVSV410R003B03", "V4.22.15", "DVS-SIM", "V057", "Local need to update env\nresult=1\n"},
        {"GDVSV410R003B03", "V4.22.15", "DVS-SIM", "V058", "result=0\n"},
        // No revision at all reads as "Unknown", whose "kn" compares above "58".
        {"GDVSV410R003B03", "V4.23.01", "DVS-SIM", nullptr, "result=0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.pszInner) + " " + c.pszPub + " " + c.pszBoard);
        Files files = {{"proc/board_type", std::string(c.pszBoard) + "\n"}};
        if (c.pszRev != nullptr) {
            files["proc/uboot_rev"] = std::string(c.pszRev) + "\n";
        }
        std::string dir;
        EXPECT_EQ(c.pszSays, Drive("needenv", files, {"needenv", c.pszInner, c.pszPub}, &dir).strOut);
    }
}

TEST(Flash, HousekeepingStopsEveryGarbageCollectorAndLeavesNandLocked)
{
    std::string mtd = "dev:    size   erasesize  name\n", killed;
    for (int i = 0; i < 12; ++i) {
        mtd += "mtd" + std::to_string(i) + ": 00080000 00020000 \"p" + std::to_string(i) + "\"\n";
        killed += "-9 jffs2_gcd_mtd" + std::to_string(i) + "\n";
    }
    std::string dir;
    SandboxResult r = Drive("housekeeping", {{"proc/mtd", mtd}}, {"killgc"}, &dir);
    EXPECT_EQ(killed, ReadFile(dir + "/journal/killall"));
    EXPECT_NE(std::string::npos, r.strOut.find("kill cmd killall -9 jffs2_gcd_mtd11\n"));
    EXPECT_EQ("result=0\n", Drive("unlock", {}, {"unlock"}, &dir).strOut);
}
} // namespace
