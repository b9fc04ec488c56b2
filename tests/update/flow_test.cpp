// Whole runs of the real updater in the host sandbox, one table row each,
// stating the complete outcome: every program the updater starts itself, in
// order and with its exact command line, each flash device it opens, every
// value it publishes in the progress file, what it leaves changed in /tmp,
// /var and /program, the update record, its exit status, its closing lines
// and whether it asked for a reboot. The runs are traced with strace
// (flow_run.sh, flow_trace.pl): the updater is the unchanged product.
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "support/sandbox_run.h"

namespace {
namespace fs = std::filesystem;
const std::string SRC = UPDATE_SOURCE_DIR "/tests/";

struct Row {
    const char *pszName;
    std::string strSetup;  // words for flow_run.sh, which lists them
    std::string strArgs;   // the updater's words (shell words)
    std::string strCalls;  // a shell line, "exec ARGV" for a direct start, "open DEV"; @ is the binary
    std::string strRates;  // progress values published; "~50": a download's rising values up to 50
    std::string strFiles;  // +added -removed ~changed below tmp/ var/ program/, by path (=content of the progress files)
    std::string strRecord; // "PREVIOUS NEW" versions of the update record; empty: none written
    int lStatus;
    std::string strEnd;    // lines the output holds in this order, its closing lines exactly; "reboot"
};

std::string Times(int n, const std::string &s)
{
    return n > 0 ? s + Times(n - 1, s) : "";
}

// All rows at once (flow_run.sh prepares and runs one): most of a run is the updater's own pauses.
void RunTable(const std::vector<Row> &rows)
{
    const std::string table = TestDir();
    std::vector<std::thread> threads;
    for (const Row &row : rows) {
        const std::string dir = table + "/" + row.pszName;
        WriteFile(dir + "/setup", row.strSetup);
        WriteFile(dir + "/args", row.strArgs);
        threads.emplace_back([dir] {
            EXPECT_EQ(0, system(("UPDATE_SOURCE_DIR=" UPDATE_SOURCE_DIR " UPDATE_BINARY_DIR=" UPDATE_BINARY_DIR " bash " +
                                 SRC + "update/flow_run.sh " + dir).c_str()));
        });
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const std::string dir = table + "/" + row.pszName;
        threads[i].join();
        SCOPED_TRACE(row.pszName);
        // The closing lines are exactly the row's; its other lines appear in the output.
        const std::string out = ReadFile(dir + "/out");
        std::istringstream lines(row.strEnd);
        std::string end;
        for (std::string line; std::getline(lines, line);) {
            if (std::regex_match(line, std::regex("update \\S+ success!|Update (success|failed)\\..*|load or update failed!.*|reboot"))) {
                end += line + " | ";
            } else {
                EXPECT_NE(std::string::npos, out.find(line)) << line << " is not in:\n" << out;
            }
        }
        EXPECT_EQ(row.strCalls + "rates: " + row.strRates + "\nfiles: " + row.strFiles + "\nrecord: " + row.strRecord +
                      "\nstatus: " + std::to_string(row.lStatus) + "\nend: " + end + "\n",
                  ReadFile(dir + "/summary")) << out;
        // A planted link is never written through.
        EXPECT_EQ("victim", ReadFile(dir + "/victim"));
        EXPECT_FALSE(fs::exists(dir + "/nowhere"));
    }
}

// The calls the rows are made of, as the updater composes them.
using S = std::string;
const S PKG = "/program/pkg/Program.bin", TMP_PKG = "/tmp/Program.bin", CMDLINE = "cat /proc/cmdline\n";
// The instance check (this run is the one the count finds), then again from the running copy.
const S COUNT = "pidof @ > /tmp/psResult\ncat /tmp/psResult\nrm -rf /tmp/psResult\n", BOARD = "cat /proc/board_type\n";
const S START = COUNT + "cp  -f @ /tmp/memupdate\npidof @ > /tmp/psResult\ncat /tmp/psResult\n";
const S STOP = "mt boardagent set smart stop\nkillall daemon core\n", USER = START + BOARD + STOP;
const S PROBES = Times(4, CMDLINE); // the writer's root file system probes, when it checks and when it writes
const S RECORD = "date>>/var/runtime/log/update_record.log\n", DONE = "rm -rf /tmp/Program.bin /tmp/psResult\n";
const S REMOVED = DONE + "rm -rf /tmp/update_rate.log\n", ENV = "cat /proc/uboot_rev\ncat /proc/board_type\n";
const S CONFIG_Y = CMDLINE + "mount -o remount,ro -t yaffs2 /dev/mtdblock3 /var/runtime\n" + PROBES +
                   "exec /tmp/busybox flash_eraseall /dev/mtd3\n";
const S LAUNCH = "chmod +x /tmp/busybox; /tmp/busybox update -local ", RAW = "tftp -g -r uImage -l /tmp/uImage 127.0.0.1 -b 8192\n";
const S RAW_W = "exec /bin/busybox flash_eraseall /dev/mtd4\nexec /usr/sbin/nandwrite -p /dev/mtd4 -g 0 -l 3000 -m /tmp/uImage\n";
const S SHELL_REBOOT = "sleep 3;/tmp/reboot;sleep 1;reboot;sleep 2;echo r > /proc/rmc/test\n";
const S CUSTOM = "mkdir -p /tmp/oem;unzip /tmp/custom.zip -d /tmp\nloadtools /tmp/oem/cfginfo.txt CfgInfo\n";
const S FULL = "60 65 70 80 85 90 95 99 100", ITEM = "60 65 70 80 85 90 95 ", FAILED = "Update failed. System reboot soon...\nreboot";
const S T = "+tmp/busybox +tmp/memupdate +tmp/update_rate.log=100", NO = "+tmp/memupdate +tmp/psResult +tmp/update_rate.log=101";
// An item's preparation: clean-up, each of n writes composed and checked before any erase, the applet runner.
S Prep(int n) { return "rm -rf /tmp/oem\n" + Times(n, PROBES) + "cp  -f /tmp/memupdate /tmp/busybox\n"; }
S Tftp(S remote) { return "mkdir -p /tmp;tftp -g -r " + remote + " -l /tmp/Program.bin 127.0.0.1 -b 8192 2>>/var/log/update.log\n"; }
S Nand(S dev, S opt, S off, S len, S pkg = PKG)
{
    return PROBES + "exec /tmp/busybox flash_eraseall " + dev + "\nexec /usr/sbin/nandwrite " + opt + " " + dev + " -g " + off +
           " -l " + len + " -m " + pkg + "\n";
}
// The standard package's images: kernel, program and web plug-in; boot loader.
S Kernel(S pkg = PKG) { return Nand("/dev/mtd4", "-p", "6096", "3000", pkg); }
S Whole(S pkg = PKG, S opt = "-o") { return Kernel(pkg) + Nand("/dev/mtd5", opt, "9096", "5000", pkg) + Nand("/dev/mtd6", opt, "14096", "1000", pkg); }
S Uboot(S tool = "nandwrite -p /dev/mtd1") { return PROBES + "exec /tmp/busybox flash_eraseall /dev/mtd1\nexec /usr/sbin/" + tool + " -g 4096 -l 1000 -m " + PKG + "\n"; }
S Flashcp(S off, S len, S to) { return PROBES + "exec /tmp/busybox flashcp -g " + off + " -l " + len + " -o " + to + " " + PKG + " /dev/mtd0\n"; }
S Failed(S code) { return "update failed! please try again!, ulRet=" + code + "\n" + FAILED; }
} // namespace

TEST(Flow, Traces)
{
    const S ENV_PKG = "pkg=env ver=R1210,GDVSV410R003B03", IMG = "bin=driver pkg=none img=tmp/P.bin:4196 ", Y = "-local /program/pkg ";
    const S F = Y + "uboot -force -wait", KEEP = USER + Prep(1) + ENV + Uboot() + DONE, REWRITE = USER + Prep(1) + ENV + "open /dev/mtd2\n";
    const S EMMC = "ifmount=$(df |grep -i /var/runtime |wc -l);if [ $ifmount -gt 0 ];then rm -rf /var/runtime/*;else umount "
                   "/dev/mmcblk0p6 2>>/var/log/update.log ;mkfs.ext4 /dev/mmcblk0p6 -F ;mount -t ext4 /dev/mmcblk0p6 /var/runtime;fi\n"
                   "sync\nsync\necho 1 > /proc/sys/vm/drop_caches\n";
    RunTable({
        // A whole package; the record's previous version is the one before the program partition was rewritten.
        {"all_local", "mtd newver", Y + "all -wait", USER + Prep(3) + "killall -9 jffs2_gcd_mtd0\nkillall -9 jffs2_gcd_mtd1\n" +
         Whole() + RECORD + DONE, FULL, "~program/.version " + T, "OLD INN2", 0, ""},
        // The launched updater's own runs: the items in their order, and the report.
        {"all_config_loop", "", Y + "all config -wait -loop", USER + Prep(3) + Whole() + "rm -rf /tmp/oem\n" + PROBES + CONFIG_Y + RECORD +
         DONE, ITEM + ITEM + "99 100", T, "OLD INN2", 0, "update all success!"},
        {"config_uimage_loop", "", Y + "config uImage -wait -loop", USER + Prep(1) + Kernel() + "rm -rf /tmp/oem\n" + PROBES + CONFIG_Y +
         DONE, ITEM + ITEM + "99 100", T, "", 0, "update uImage success!\nupdate config success!"},
        {"program", "", Y + "program -wait", USER + Prep(1) + Nand("/dev/mtd5", "-o", "9096", "5000") + DONE, FULL, T, "", 0, ""},
        {"activex", "", Y + "activex -wait", USER + Prep(1) + Nand("/dev/mtd6", "-o", "14096", "1000") + DONE, FULL, T, "", 0, ""},
        {"config_squashfs", "fs=S", Y + "config -wait", USER + Prep(1) + Times(3, CMDLINE) + "mount -o remount,ro -t jffs2 "
         "/dev/mtdblock3 /var/runtime\n" + PROBES + "exec /tmp/busybox flash_eraseall /dev/mtd3\n" + DONE, FULL, T, "", 0, ""},
        {"config_ubi", "fs=U", Y + "config -wait", USER + Prep(1) + Times(3, CMDLINE) + PROBES + "rm -rf /var/runtime/*\n" + DONE,
         FULL, T + " -var/runtime/settings", "", 0, ""},
        {"tvconfig_not_here", "", Y + "tvconfig -wait", USER + DONE, "99 100", "+tmp/memupdate +tmp/update_rate.log=100", "", 0, ""},
        // The boot loader, never customised; the environment looked at right before the boot loader, never by a check.
        {"uboot", "pkg=custom", Y + "uboot -wait", USER + Prep(1) + ENV + Uboot() + DONE, FULL, T, "", 0, ""},
        {"uboot_ubi", "fs=U", Y + "uboot -wait", USER + Prep(1) + ENV + Uboot("nandwrite_mboot") + DONE, FULL, T, "", 0, "MTD_BOOTLOAD"},
        {"uboot_env", ENV_PKG, Y + "uboot -wait", USER + Prep(1) + ENV + "open /dev/mtd2\n", "60 65 70 80 101", "+tmp/busybox " + NO, "",
         255, FAILED},
        {"uboot_env_check", ENV_PKG, Y + "uboot -check", START + BOARD, "", "+tmp/memupdate +tmp/psResult", "", 0, ""},
        // The rewrite decision: the device's inner version and board type, the package's version, the boot loader's revision.
        {"env_other_inner", "pkg=V4.22.14 ver=R1234,XDVSV410R003B03 board=DVS-SIM rev=V001", F, KEEP, FULL, T, "", 0, ""},
        {"env_other_board", "pkg=V4.22.14 ver=R1234,GDVSV410R003B03.1 board=DVS-K410-M16@32-B rev=V001", F, KEEP, FULL, T, "", 0, ""},
        {"env_image_2214", "pkg=V4.22.14 ver=R1234,EDVSV410R001B11 board=DVS-K410-M16@32-BX rev=V070", F, REWRITE, "60 65 70 80 101",
         "+tmp/busybox " + NO, "", 255, "Image need to update env\n" + FAILED},
        {"env_image_2199", "pkg=V4.21.99 ver=R1234,GDVSV410R003B03 board=DVS-SIM rev=V070", F, REWRITE, "60 65 70 80 101",
         "+tmp/busybox " + NO, "", 255, "Image need to update env\n" + FAILED},
        {"env_local_57", "pkg=V4.22.15 ver=R1234,GDVSV410R003B03 board=DVS-SIM rev=V057", F, REWRITE, "60 65 70 80 101",
         "+tmp/busybox " + NO, "", 255, "Local need to update env\n" + FAILED},
        {"env_local_58", "pkg=V4.22.15 ver=R1234,GDVSV410R003B03 board=DVS-SIM rev=V058", F, KEEP, FULL, T, "", 0, ""},
        {"env_no_revision", "pkg=V4.23.01 ver=R1234,GDVSV410R003B03 board=DVS-SIM", F, KEEP, FULL, T, "", 0, ""},
        {"custom", "pkg=custom", Y + "all -wait", USER + Prep(3) + CUSTOM + Whole() + RECORD + DONE, FULL,
         "+tmp/busybox +tmp/custom.zip +tmp/memupdate +tmp/oem/cfginfo.txt +tmp/update_rate.log=100", "OLD INN2", 0, ""},
        // Raw-image mode; with -check it writes nothing.
        {"raw", "tftp pkg=none img=srv/uImage:3000", "-tftp 127.0.0.1 uImage -debug -wait", START + STOP + RAW + RAW_W, "5 10 40",
         "+tmp/memupdate +tmp/psResult +tmp/uImage +tmp/update_rate.log=40", "", 0, ""},
        {"raw_check", "tftp pkg=none img=srv/uImage:3000", "-tftp 127.0.0.1 uImage -debug -check", START + STOP + RAW, "5 10 40",
         "+tmp/memupdate +tmp/psResult +tmp/uImage +tmp/update_rate.log=40", "", 0, "check only: /dev/mtd4 not written"},
        {"raw_config_ubi", "fs=U pkg=none", "-tftp 127.0.0.1 config -debug -wait", START + STOP +
         "exec /bin/busybox flash_eraseall /dev/mtd3\n", "5 10 40", "+tmp/memupdate +tmp/psResult +tmp/update_rate.log=40", "", 0, ""},
        {"check_tftp", "tftp pkg=std@srv", "-tftp 127.0.0.1 all -check", START + STOP + Tftp("Program.bin") + BOARD, "",
         "+tmp/Program.bin +tmp/memupdate +tmp/psResult", "", 0, ""},
        {"force_older", "pkg=older", Y + "all -force -wait", USER + Prep(3) + Whole() + RECORD + DONE, FULL, T, "OLD INN2", 0, ""},
        // Hand-over from a folder that needs quoting: the package copied into /tmp; its link does not survive.
        {"handover_quoted", "pkg=hand@'program/my pkg'", "-local '/program/my pkg' all -wait", USER + "rm -rf /tmp/oem\ncp -f "
         "'/program/my pkg/Program.bin' /tmp/Program.bin\n" + LAUNCH + "/tmp all  -w -loop\n" + RECORD + DONE, "20 99 100",
         "~program/.version " + T, "OLD INN2", 0, ""},
        // Words this updater does not know: the package's updater gets them, and -check.
        {"handover_words_check", "tftp pkg=hand@srv", "-tftp 127.0.0.1 all newoption -check", COUNT + Tftp("Program.bin") + LAUNCH +
         "/tmp/ all -check newoption  -loop\n", "", "+tmp/Program.bin +tmp/busybox", "", 0, ""},
        {"handover_folder_like_package", "pkg=hand@program/Program.bin.d", "-local /program/Program.bin.d all -check newoption",
         COUNT + LAUNCH + "/program/Program.bin.d/ all -check newoption  -loop\n", "", "+tmp/busybox", "", 0, ""},
        {"handover_failed", "pkg=hand put=program/rc:3 plant=tmp/lnAll.bin:old", Y + "all", USER + "rm -rf /tmp/oem\ncp -f " + PKG +
         " /tmp/Program.bin\n" + LAUNCH + "/tmp all  -w -loop\n", "20 101", "~program/.version +tmp/Program.bin +tmp/busybox "
         "-tmp/lnAll.bin +tmp/memupdate +tmp/psResult +tmp/update_rate.log=101", "", 3, FAILED},
        // A launched updater outlasting a watch of 8 idle seconds is waited for.
        {"handover_slow", "pkg=hand put=program/sleep:12 bin=update-shortwatch", Y + "all -wait", USER + "rm -rf /tmp/oem\ncp -f " +
         PKG + " /tmp/Program.bin\n" + LAUNCH + "/tmp all  -w -loop\n" + RECORD + DONE, "20 99 100", "~program/.version " + T,
         "OLD INN2", 0, ""},
        {"no_updater_for_words", "", Y + "all -wiat -forse", COUNT, "101", "+tmp/update_rate.log=101", "", 255, "update: not understood here: '-wiat' "
         "'-forse'; the package carries no updater to hand them to"},
        // A second instance changes nothing the running one uses.
        {"second_instance", "'put=bin/pidof:#!/bin/sh\\necho 1 2' plant=tmp/memupdate:old", Y + "all", COUNT, "", "", "", 255,
         "Update is running, please wait."},
        // Refusals.
        {"board", "pkg=other", Y + "all", START + BOARD, "101", NO, "", 253, "Board type is not compatible.\ncheck update valid "
         "failed.\n" + FAILED},
        {"board_forced", "pkg=other", Y + "all -force", START + BOARD, "101", NO, "", 253, "Board type is not compatible.\n" + FAILED},
        {"version", "pkg=same", Y + "all", START + BOARD, "101", NO, "", 254, "Local version bigger than or equal as update "
         "version, not need update!\n" + FAILED},
        {"no_version_forced", "ver=none", Y + "all -force", START, "101", NO, "", 254, "open version file error\n" + FAILED},
        {"crc", "pkg=crc", Y + "all", USER + REMOVED, "101", "+tmp/memupdate +tmp/update_rate.log=101", "", 252,
         "update check crc failed.\n" + FAILED},
        {"crc_check", "tftp pkg=crc@srv", "-tftp 127.0.0.1 all -check", START + STOP + Tftp("Program.bin") + BOARD + REMOVED +
         REMOVED, "101", "+tmp/memupdate", "", 252, "update check crc failed.\nload or update failed!err:-4"},
        {"no_image", "pkg=nokernel", Y + "uImage", USER + "rm -rf /tmp/oem\n", "101", NO, "", 255, Failed("-1")},
        {"local_missing", "pkg=none", Y + "all -check", START + REMOVED, "101", "+tmp/memupdate", "", 255,
         "Get version failed (error No such file or directory)\nload or update failed!err:-1"},
        // Each way of fetching; a server path, user and password that need quoting.
        {"tftp_quoted", "tftp fs=S pkg=std@'srv/my dir'", "-tftp 127.0.0.1 -path '/my dir' all", START + STOP +
         Tftp("'/my dir/Program.bin'") + BOARD + Prep(3) + Whole(TMP_PKG, "-p") + RECORD + DONE, FULL, T, "OLD INN2", 0,
         "Update success. System reboot now...\nreboot"},
        {"ftp_quoted", "ftp pkg=std@'srv/my dir'", "-ftp 127.0.0.1 all -u 'us er' -p \"p'w;d\" -path '/my dir' -wait", START + STOP +
         "mkdir -p /tmp;ftpget -u 'us er' -p 'p'\\''w;d' 127.0.0.1 /tmp/Program.bin '/my dir/Program.bin' 2>>/var/log/update.log\n" +
         BOARD + Prep(3) + Whole(TMP_PKG) + RECORD + DONE, FULL, T, "OLD INN2", 0, ""},
        {"http", "http pkg=std@srv", "-mycloud http://127.0.0.1/Program.bin all -wait", USER + Prep(3) + Whole(TMP_PKG) + RECORD +
         DONE, "~50 80 82 85 90 92 95 97 99 100", "+tmp/busybox +tmp/download_stat.log=Stat:0,DownladRate:100 +tmp/memupdate "
         "+tmp/update_rate.log=100", "OLD INN2", 0, ""},
        // NOR: the applet at each image's flash offset, the slave board's too; the boot flash unlocked at the end.
        {"nor_all", "bin=sim pkg=nor", Y + "all -wait", USER + Prep(4) + Flashcp("6096", "3000", "655360") + Flashcp("9096", "5000",
         "1441792") + Flashcp("14096", "1000", "2490368") + Flashcp("16096", "3000", "3145728") + RECORD + DONE + "open /dev/mtd0\n",
         FULL, T, "OLD INN2", 0, ""},
        {"nor_config", "bin=sim pkg=nor", Y + "config -wait", USER + Prep(1) + CONFIG_Y + DONE + "open /dev/mtd0\n", FULL, T, "", 0, ""},
        {"nor_slavekernel", "bin=sim pkg=nor", Y + "slavekernel -wait", USER + Prep(1) + Flashcp("16096", "3000", "3145728") + DONE +
         "open /dev/mtd0\n", FULL, T, "", 0, ""},
        {"nor_slaveuboot", "bin=sim pkg=nor", Y + "slaveuboot -wait", USER + Prep(1) + Flashcp("15096", "1000", "3014656") + DONE +
         "open /dev/mtd0\n", FULL, T, "", 0, ""},
        {"nor_slaveprogram_absent", "bin=sim pkg=nor", Y + "slaveprogram -wait", USER + "rm -rf /tmp/oem\nopen /dev/mtd0\n", "101",
         NO, "", 255, FAILED},
        {"nor_offset_zero", "bin=sim", Y + "all -wait", USER + "rm -rf /tmp/oem\n" + PROBES + "open /dev/mtd0\n", "101", NO, "", 255, FAILED},
        // eMMC, through the writer alone: the configuration's guard and devices, a file name that needs quoting.
        {"emmc_config", IMG, "-L 11 write /dev/mmcblk0p6 /tmp/P.bin 0xa00000 4096 100 0x380000", PROBES + EMMC, "", "", "", 0,
         "result=0"},
        {"emmc_config_mounted", IMG + "mounted", "-L 11 write /dev/mmcblk0p6 /tmp/P.bin 0xa00000 4096 100 0x380000", PROBES + EMMC,
         "", "-var/runtime/settings", "", 0, "result=0"},
        {"emmc_kernel_quoted", "bin=driver pkg=none 'img=tmp/my pkg/P.bin:4196'", "-L 11 write /dev/mmcblk0p7 '/tmp/my pkg/P.bin' "
         "0xc00000 4096 100 0xd80000", PROBES + "mmcwrite '/tmp/my pkg/P.bin' 0x1000 0x64 0xd80000 0xc00000\n" + EMMC.substr(EMMC.find(
         "sync")), "", "", "", 0, "result=0"},
        {"emmc_program", IMG, "-L 11 write /dev/mmcblk0p8 /tmp/P.bin 0x5c00000 4096 100 0x2300000", PROBES + "mmcwrite /tmp/P.bin "
         "ext4 0x1000 0x64 0x2300000 0x5c00000\n" + EMMC.substr(EMMC.find("sync")), "", "", "", 0, "result=0"},
    });
}

TEST(Flow, Boundaries)
{
    const S D42 = "/program/" + S(42, 'd'), D43 = D42 + "d", P413 = "/" + Times(41, "xxxxxxxxx/") + "yy", Y = "-local /program/pkg ";
    const S NAND_K = "exec /usr/sbin/nandwrite -p /dev/mtd4 -g 6096 -l 3000 -m " + PKG + "\n", B = "+tmp/busybox " + NO;
    const S ERASE_K = PROBES + "exec /tmp/busybox flash_eraseall /dev/mtd4\n", NOR_K = "exec /tmp/busybox flashcp -g 4096 -l 100 "
                                                                                       "-o 14155776 /tmp/P.bin /dev/mtd0\n";
    S nor;
    for (int k = 0; k < 10; ++k) {
        nor += "NOR flash write failed[" + std::to_string(k) + "] error [1]\n";
    }
    RunTable({
        // An image that fills its partition exactly, and one a byte larger: refused before any erase.
        {"kernel_fills", "pkg=fill", Y + "uImage -wait", USER + Prep(1) + Nand("/dev/mtd4", "-p", "6096", "12582912") + DONE, FULL, T,
         "", 0, ""},
        {"kernel_over", "pkg=over", Y + "uImage -wait", USER + "rm -rf /tmp/oem\n" + PROBES, "101", NO, "", 255, Failed("-1")},
        {"nor_slot_end", "bin=sim pkg=norend", Y + "uImage -wait", USER + Prep(1) + Flashcp("6096", "3000", "1438792") + DONE +
         "open /dev/mtd0\n", FULL, T, "", 0, ""},
        {"nor_slot_end_past", "bin=sim pkg=norpast", Y + "uImage -wait", USER + "rm -rf /tmp/oem\n" + PROBES + "open /dev/mtd0\n", "101", NO, "",
         255, Failed("-1")},
        // Records ending exactly at the package's end are the standard package's; one a byte past it, an empty one.
        {"record_past_end", "pkg=past", Y + "all -wait", USER + "rm -rf /tmp/oem\n" + Times(2, PROBES), "101", NO, "", 255, Failed("-1")},
        {"record_empty", "pkg=zero", Y + "uImage -wait", USER + "rm -rf /tmp/oem\n", "101", NO, "", 255, Failed("-1")},
        {"raw_empty", "tftp pkg=none img=srv/uImage:0", "-tftp 127.0.0.1 uImage -debug -wait", START + STOP + RAW + REMOVED +
         SHELL_REBOOT, "5 10 40", "+tmp/memupdate +tmp/uImage", "", 255, "load or update failed!\nreboot"},
        {"updater_past_end", "tftp pkg=handcut@srv", "-tftp 127.0.0.1 all newoption", COUNT + Tftp("Program.bin"), "101",
         "+tmp/Program.bin +tmp/update_rate.log=101", "", 255, "RelocateUpdate failed."},
        // The package path as one word of a flash tool's command: 63 characters, 64, a blank inside.
        {"word_63", "pkg=std@" + D42.substr(1), "-local " + D42 + " uImage -wait", USER + Prep(1) + Kernel(D42 + "/Program.bin") + DONE,
         FULL, T, "", 0, ""},
        {"word_64", "pkg=std@" + D43.substr(1), "-local " + D43 + " uImage -wait", USER + "rm -rf /tmp/oem\n" + PROBES, "101", NO, "", 255,
         Failed("-1")},
        {"word_blank", "pkg=std@'program/my pkg'", "-local '/program/my pkg' uImage -wait", USER + "rm -rf /tmp/oem\n" + PROBES, "101", NO, "", 255,
         Failed("-1")},
        // The fetch command at its buffer's length, and one over: never cut, refused.
        {"fetch_cmd_511", "tftp pkg=none", "-tftp 127.0.0.1 -path " + P413 + " all -check", START + STOP +
         Times(3, Tftp(P413 + "/Program.bin")) + REMOVED, "101", "+tmp/memupdate", "", 255,
         "load bin file failed! please try again!\nload or update failed!err:-1"},
        {"fetch_cmd_512", "tftp pkg=none", "-tftp 127.0.0.1 -path " + P413 + "y all -check", START + STOP + REMOVED, "101",
         "+tmp/memupdate", "", 255, "Get remote bin file failed.\nload or update failed!err:-1"},
        // Retries, counted in the calls: flash writes ten times, fetches three.
        {"nand_fails_10", "fail=nandwrite:10", Y + "uImage -wait", USER + Prep(1) + ERASE_K + Times(10, NAND_K), "101", B, "", 255,
         "NAND flash write failed[9].\nNAND flash write final failed.\n" + Failed("-1")},
        {"nand_fails_9", "fail=nandwrite:9", Y + "uImage -wait", USER + Prep(1) + ERASE_K + Times(10, NAND_K) + DONE, FULL, T, "", 0,
         "NAND flash write failed[8]."},
        {"nor_fails_10", "bin=driver pkg=none img=tmp/P.bin:4196 fail=busybox:10", "-L 4 -S 14 write /dev/mtd4 /tmp/P.bin 0xc00000 4096 "
         "100 0xd80000", PROBES + Times(10, NOR_K), "", "", "", 0, nor + "NOR flash write final failed.\nresult=-1"},
        // Fetches broken off after their work: what they left never stays behind as the package or image.
        {"tftp_fails_3", "tftp pkg=std@srv fail=tftp:3", "-tftp 127.0.0.1 all -wait", START + STOP + Times(3, Tftp("Program.bin")), "101", NO, "",
         255, "load bin file failed! please try again!\n" + FAILED},
        {"tftp_fails_2", "tftp pkg=std@srv fail=tftp:2", "-tftp 127.0.0.1 all -wait", START + STOP + Times(3, Tftp("Program.bin")) +
         BOARD + Prep(3) + Whole(TMP_PKG) + RECORD + DONE, FULL, T, "OLD INN2", 0, ""},
        {"raw_fetch_fails_3", "tftp pkg=none img=srv/uImage:3000 fail=tftp:3", "-tftp 127.0.0.1 uImage -debug -wait", START + STOP + Times(3, RAW) + REMOVED +
         SHELL_REBOOT, "5 10", "+tmp/memupdate", "", 255, "load image file failed! please try again!\nload or update failed!\nreboot"},
        // A board type compared over its first 19 characters; every head field filled without a NUL.
        {"board_19", "board=NVR-0123456789ABCDEFG pkg=b19", Y + "all -check", START + BOARD, "", "+tmp/memupdate +tmp/psResult", "",
         0, ""},
        {"board_19_differs", "board=NVR-0123456789ABCDEFG pkg=b18x", Y + "all -check", START + BOARD + REMOVED, "101",
         "+tmp/memupdate", "", 253, "Board type is not compatible.\nload or update failed!err:-3"},
        {"fields_full", "pkg=full", Y + "uImage -wait", USER + Prep(1) + Kernel() + DONE, FULL, T, "", 0, "read FileName:" + S(128, 'N') +
         ", FileLength:3000, FileOffset: 6096, FlashOffset:0"},
    });
}

TEST(Flow, FailingWrites)
{
    const S HAND = USER + "rm -rf /tmp/oem\ncp -f /program/pkg/Program.bin /tmp/Program.bin\n", Y = "-local /program/pkg ";
    const S SLAVE_K = "exec /tmp/busybox flashcp -g 16096 -l 3000 -o 3145728 " + PKG + " /dev/mtd0\n", B = "+tmp/busybox " + NO;
    RunTable({
        // Copies into /tmp that fail, by the tool or a full /tmp: nothing half-written is left to pass for whole.
        {"copy_running", "fail=cp:1", Y + "all -wait", COUNT + "cp  -f @ /tmp/memupdate\n", "", "", "", 255, "reboot"},
        {"copy_runner", "fail=cp:1:1", Y + "all -wait", USER + Prep(3), "101", NO, "", 1, Failed("1")},
        {"copy_package", "pkg=hand fail=cp:1:1", Y + "all -wait", HAND, "101", B, "", 1, Failed("1")},
        {"full_fetch", "tftp pkg=big@srv tmp=+200", "-tftp 127.0.0.1 all -wait", START + STOP + Times(3, Tftp("Program.bin")),
         "101", NO, "", 255, "load bin file failed! please try again!\n" + FAILED},
        // (The status record of the failure cannot be written either: it is removed, the progress file says 101.)
        {"full_download", "http pkg=big@srv tmp=+200", "-mycloud http://127.0.0.1/Program.bin all -wait", START +
         "rm -rf /tmp/Program.bin /tmp/download_stat.log\n", "~ 101", NO, "", 4, "compare version failed.\n" + FAILED},
        {"full_updater", "pkg=bighand tmp=+50", Y + "all -wait", USER + "rm -rf /tmp/oem\n", "101", NO, "", 255, Failed("-1")},
        {"full_package_copy", "pkg=handbig tmp=+200", Y + "all -wait", HAND, "101", B, "", 1, Failed("1")},
        {"full_custom", "pkg=custombig tmp=+200", Y + "all -wait", USER + Prep(3), "101", B, "", 255, Failed("-1")},
        // Each flash tool failing once: writes are tried again, an erase and an eMMC write are not.
        {"erase_once", "fail=busybox:1", Y + "uImage -wait", USER + Prep(1) + PROBES + "exec /tmp/busybox flash_eraseall /dev/mtd4\n",
         "101", B, "", 1, Failed("1")},
        {"nandwrite_once", "fail=nandwrite:1", Y + "uImage -wait", USER + Prep(1) + Kernel() + "exec /usr/sbin/nandwrite -p /dev/mtd4 "
         "-g 6096 -l 3000 -m " + PKG + "\n" + DONE, FULL, T, "", 0, "NAND flash write failed[0]."},
        {"mboot_once", "fs=U fail=nandwrite_mboot:1", Y + "uboot -wait", USER + Prep(1) + ENV + Uboot("nandwrite_mboot") +
         "exec /usr/sbin/nandwrite_mboot -g 4096 -l 1000 -m " + PKG + "\n" + DONE, FULL, T, "", 0, "NAND flash write failed[0]."},
        {"flashcp_once", "bin=sim pkg=nor fail=busybox:1", Y + "uImage -wait", USER + Prep(2) + Flashcp("6096", "3000", "655360") +
         "exec /tmp/busybox flashcp -g 6096 -l 3000 -o 655360 " + PKG + " /dev/mtd0\n" + PROBES + SLAVE_K + DONE +
         "open /dev/mtd0\n", FULL, T, "", 0, "NOR flash write failed[0] error [1]"},
        {"slave_fails", "bin=sim pkg=nor fail=busybox:10:1", Y + "uImage -wait", USER + Prep(2) + Flashcp("6096", "3000", "655360") +
         PROBES + Times(10, SLAVE_K) + "open /dev/mtd0\n", "60 65 70 80 85 101", B, "", 255, Failed("-1")},
        {"mmcwrite_once", "bin=driver pkg=none img=tmp/P.bin:4196 fail=mmcwrite:1", "-L 11 write /dev/mmcblk0p7 /tmp/P.bin "
         "0xc00000 4096 100 0xd80000", PROBES + "mmcwrite /tmp/P.bin 0x1000 0x64 0xd80000 0xc00000\n", "", "", "", 0,
         "update /dev/mmcblk0p7 failed!\nresult=-1"},
        {"mmcwrite_single_once", "bin=driver pkg=none img=tmp/P.bin:4196 fail=mmcwrite:1", "-L 11 single /dev/mmcblk0p8 /tmp/P.bin "
         "0x800000 4096 100 0x2300000", "mmcwrite /tmp/P.bin ext4 0x1000 0x64 0x2300000 0x800000\n", "", "", "", 0,
         "update CMD is mmcwrite /tmp/P.bin ext4 0x1000 0x64 0x2300000 0x800000\nupdate /dev/mmcblk0p8 failed!\nresult=-1"},
        // The configuration and the web plug-in failing fail the item; the later steps still run.
        {"config_fails", "fail=busybox:1", Y + "config -wait", USER + Prep(1) + CONFIG_Y, ITEM + "101", B, "", 255, Failed("-1")},
        {"activex_fails", "fail=busybox:1:2", Y + "all -wait", USER + Prep(3) + Kernel() + Nand("/dev/mtd5", "-o", "9096", "5000") +
         PROBES + "exec /tmp/busybox flash_eraseall /dev/mtd6\n", ITEM + "101", B, "", 255, Failed("-1")},
        // Progress, status and record files that cannot be written.
        {"progress_unwritable", "plant=tmp/update_rate.log:dir", Y + "all -wait", USER + Prep(3) + Whole() + RECORD + DONE, "",
         "+tmp/busybox +tmp/memupdate", "OLD INN2", 0, ""},
        {"status_unwritable", "http pkg=std@srv plant=tmp/download_stat.log:dir", "-mycloud http://127.0.0.1/Program.bin all",
         START, "101", NO, "", 255, "compare version failed.\n" + FAILED},
        {"record_unwritable", "plant=var/runtime/log/update_record.log:dir", Y + "all -wait", USER + Prep(3) + Whole() + DONE, FULL, T,
         "", 0, "Open recent update log file /var/runtime/log/update_record.log failed"},
        // Tools whose failure the run reports, or goes past.
        {"rm_oem_fails", "fail=rm:1:1", Y + "all -wait", USER + "rm -rf /tmp/oem\n", "101", NO, "", 1, Failed("1")},
        {"daemons_fail", "fail=mt:1 fail=killall:1", Y + "all -wait", USER + Prep(3) + Whole() + RECORD + DONE, FULL, T, "OLD INN2", 0, ""},
        {"loadtools_fails", "pkg=custom fail=loadtools:1", Y + "all -wait", USER + Prep(3) + CUSTOM + Whole() + RECORD + DONE, FULL,
         "+tmp/busybox +tmp/custom.zip +tmp/memupdate +tmp/oem/cfginfo.txt +tmp/update_rate.log=100", "OLD INN2", 0, ""},
    });
}

TEST(Flow, PlantedFiles)
{
    S links, olds;
    for (const char *pszPath : {"Program.bin", "memupdate", "busybox", "psResult", "update_rate.log", "oem"}) {
        links += S(" plant=tmp/") + pszPath + ":link";
        olds += S(" plant=tmp/") + pszPath + ":old";
    }
    const S TFTP = START + STOP + Tftp("Program.bin") + BOARD + Prep(3) + Whole(TMP_PKG) + RECORD + DONE, Y = "-local /program/pkg ";
    const S CLOUD = "-mycloud http://127.0.0.1/Program.bin all -wait", CUSTOM_ALL = USER + Prep(3) + CUSTOM + Whole() + RECORD + DONE;
    const S REPLACED = "-tmp/Program.bin ~tmp/busybox ~tmp/memupdate -tmp/oem -tmp/psResult ~tmp/update_rate.log=100";
    RunTable({
        // Every fixed /tmp path of a fetched update, planted as a link and as an old file.
        {"links", "tftp pkg=std@srv" + links, "-tftp 127.0.0.1 all -wait", TFTP, FULL, REPLACED, "OLD INN2", 0, ""},
        {"old_files", "tftp pkg=std@srv" + olds, "-tftp 127.0.0.1 all -wait", TFTP, FULL, REPLACED, "OLD INN2", 0, ""},
        {"old_package_fetch_fails", "tftp pkg=none plant=tmp/Program.bin:std", "-tftp 127.0.0.1 all -wait", START + STOP +
         Times(3, Tftp("Program.bin")), "101", "-tmp/Program.bin " + NO, "", 255, "load bin file failed! please try again!\n" + FAILED},
        // A download never goes through a link; a package already in /tmp is the one a cloud update installs.
        {"cloud_links", "http pkg=std@srv plant=tmp/Program.bin:dangling plant=tmp/download_stat.log:link", CLOUD, USER + Prep(3) +
         Whole(TMP_PKG) + RECORD + DONE, "~50 80 82 85 90 92 95 97 99 100", "-tmp/Program.bin +tmp/busybox "
         "~tmp/download_stat.log=Stat:0,DownladRate:100 +tmp/memupdate +tmp/update_rate.log=100", "OLD INN2", 0, ""},
        {"cloud_present_package", "http pkg=none plant=tmp/Program.bin:std", CLOUD, USER + Prep(3) + Whole(TMP_PKG) + RECORD + DONE,
         FULL, "-tmp/Program.bin " + T, "OLD INN2", 0, ""},
        // A raw image's temporary file.
        {"raw_old_fetch_fails", "tftp pkg=none plant=tmp/uImage:old", "-tftp 127.0.0.1 uImage -debug -wait", START + STOP +
         Times(3, RAW) + REMOVED + SHELL_REBOOT, "5 10", "+tmp/memupdate -tmp/uImage", "", 255, "load or update failed!\nreboot"},
        {"raw_link", "tftp pkg=none img=srv/uImage:3000 plant=tmp/uImage:link", "-tftp 127.0.0.1 uImage -debug -wait", START + STOP +
         RAW + RAW_W, "5 10 40", "+tmp/memupdate +tmp/psResult ~tmp/uImage +tmp/update_rate.log=40", "", 0, ""},
        // Customisation's archive and folder; the hand-over's link and updater.
        {"custom_links", "pkg=custom plant=tmp/custom.zip:link plant=tmp/oem:dangling", Y + "all -wait", CUSTOM_ALL, FULL,
         "+tmp/busybox ~tmp/custom.zip +tmp/memupdate -tmp/oem +tmp/oem/cfginfo.txt +tmp/update_rate.log=100", "OLD INN2", 0, ""},
        {"handover_old_link", "pkg=hand plant=tmp/lnAll.bin:old plant=tmp/busybox:link", Y + "all -wait", USER + "rm -rf /tmp/oem\n"
         "cp -f /program/pkg/Program.bin /tmp/Program.bin\n" + LAUNCH + "/tmp all  -w -loop\n" + RECORD + DONE, "20 99 100",
         "~program/.version ~tmp/busybox -tmp/lnAll.bin +tmp/memupdate +tmp/update_rate.log=100", "OLD INN2", 0, ""},
        // An applet runner already there is used; an updater copy at /tmp/update is linked to.
        {"old_applet_runner", "plant=tmp/busybox:runner", Y + "all -wait", USER + "rm -rf /tmp/oem\n" + Times(3, PROBES) + Whole() + RECORD +
         DONE, FULL, "+tmp/memupdate +tmp/update_rate.log=100", "OLD INN2", 0, ""},
        {"present_updater", "plant=tmp/update:runner", Y + "all -wait", USER + "rm -rf /tmp/oem\n" + Times(3, PROBES) + "ln -s /tmp/update /tmp/busybox\n" +
         Whole() + RECORD + DONE, FULL, T, "OLD INN2", 0, ""},
    });
}
