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
#include "include/text_util.h"
#include "package/packet.h"
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

struct ROOTFS_S {
    bool bYaffs2;
    bool bJffs2;
    bool bSquashfs;
    bool bUbiRuntime;
    bool bExt4;
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

// A whole-device NOR write lands at an absolute offset: an image longer than
// its partition would run over the partitions behind it.
bool FitsPartition(const char *pszDev, uint64_t ulLength, uint64_t ulPartSize)
{
    if (ulPartSize != 0 && ulLength > ulPartSize) {
        UPDATE_LOG_PRINT("image of %" PRIu64 " bytes does not fit %s (%" PRIu64 " bytes), nothing written\n",
                         ulLength, pszDev, ulPartSize);
        return false;
    }
    return true;
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

int WriteNor(const WRITER_MODE_S &stMode, const char *pszDev, const char *pszFile, uint64_t ulPartSize,
             uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    char szCmd[CMD_BUF_LEN] = {};
    if (IsEntryDev(pszDev, IMAGE_ENTRY_CONFIG)) {
        snprintf(szCmd, sizeof(szCmd), "%s flash_eraseall %s", stMode.pszRunner, pszDev);
    } else {
        if (!FitsPartition(pszDev, ulLength, ulPartSize)) {
            return -1;
        }
        snprintf(szCmd, sizeof(szCmd), "%s flashcp -g %" PRIu64 " -l %" PRIu64 " -o %" PRIu64 " %s %s",
                 stMode.pszRunner, ulFileOffset, ulLength, ulFlashOffset, pszFile, NOR_WHOLE_DEVICE);
    }
    UPDATE_LOG_PRINT("%s\n", szCmd);
    return RunWriteWithRetry(szCmd, true);
}

int WriteEmmc(const WRITER_MODE_S &stMode, const char *pszDev, const char *pszFile, uint64_t ulPartSize,
              uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    char szCmd[CMD_BUF_LEN] = {};
    if (IsEntryDev(pszDev, IMAGE_ENTRY_CONFIG)) {
        snprintf(szCmd, sizeof(szCmd), EMMC_CONFIG_CMD, pszDev, pszDev, pszDev);
    } else {
        // The package path can come from the command line: one shell word.
        char szFile[CMD_BUF_LEN] = {};
        if (ShellQuote(pszFile, szFile) != 0) {
            UPDATE_LOG_PRINT("update %s failed!\n", pszDev);
            return -1;
        }
        snprintf(szCmd, sizeof(szCmd), IsProgramDev(pszDev) ? "mmcwrite %s ext4 0x%x 0x%x 0x%x 0x%x"
                                                            : "mmcwrite %s 0x%x 0x%x 0x%x 0x%x",
                 szFile, static_cast<uint32_t>(ulFileOffset), static_cast<uint32_t>(ulLength),
                 static_cast<uint32_t>(ulFlashOffset), static_cast<uint32_t>(ulPartSize));
    }
    UpdateLogPrint(__FILE_NAME__, __LINE__, stMode.pszEmmcLog, szCmd);
    if (UpdateSystem(szCmd) != 0) {
        UPDATE_LOG_PRINT("update %s failed!\n", pszDev);
        return -1;
    }
    UpdateSystem("sync");
    UpdateSystem("sync");
    UpdateSystem("echo 1 > /proc/sys/vm/drop_caches");
    return 0;
}

int WriteNand(const WRITER_MODE_S &stMode, const ROOTFS_S &stFs, const char *pszDev, const char *pszFile,
              uint64_t ulFileOffset, uint64_t ulLength)
{
    const bool bConfig = IsEntryDev(pszDev, IMAGE_ENTRY_CONFIG);
    const bool bNoClassicFs = !stFs.bYaffs2 && !stFs.bJffs2 && !stFs.bSquashfs;
    char szCmd[CMD_BUF_LEN] = {};
    snprintf(szCmd, sizeof(szCmd), "%s flash_eraseall %s", stMode.pszRunner, pszDev);
    UPDATE_LOG_PRINT("%s\n", szCmd);
    int lRet = UpdateExecCmd(szCmd);
    if (lRet != 0) {
        UPDATE_LOG("Erase flash failed, err=%d\n", lRet);
        UPDATE_LOG_PRINT("Erase flash failed.\n");
        return lRet;
    }
    if (bConfig) {
        return 0;
    }

    const bool bUbi = stMode.bProbe && bNoClassicFs && !stFs.bExt4;
    const bool bProgram = stMode.bProbe ? (stFs.bYaffs2 && IsProgramDev(pszDev)) : IsProgramDev(pszDev);
    if (bUbi && IsEntryDev(pszDev, IMAGE_ENTRY_UBOOT)) {
        snprintf(szCmd, sizeof(szCmd), "/usr/sbin/nandwrite_mboot -g %" PRIu64 " -l %" PRIu64 " -m %s", ulFileOffset,
                 ulLength, pszFile);
        printf("MTD_BOOTLOAD\n");
    } else if (bUbi && IsEntryDev(pszDev, IMAGE_ENTRY_TVCONFIG)) {
        snprintf(szCmd, sizeof(szCmd), "/usr/sbin/ubiupdatevol /dev/ubi0_0 --skip %" PRIu64 " -s %" PRIu64 " %s",
                 ulFileOffset, ulLength, pszFile);
        printf("MTD_BOOTLOAD\n");
    } else {
        snprintf(szCmd, sizeof(szCmd), "/usr/sbin/nandwrite %s %s -g %" PRIu64 " -l %" PRIu64 " -m %s",
                 bProgram ? "-o" : "-p", pszDev, ulFileOffset, ulLength, pszFile);
        if (bProgram && stMode.bProbe) {
            printf("MTD_PROGRAM\n");
        }
    }
    fflush(stdout);
    UPDATE_LOG_PRINT("%s\n", szCmd);
    if (RunWriteWithRetry(szCmd, false) != 0) {
        return -1;
    }
    if (stMode.bProbe && bNoClassicFs && IsEntryDev(pszDev, IMAGE_ENTRY_TVCONFIG)) {
        NVRAM_ITEM_S stItem = {};
        CopyText(stItem.szNvName, "sync_mmap");
        CopyText(stItem.szNvValue, "1");
        SetEnvToFlash(&stItem);
    }
    return 0;
}

int WriteWithMode(const WRITER_MODE_S &stMode, const char *pszDev, const char *pszFile, uint64_t ulPartSize,
                  uint64_t ulFlashType, uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    if (pszDev == nullptr || pszFile == nullptr || g_pstFlashLayout == nullptr) {
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
    UPDATE_LOG_PRINT("Begin write flash, mtd:%s\n", pszDev);
    int lRet = 0;
    if (ulFlashType == FLASH_TYPE_NOR) {
        lRet = WriteNor(stMode, pszDev, pszFile, ulPartSize, ulFileOffset, ulLength, ulFlashOffset);
    } else if (ulFlashType == FLASH_TYPE_EMMC) {
        lRet = WriteEmmc(stMode, pszDev, pszFile, ulPartSize, ulFileOffset, ulLength, ulFlashOffset);
    } else {
        if (stMode.bProbe && IsEntryDev(pszDev, IMAGE_ENTRY_CONFIG) &&
            (stFs.bUbiRuntime || (!stFs.bYaffs2 && !stFs.bJffs2 && !stFs.bSquashfs))) {
            // The runtime configuration lives in a mounted file system: clear
            // it there instead of erasing the partition under the mount.
            UpdateSystem("rm -rf /var/runtime/*");
            UPDATE_LOG_PRINT("rm -rf /var/runtime/*.\n");
            return 0;
        }
        lRet = WriteNand(stMode, stFs, pszDev, pszFile, ulFileOffset, ulLength);
    }
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
    return WriteWithMode(PACKAGE_MODE, pszDev, pszFile, ulPartSize, ulFlashType, ulFileOffset, ulLength,
                         ulFlashOffset);
}

int WriteFlashSingle(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                     uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset)
{
    return WriteWithMode(SINGLE_MODE, pszDev, pszFile, ulPartSize, ulFlashType, ulFileOffset, ulLength,
                         ulFlashOffset);
}

uint64_t GetFileSize(const char *pszPath)
{
    struct stat stInfo = {};
    if (pszPath == nullptr || stat(pszPath, &stInfo) != 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(stInfo.st_size);
}

int CheckItemImage(const UPDATE_ITEM_S *pstItem, unsigned ulEntry)
{
    // The tools read the image straight out of the package, after erasing:
    // a range past its end (a cut or hostile package) would leave the
    // partition erased or half written, and a length of 0 makes them take
    // the whole package file. The configuration is only erased.
    const char *pszDev = g_pstFlashLayout->astImageDev[ulEntry].pszDevName;
    const SUB_IMAGE_S *pstImage =
        SubImageAt(pstItem->pstHead, pstItem->ulHeadCount, g_pstFlashLayout->astImageDev[ulEntry].ulImageIdx);
    if (pszDev == nullptr || ulEntry == IMAGE_ENTRY_CONFIG ||
        (pstImage->ulFileLength != 0 && CheckImageInPacket(pstItem->pszPacketFile, pstImage) == 0)) {
        return 0;
    }
    UPDATE_LOG_PRINT("no complete image for %s in the package, nothing written\n", pszDev);
    return -1;
}

int WriteItemImage(const UPDATE_ITEM_S *pstItem, unsigned ulEntry, unsigned ulSlot, bool bPrintLine)
{
    const IMAGE_DEV_S &stDev = g_pstFlashLayout->astImageDev[ulEntry];
    const SUB_IMAGE_S *pstImage = SubImageAt(pstItem->pstHead, pstItem->ulHeadCount, stDev.ulImageIdx);
    (bPrintLine ? UpdateLogPrint : UpdateLog)(
        __FILE_NAME__, __LINE__, "read FileName:%.*s, FileLength:%d, FileOffset: %d, FlashOffset:%d\n",
        static_cast<int>(SUB_IMAGE_NAME_LEN), pstImage->szFileName, static_cast<int>(pstImage->ulFileLength),
        static_cast<int>(pstImage->ulFileOffset), static_cast<int>(pstImage->ulFlashOffset));
    if (stDev.pszDevName == nullptr) {
        UPDATE_LOG_PRINT("this board has no partition for image entry %u\n", ulEntry);
        return -1;
    }
    if (CheckItemImage(pstItem, ulEntry) != 0) {
        return -1;
    }
    return WriteFlash(stDev.pszDevName, pstItem->pszPacketFile, g_pstFlashLayout->pstPartSet[ulSlot].ullSize,
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
    int lRet = WriteFlashSingle(pszDev, pstKind->pszLocalPath, pstSlot->ullSize, g_pstFlashLayout->ulFlashType, 0,
                                ulLength, pstSlot->ullOffset);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("update uImage failed.\n");
    }
    return lRet;
}
