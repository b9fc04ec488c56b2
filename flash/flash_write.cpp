#include "flash/flash_write.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "fetch/fetch_progress.h"
#include "fetch/retrieve.h"
#include "flash/update_nvram.h"
#include "include/flash_layout.h"
#include "include/owners.h"
#include "include/text_util.h"
#include "package/packet_trust.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
// What differs between the package writer and the single-image writer.
struct WRITER_MODE_S {
    const char *pszRunner;     // the program that carries the flash applets
    bool bProbe;               // adapt to the running root file system
    const char *pszEmmcLog;    // how the eMMC command is logged
};
constexpr WRITER_MODE_S PACKAGE_MODE = {PACKAGE_APPLET_RUNNER, true, "update CMD :%s\n"};
constexpr WRITER_MODE_S SINGLE_MODE = {SINGLE_APPLET_RUNNER, false, "update CMD is %s\n"};

constexpr const char *EMMC_CONFIG_CMD =
    "ifmount=$(df |grep -i /var/runtime |wc -l);if [ $ifmount -gt 0 ];then rm -rf /var/runtime/*;else umount %s "
    "2>>/var/log/update.log ;mkfs.ext4 %s -F ;mount -t ext4 %s /var/runtime;fi";

// What UpdateExecCmd accepts: the line split at blanks and tabs into at most
// 30 words of at most 63 characters.
constexpr size_t EXEC_WORDS_MAX = 30;
constexpr size_t EXEC_WORD_MAX = 63;

// The partition slot that goes with each image entry that has one.
struct ENTRY_SLOT_S {
    unsigned ulEntry;
    unsigned ulSlot;
};
constexpr ENTRY_SLOT_S ENTRY_SLOTS[] = {
    {IMAGE_ENTRY_UBOOT, PART_SLOT_UBOOT},
    {IMAGE_ENTRY_CONFIG, PART_SLOT_CONFIG},
    {IMAGE_ENTRY_KERNEL, PART_SLOT_KERNEL},
    {IMAGE_ENTRY_PROGRAM, PART_SLOT_PROGRAM},
    {IMAGE_ENTRY_ACTIVEX, PART_SLOT_ACTIVEX},
    {IMAGE_ENTRY_SLAVEUBOOT, PART_SLOT_SLAVEUBOOT},
    {IMAGE_ENTRY_SLAVEKERNEL, PART_SLOT_SLAVEKERNEL},
    {IMAGE_ENTRY_SLAVEPROGRAM, PART_SLOT_SLAVEPROGRAM},
    {IMAGE_ENTRY_TVCONFIG, PART_SLOT_TVCONFIG},
};

struct ROOTFS_S {
    bool bYaffs2;
    bool bJffs2;
    bool bSquashfs;
    bool bUbiRuntime;
    bool bExt4;
};

// The writer's seven arguments.
struct WRITE_ARGS_S {
    const char *pszDev;
    const char *pszFile;
    uint64_t ulPartSize;
    uint64_t ulFlashType;
    uint64_t ulFileOffset;
    uint64_t ulLength;
    uint64_t ulFlashOffset;
};

// Everything a write will run, composed and checked before the first command
// runs: a write refused after its erase would leave the partition empty.
struct WRITE_PLAN_S {
    bool bClearRuntime;          // only the mounted runtime is cleared
    char szErase[CMD_BUF_LEN];   // NAND: the erase before the write
    char szWrite[CMD_BUF_LEN];   // the write; empty when the partition is only erased
    const char *pszBanner;       // printed before a NAND write
    bool bSyncMmap;              // the UBI TV configuration volume was replaced
};

bool IsEntryDev(const char *pszDev, unsigned ulEntry)
{
    const char *pszEntryDev = g_pstFlashLayout->astImageDev[ulEntry].pszDevName;
    return pszEntryDev != nullptr && strcmp(pszDev, pszEntryDev) == 0;
}

bool IsProgramDev(const char *pszDev)
{
    return IsEntryDev(pszDev, IMAGE_ENTRY_PROGRAM) || IsEntryDev(pszDev, IMAGE_ENTRY_ACTIVEX);
}

const PARTITION_S *SlotOfDev(const char *pszDev)
{
    for (const ENTRY_SLOT_S &st : ENTRY_SLOTS) {
        if (IsEntryDev(pszDev, st.ulEntry)) {
            return &g_pstFlashLayout->pstPartSet[st.ulSlot];
        }
    }
    return nullptr;
}

// A file of the MTD class folder of /dev/mtdN (sysfs), opened for reading.
FILE *OpenMtdAttr(const char *pszDev, const char *pszAttr)
{
    const char *pszName = strrchr(pszDev, '/');
    char szPath[128] = {};
    FORMAT_TEXT(szPath, "/sys/class/mtd/%s/%s", pszName != nullptr ? pszName + 1 : pszDev, pszAttr);
    return fopen(szPath, "re");
}

uint64_t MtdAttr(const char *pszDev, const char *pszAttr)
{
    FileOwner pFile(OpenMtdAttr(pszDev, pszAttr));
    unsigned long long ullValue = 0;
    return pFile != nullptr && fscanf(pFile.get(), "%llu", &ullValue) == 1 ? ullValue : 0;
}

// The NAND tools step over bad blocks, so what a partition takes is its
// good blocks: an image that fits the partition but not them would run out of
// room after the erase. The kernel counts a partition's bad blocks when it
// adds the partition; a device it does not describe as NAND counts as good.
uint64_t NandGoodBytes(const char *pszDev, uint32_t *pulBad)
{
    char szType[16] = {};
    FileOwner pType(OpenMtdAttr(pszDev, "type"));
    if (pType == nullptr || fscanf(pType.get(), "%15s", szType) != 1 ||
        (strcmp(szType, "nand") != 0 && strcmp(szType, "mlc-nand") != 0)) {
        return UINT64_MAX;
    }
    *pulBad = static_cast<uint32_t>(MtdAttr(pszDev, "bad_blocks"));
    const uint64_t ulSize = MtdAttr(pszDev, "size"), ulBadBytes = *pulBad * MtdAttr(pszDev, "erasesize");
    return ulBadBytes <= ulSize ? ulSize - ulBadBytes : 0;
}

// The tools read the image straight out of the file, after the erase: a
// range the file does not hold, an empty one (a length of 0 makes them take
// the whole file) or one longer than the partition would leave it erased or
// half written. A NOR write lands at an absolute offset on the whole device:
// outside its partition's slot it would overwrite the neighbours.
bool ImageFits(const WRITE_ARGS_S &st)
{
    struct stat stInfo = {};
    const uint64_t ulFileSize =
        (stat(st.pszFile, &stInfo) == 0 && S_ISREG(stInfo.st_mode)) ? static_cast<uint64_t>(stInfo.st_size) : 0;
    if (st.ulLength == 0 || st.ulFileOffset > ulFileSize || st.ulLength > ulFileSize - st.ulFileOffset) {
        UPDATE_LOG_PRINT("%s holds no image at offset %" PRIu64 " of %" PRIu64 " bytes for %s, nothing written\n",
                         st.pszFile, st.ulFileOffset, st.ulLength, st.pszDev);
        return false;
    }
    if (st.ulPartSize != 0 && st.ulLength > st.ulPartSize) {
        UPDATE_LOG_PRINT("image of %" PRIu64 " bytes does not fit %s (%" PRIu64 " bytes), nothing written\n",
                         st.ulLength, st.pszDev, st.ulPartSize);
        return false;
    }
    uint32_t ulBad = 0;
    const uint64_t ulGood = NandGoodBytes(st.pszDev, &ulBad);
    if (ulBad != 0 && st.ulLength > ulGood) {
        UPDATE_LOG_PRINT("image of %" PRIu64 " bytes does not fit the %" PRIu64 " bytes of %s outside its %u bad blocks, "
                         "nothing written\n",
                         st.ulLength, ulGood, st.pszDev, ulBad);
        return false;
    }
    const PARTITION_S *pstSlot = st.ulFlashType == FLASH_TYPE_NOR ? SlotOfDev(st.pszDev) : nullptr;
    if (st.ulFlashType == FLASH_TYPE_NOR &&
        (pstSlot == nullptr || st.ulFlashOffset < pstSlot->ullOffset || st.ulLength > pstSlot->ullSize ||
         st.ulFlashOffset - pstSlot->ullOffset > pstSlot->ullSize - st.ulLength)) {
        UPDATE_LOG_PRINT("image at flash offset %" PRIu64 " of %" PRIu64 " bytes lies outside %s, nothing written\n",
                         st.ulFlashOffset, st.ulLength, st.pszDev);
        return false;
    }
    return true;
}

// A line of lLen characters that UpdateExecCmd runs as composed: not cut,
// within its limits, and the file one word of its own.
bool RunsAsComposed(const char *pszCmd, int lLen, const char *pszFile)
{
    if (lLen < 0 || static_cast<size_t>(lLen) >= CMD_BUF_LEN ||
        (pszFile != nullptr && (pszFile[0] == '\0' || strpbrk(pszFile, " \t") != nullptr))) {
        return false;
    }
    size_t ulWords = 0;
    for (const char *p = pszCmd + strspn(pszCmd, " \t"); *p != '\0'; p += strspn(p, " \t")) {
        const size_t ulLen = strcspn(p, " \t");
        if (++ulWords > EXEC_WORDS_MAX || ulLen > EXEC_WORD_MAX) {
            return false;
        }
        p += ulLen;
    }
    return true;
}

bool PlanNor(const WRITER_MODE_S &stMode, const WRITE_ARGS_S &st, WRITE_PLAN_S *pstPlan)
{
    if (IsEntryDev(st.pszDev, IMAGE_ENTRY_CONFIG)) {
        int lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN, "%s flash_eraseall %s", stMode.pszRunner, st.pszDev);
        return RunsAsComposed(pstPlan->szWrite, lLen, nullptr);
    }
    int lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN, "%s flashcp -g %" PRIu64 " -l %" PRIu64 " -o %" PRIu64 " %s %s",
                        stMode.pszRunner, st.ulFileOffset, st.ulLength, st.ulFlashOffset, st.pszFile,
                        NOR_WHOLE_DEVICE);
    return RunsAsComposed(pstPlan->szWrite, lLen, st.pszFile);
}

bool PlanEmmc(const WRITE_ARGS_S &st, WRITE_PLAN_S *pstPlan)
{
    int lLen = -1;
    if (IsEntryDev(st.pszDev, IMAGE_ENTRY_CONFIG)) {
        lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN, EMMC_CONFIG_CMD, st.pszDev, st.pszDev, st.pszDev);
    } else {
        // The package path can come from the command line: one shell word.
        char szFile[CMD_BUF_LEN] = {};
        if (ShellQuote(st.pszFile, szFile) == 0) {
            lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN,
                            IsProgramDev(st.pszDev) ? "mmcwrite %s ext4 0x%x 0x%x 0x%x 0x%x"
                                                    : "mmcwrite %s 0x%x 0x%x 0x%x 0x%x",
                            szFile, static_cast<uint32_t>(st.ulFileOffset), static_cast<uint32_t>(st.ulLength),
                            static_cast<uint32_t>(st.ulFlashOffset), static_cast<uint32_t>(st.ulPartSize));
        }
    }
    return lLen >= 0 && static_cast<size_t>(lLen) < CMD_BUF_LEN;
}

bool PlanNand(const WRITER_MODE_S &stMode, const ROOTFS_S &stFs, const WRITE_ARGS_S &st, WRITE_PLAN_S *pstPlan)
{
    const bool bNoClassicFs = !stFs.bYaffs2 && !stFs.bJffs2 && !stFs.bSquashfs;
    int lLen = snprintf(pstPlan->szErase, CMD_BUF_LEN, "%s flash_eraseall %s", stMode.pszRunner, st.pszDev);
    if (!RunsAsComposed(pstPlan->szErase, lLen, nullptr)) {
        return false;
    }
    if (IsEntryDev(st.pszDev, IMAGE_ENTRY_CONFIG)) {
        return true;
    }
    const bool bUbi = stMode.bProbe && bNoClassicFs && !stFs.bExt4;
    const bool bProgram = stMode.bProbe ? (stFs.bYaffs2 && IsProgramDev(st.pszDev)) : IsProgramDev(st.pszDev);
    if (bUbi && IsEntryDev(st.pszDev, IMAGE_ENTRY_UBOOT)) {
        lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN, "/usr/sbin/nandwrite_mboot -g %" PRIu64 " -l %" PRIu64 " -m %s",
                        st.ulFileOffset, st.ulLength, st.pszFile);
        pstPlan->pszBanner = "MTD_BOOTLOAD";
    } else if (bUbi && IsEntryDev(st.pszDev, IMAGE_ENTRY_TVCONFIG)) {
        lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN,
                        "/usr/sbin/ubiupdatevol /dev/ubi0_0 --skip %" PRIu64 " -s %" PRIu64 " %s", st.ulFileOffset,
                        st.ulLength, st.pszFile);
        pstPlan->pszBanner = "MTD_BOOTLOAD";
    } else {
        lLen = snprintf(pstPlan->szWrite, CMD_BUF_LEN, "/usr/sbin/nandwrite %s %s -g %" PRIu64 " -l %" PRIu64 " -m %s",
                        bProgram ? "-o" : "-p", st.pszDev, st.ulFileOffset, st.ulLength, st.pszFile);
        pstPlan->pszBanner = (bProgram && stMode.bProbe) ? "MTD_PROGRAM" : nullptr;
    }
    pstPlan->bSyncMmap = stMode.bProbe && bNoClassicFs && IsEntryDev(st.pszDev, IMAGE_ENTRY_TVCONFIG);
    return RunsAsComposed(pstPlan->szWrite, lLen, st.pszFile);
}

// 0 with the plan, or -1 after saying why nothing will be written.
int PlanWrite(const WRITER_MODE_S &stMode, const ROOTFS_S &stFs, const WRITE_ARGS_S &st, WRITE_PLAN_S *pstPlan)
{
    const bool bConfig = IsEntryDev(st.pszDev, IMAGE_ENTRY_CONFIG);
    const bool bNand = st.ulFlashType != FLASH_TYPE_NOR && st.ulFlashType != FLASH_TYPE_EMMC;
    if (bNand && stMode.bProbe && bConfig &&
        (stFs.bUbiRuntime || (!stFs.bYaffs2 && !stFs.bJffs2 && !stFs.bSquashfs))) {
        // The runtime configuration lives in a mounted file system: clear
        // it there instead of erasing the partition under the mount.
        pstPlan->bClearRuntime = true;
        return 0;
    }
    if (!bConfig && !ImageFits(st)) {
        return -1;
    }
    const bool bComposed = st.ulFlashType == FLASH_TYPE_NOR    ? PlanNor(stMode, st, pstPlan)
                           : st.ulFlashType == FLASH_TYPE_EMMC ? PlanEmmc(st, pstPlan)
                                                               : PlanNand(stMode, stFs, st, pstPlan);
    if (!bComposed) {
        UPDATE_LOG_PRINT("the write command for %s cannot be run with the file %s, nothing written\n", st.pszDev,
                         st.pszFile);
        return -1;
    }
    return 0;
}

// Flash writes get ten attempts one second apart: a busy or briefly failing
// tool must not end an update that a second try would complete.
int RunWriteWithRetry(const char *pszCmd, bool bNor)
{
    for (unsigned ulTry = 0; ulTry < FLASH_WRITE_TIMES; ++ulTry) {
        int lRet = UpdateExecCmd(pszCmd);
        if (lRet == 0) {
            return 0;
        }
        if (bNor) {
            UPDATE_LOG_PRINT("NOR flash write failed[%u] error [%d]\n", ulTry, lRet);
        } else {
            UPDATE_LOG_PRINT("NAND flash write failed[%u].\n", ulTry);
        }
        if (ulTry + 1 < FLASH_WRITE_TIMES) {
            sleep(1);
        }
    }
    UPDATE_LOG_PRINT(bNor ? "NOR flash write final failed.\n" : "NAND flash write final failed.\n");
    return -1;
}

int RunEmmc(const WRITER_MODE_S &stMode, const char *pszDev, const WRITE_PLAN_S &stPlan)
{
    UpdateLogPrint(__FILE_NAME__, __LINE__, stMode.pszEmmcLog, stPlan.szWrite);
    if (UpdateSystem(stPlan.szWrite) != 0) {
        UPDATE_LOG_PRINT("update %s failed!\n", pszDev);
        return -1;
    }
    UpdateSystem("sync");
    UpdateSystem("sync");
    UpdateSystem("echo 1 > /proc/sys/vm/drop_caches");
    return 0;
}

// NOR: the one applet line; NAND: the erase, then the write.
int RunMtd(bool bNor, const WRITE_PLAN_S &stPlan)
{
    if (stPlan.szErase[0] != '\0') {
        UPDATE_LOG_PRINT("%s\n", stPlan.szErase);
        int lRet = UpdateExecCmd(stPlan.szErase);
        if (lRet != 0) {
            UPDATE_LOG("Erase flash failed, err=%d\n", lRet);
            UPDATE_LOG_PRINT("Erase flash failed.\n");
            return lRet;
        }
    }
    if (stPlan.szWrite[0] == '\0') {
        return 0;
    }
    if (stPlan.pszBanner != nullptr) {
        printf("%s\n", stPlan.pszBanner);
        fflush(stdout);
    }
    UPDATE_LOG_PRINT("%s\n", stPlan.szWrite);
    if (RunWriteWithRetry(stPlan.szWrite, bNor) != 0) {
        return -1;
    }
    if (stPlan.bSyncMmap) {
        NVRAM_ITEM_S stItem = {};
        CopyText(stItem.szNvName, "sync_mmap");
        CopyText(stItem.szNvValue, "1");
        SetEnvToFlash(&stItem);
    }
    return 0;
}

// Writes, or only plans and checks (bRun false) and runs nothing.
int WriteWithMode(const WRITER_MODE_S &stMode, const WRITE_ARGS_S &st, bool bRun)
{
    if (st.pszDev == nullptr || st.pszFile == nullptr || g_pstFlashLayout == nullptr) {
        UPDATE_LOG_PRINT("no partition to write\n");
        return -1;
    }
    ROOTFS_S stFs = {};
    if (stMode.bProbe) {
        stFs.bYaffs2 = IsRootfsYaffs2() == 0;
        stFs.bJffs2 = IsRootfsJffs2() == 0;
        stFs.bSquashfs = IsRootfsSquashfs() == 0;
        stFs.bUbiRuntime = IsRuntimeOnUbi() == 0;
        stFs.bExt4 = IsRootfsExt4() == 0;
    }
    if (bRun) {
        UPDATE_LOG_PRINT("Begin write flash, mtd:%s\n", st.pszDev);
    }
    WRITE_PLAN_S stPlan = {};
    int lRet = PlanWrite(stMode, stFs, st, &stPlan);
    if (lRet != 0 || !bRun) {
        return lRet;
    }
    if (stPlan.bClearRuntime) {
        UpdateSystem("rm -rf /var/runtime/*");
        UPDATE_LOG_PRINT("rm -rf /var/runtime/*.\n");
        return 0;
    }
    lRet = st.ulFlashType == FLASH_TYPE_EMMC ? RunEmmc(stMode, st.pszDev, stPlan)
                                              : RunMtd(st.ulFlashType == FLASH_TYPE_NOR, stPlan);
    if (lRet != 0) {
        return lRet;
    }
    UPDATE_LOG_PRINT("Write flash over.\n");
    return 0;
}

// One kind of raw image: where it goes and what it is called.
struct SINGLE_KIND_S {
    uint16_t usType;
    unsigned ulEntry;
    unsigned ulSlot;
    const char *pszRemoteName;
    const char *pszLocalPath;
};

// The first bit set in this order picks the kind.
constexpr SINGLE_KIND_S SINGLE_KINDS[] = {
    {UPDATE_TYPE_UIMAGE, IMAGE_ENTRY_KERNEL, PART_SLOT_KERNEL, "uImage", "/tmp/uImage"},
    {UPDATE_TYPE_PROGRAM, IMAGE_ENTRY_PROGRAM, PART_SLOT_PROGRAM, "program.img", "/tmp/program.img"},
    {UPDATE_TYPE_ACTIVEX, IMAGE_ENTRY_ACTIVEX, PART_SLOT_ACTIVEX, "activex.img", "/tmp/activex.img"},
    {UPDATE_TYPE_UBOOT, IMAGE_ENTRY_UBOOT, PART_SLOT_UBOOT, "u-boot.bin", "/tmp/u-boot.bin"},
    {UPDATE_TYPE_SLAVEUBOOT, IMAGE_ENTRY_SLAVEUBOOT, PART_SLOT_SLAVEUBOOT, "u-boot_slave.bin",
     "/tmp/u-boot_slave.bin"},
    {UPDATE_TYPE_SLAVEKERNEL, IMAGE_ENTRY_SLAVEKERNEL, PART_SLOT_SLAVEKERNEL, "uImage_slave", "/tmp/uImage_slave"},
    {UPDATE_TYPE_SLAVEPROGRAM, IMAGE_ENTRY_SLAVEPROGRAM, PART_SLOT_SLAVEPROGRAM, "program_slave.img",
     "/tmp/program_slave.img"},
    {UPDATE_TYPE_CONFIG, IMAGE_ENTRY_CONFIG, PART_SLOT_CONFIG, "config.img", "/tmp/config.img"},
};

const SINGLE_KIND_S *PickSingleKind(uint16_t usType)
{
    for (const SINGLE_KIND_S &stKind : SINGLE_KINDS) {
        if ((usType & stKind.usType) != 0) {
            return &stKind;
        }
    }
    return nullptr;
}

// The fetch command, and the same line with the password masked for the log.
int BuildSingleFetchCmd(const UPDATE_REQ_S *pstReq, const char *pszRemoteName, const char *pszLocalPath,
                        char (&szCmd)[CMD_BUF_LEN], char (&szLogCmd)[CMD_BUF_LEN])
{
    char szHost[CMD_BUF_LEN];
    char szRemote[CMD_BUF_LEN];
    if (ShellWord(pstReq->szRemote, szHost) != 0 || ShellWord(pszRemoteName, szRemote) != 0) {
        return -1;
    }
    int lLen = 0;
    if (pstReq->usTransType == TRANS_TYPE_FTP) {
        char szUser[CMD_BUF_LEN];
        char szPassword[CMD_BUF_LEN];
        if (ShellWord(pstReq->szUser, szUser) != 0 || ShellWord(pstReq->szPassword, szPassword) != 0) {
            return -1;
        }
        constexpr const char *FTP_FORMAT = "ftpget -u %s -p %s %s %s %s";
        lLen = snprintf(szCmd, sizeof(szCmd), FTP_FORMAT, szUser, szPassword, szHost, pszLocalPath, szRemote);
        int lLogLen = snprintf(szLogCmd, sizeof(szLogCmd), FTP_FORMAT, szUser, LoggedPasswordWord(pstReq->szPassword),
                               szHost, pszLocalPath, szRemote);
        if (lLogLen < 0 || static_cast<size_t>(lLogLen) >= sizeof(szLogCmd)) {
            return -1;
        }
    } else {
        lLen = snprintf(szCmd, sizeof(szCmd), "tftp -g -r %s -l %s %s -b %d", szRemote, pszLocalPath, szHost,
                        static_cast<int>(TFTP_BLOCK_SIZE));
        CopyText(szLogCmd, szCmd);
    }
    // A cut line would fetch something else than asked for.
    return (lLen < 0 || static_cast<size_t>(lLen) >= sizeof(szCmd)) ? -1 : 0;
}

int FetchSingleImage(const UPDATE_REQ_S *pstReq, const SINGLE_KIND_S &stKind)
{
    char szRemoteName[CMD_BUF_LEN] = {};
    int lLen = snprintf(szRemoteName, sizeof(szRemoteName), "%s%s%s", pstReq->usPathFlag == 1 ? pstReq->szPath : "",
                        pstReq->usPathFlag == 1 ? "/" : "", stKind.pszRemoteName);
    char szCmd[CMD_BUF_LEN] = {};
    char szLogCmd[CMD_BUF_LEN] = {};
    if (lLen < 0 || static_cast<size_t>(lLen) >= sizeof(szRemoteName) ||
        BuildSingleFetchCmd(pstReq, szRemoteName, stKind.pszLocalPath, szCmd, szLogCmd) != 0) {
        UPDATE_LOG_PRINT("fetch command too long\n");
        return -1;
    }
    // An earlier run's file (or a planted link) must never pass for this fetch.
    unlink(stKind.pszLocalPath);
    UPDATE_LOG("loadinging....\n");
    UPDATE_LOG("loading cmd: %s\n", szLogCmd);
    printf("\n");
    fflush(stdout);
    if (RunFetchCmd(szCmd) == 0) {
        UPDATE_LOG("loading done!\n");
        return 0;
    }
    UPDATE_LOG_PRINT("load image file failed! please try again!\n");
    unlink(stKind.pszLocalPath);
    return -1;
}
} // namespace

int WriteFlash(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
               uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    const WRITE_ARGS_S st = {pszDev, pszFile, ulPartSize, ulFlashType, ulFileOffset, ulLength, ulFlashOffset};
    return WriteWithMode(PACKAGE_MODE, st, true);
}

int WriteFlashSingle(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                     uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    const WRITE_ARGS_S st = {pszDev, pszFile, ulPartSize, ulFlashType, ulFileOffset, ulLength, ulFlashOffset};
    return WriteWithMode(SINGLE_MODE, st, true);
}

int CheckWriteFlash(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                    uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    const WRITE_ARGS_S st = {pszDev, pszFile, ulPartSize, ulFlashType, ulFileOffset, ulLength, ulFlashOffset};
    return WriteWithMode(PACKAGE_MODE, st, false);
}

int CheckWriteFlashSingle(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                          uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    const WRITE_ARGS_S st = {pszDev, pszFile, ulPartSize, ulFlashType, ulFileOffset, ulLength, ulFlashOffset};
    return WriteWithMode(SINGLE_MODE, st, false);
}

uint64_t GetFileSize(const char *pszPath)
{
    struct stat stInfo = {};
    if (pszPath == nullptr || stat(pszPath, &stInfo) != 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(stInfo.st_size);
}

int CheckItemImage(const UPDATE_ITEM_S *pstItem, const SUB_IMAGE_S *pstImage, unsigned ulEntry, unsigned ulSlot)
{
    // An entry without a device is refused by its write step; the
    // configuration is only erased.
    const char *pszDev = g_pstFlashLayout->astImageDev[ulEntry].pszDevName;
    if (pszDev == nullptr) {
        return 0;
    }
    if (pstImage->ulFileLength == 0 && ulEntry != IMAGE_ENTRY_CONFIG) {
        UPDATE_LOG_PRINT("no complete image for %s in the package, nothing written\n", pszDev);
        return -1;
    }
    return CheckWriteFlash(pszDev, pstItem->pszPacketFile, g_pstFlashLayout->pstPartSet[ulSlot].ullSize,
                           g_pstFlashLayout->ulFlashType, pstImage->ulFileOffset, pstImage->ulFileLength,
                           pstImage->ulFlashOffset);
}

int WriteItemImage(const UPDATE_ITEM_S *pstItem, const SUB_IMAGE_S *pstImage, unsigned ulEntry, unsigned ulSlot,
                   bool bPrintLine)
{
    const char *pszDev = g_pstFlashLayout->astImageDev[ulEntry].pszDevName;
    (bPrintLine ? UpdateLogPrint : UpdateLog)(
        __FILE_NAME__, __LINE__, "read FileName:%.*s, FileLength:%d, FileOffset: %d, FlashOffset:%d\n",
        static_cast<int>(SUB_IMAGE_NAME_LEN), pstImage->szFileName, static_cast<int>(pstImage->ulFileLength),
        static_cast<int>(pstImage->ulFileOffset), static_cast<int>(pstImage->ulFlashOffset));
    if (pszDev == nullptr) {
        UPDATE_LOG_PRINT("this board has no partition for image entry %u\n", ulEntry);
        return -1;
    }
    if (CheckVerifiedPacket(pstItem->pszPacketFile) != 0) {
        return -1;
    }
    return WriteFlash(pszDev, pstItem->pszPacketFile, g_pstFlashLayout->pstPartSet[ulSlot].ullSize,
                      g_pstFlashLayout->ulFlashType, pstImage->ulFileOffset, pstImage->ulFileLength,
                      pstImage->ulFlashOffset);
}

int UpdateSingleImage(const UPDATE_REQ_S *pstReq)
{
    const SINGLE_KIND_S *pstKind = PickSingleKind(pstReq->usUpdateType);
    const char *pszDev = pstKind != nullptr ? g_pstFlashLayout->astImageDev[pstKind->ulEntry].pszDevName : nullptr;
    const PARTITION_S *pstSlot = pstKind != nullptr ? &g_pstFlashLayout->pstPartSet[pstKind->ulSlot] : nullptr;
    // A kind this board has no partition for is refused like an unknown one.
    if (pstKind == nullptr || pszDev == nullptr || pstSlot->ullSize == 0) {
        UPDATE_LOG_PRINT("not support this type, please check you param!\n");
        return -1;
    }
    const bool bNeedsFile = pstKind->usType != UPDATE_TYPE_CONFIG;
    SetUpdateRate(5);
    if (g_lDaemonsStopped == 0) {
        StopDeviceDaemons();
    }
    SetUpdateRate(10);
    if (bNeedsFile) {
        // Only TFTP and FTP bring a raw image; anything else would write
        // whatever happens to lie at the temporary path.
        int lRet = IsFetchedByTool(pstReq->usTransType) ? FetchSingleImage(pstReq, *pstKind) : -1;
        if (lRet != 0) {
            if (!IsFetchedByTool(pstReq->usTransType)) {
                UPDATE_LOG_PRINT("load image file failed! please try again!\n");
            }
            return -1;
        }
    }
    SetUpdateRate(40);
    uint64_t ulLength = GetFileSize(pstKind->pszLocalPath);
    // A check fetches and checks the image as a write would, and writes nothing.
    const bool bCheckOnly = pstReq->usCheckFlag == 1;
    int lRet = (bCheckOnly ? CheckWriteFlashSingle : WriteFlashSingle)(
        pszDev, pstKind->pszLocalPath, pstSlot->ullSize, g_pstFlashLayout->ulFlashType, 0, ulLength,
        pstSlot->ullOffset);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("update uImage failed.\n");
    } else if (bCheckOnly) {
        UPDATE_LOG_PRINT("check only: %s not written\n", pszDev);
    }
    return lRet;
}
