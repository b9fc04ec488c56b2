#include "package/install.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "custom/custom.h"
#include "custom/language.h"
#include "fetch/fetch_progress.h"
#include "flash/flash_write.h"
#include "flash/mtd_housekeeping.h"
#include "flash/slave_board.h"
#include "flash/update_nvram.h"
#include "include/flash_layout.h"
#include "include/text_util.h"
#include "package/packet.h"
#include "update/update_args.h"
#include "update/update_comm.h"
#include "package/packet_trust.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
const SUB_IMAGE_S *ImageAt(const UPDATE_ITEM_S *pstItem, uint64_t ulPos)
{
    return SubImageAt(pstItem->pstHead, pstItem->ulHeadCount, ulPos);
}

int HandOver(UPDATE_ITEM_S *pstItem, UPDATE_LINK_S *pstLink, const SUB_IMAGE_S *pstUpdater)
{
    int lRet = RelocateUpdate(pstUpdater, pstItem->pszPacketFile);
    if (lRet != 0) {
        return lRet;
    }
    const uint64_t ulType = pstItem->ulType & ~static_cast<uint64_t>(UPDATE_TYPE_UPDATE);
    char szUpdatePara[CMD_BUF_LEN] = {};
    AppendTypeWord(static_cast<unsigned>(ulType), 0, szUpdatePara);
    AppendRebootWords(pstItem->pstReq->usForceFlag, 0, szUpdatePara);
    UPDATE_LOG_PRINT("after encode, szUpdatePara: %s\n", szUpdatePara);

    char szDir[CMD_BUF_LEN] = {};
    if (CheckVerifiedPacket(pstItem->pszPacketFile) != 0) {
        return -1;
    }
    if (NeedRelocatePacket(pstItem->pszPacketFile) != 0) {
        UPDATE_LOG_PRINT("update relocate %s -> %s\n", pstItem->pszPacketFile, LOCAL_PACKET_FILE);
        char szQuoted[CMD_BUF_LEN];
        char szCmd[CMD_BUF_LEN];
        if (ShellQuote(pstItem->pszPacketFile, szQuoted) != 0 ||
            !FORMAT_TEXT(szCmd, "cp -f %s %s", szQuoted, LOCAL_PACKET_FILE)) {
            return -1;
        }
        RemoveTmpTarget(LOCAL_PACKET_FILE);
        lRet = UpdateSystem(szCmd);
        if (lRet != 0) {
            UPDATE_LOG("relocate cmd %s failed.\n", szCmd);
            // What a full /tmp let through is not the package.
            RemoveTmpTarget(LOCAL_PACKET_FILE);
            return lRet;
        }
        CopyText(szDir, TMP_DIR);
    } else {
        lRet = GetPacketDir(pstItem->pszPacketFile, szDir, sizeof(szDir));
        if (lRet != 0) {
            return lRet;
        }
    }
    if (!FORMAT_TEXT(pstLink->szLinkFile, "%s/ln%s", szDir, pstItem->pszFileName) ||
        !FORMAT_TEXT(pstLink->szPacketFile, "%s/%s", szDir, PACKET_FILE_NAME)) {
        return -1;
    }
    // A link an earlier run left behind may name an older package: it is
    // made anew, so that it is always this package and always removed after.
    unlink(pstLink->szLinkFile);
    lRet = CreateUpdateLink(pstLink);
    if (lRet != 0) {
        return lRet;
    }
    pstLink->ulLinked = 1;
    SetUpdateRate(20);
    return LaunchUpdate(szDir, szUpdatePara);
}

// The flash applets run as /tmp/busybox: make sure it is this updater.
int PrepareAppletRunner(void)
{
    struct stat stInfo = {};
    // Only a regular file of our own making is trusted; a link left by an
    // unpacked archive is replaced.
    if (lstat(HANDOVER_UPDATER, &stInfo) == 0 && !S_ISREG(stInfo.st_mode)) {
        RemoveTmpTarget(HANDOVER_UPDATER);
    }
    if (access(HANDOVER_UPDATER, R_OK | X_OK) == 0) {
        return 0;
    }
    char szCmd[CMD_BUF_LEN];
    if (access(PRESENT_UPDATER, R_OK | X_OK) == 0) {
        snprintf(szCmd, sizeof(szCmd), "ln -s %s %s", PRESENT_UPDATER, HANDOVER_UPDATER);
    } else {
        char szPath[EXE_PATH_LEN];
        char szQuoted[CMD_BUF_LEN];
        if (ReadExePath(szPath) != 0 || ShellQuote(szPath, szQuoted) != 0 ||
            !FORMAT_TEXT(szCmd, "cp  -f %s %s", szQuoted, HANDOVER_UPDATER)) {
            return -1;
        }
    }
    RemoveTmpTarget(HANDOVER_UPDATER);
    int lRet = UpdateSystem(szCmd);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("exec cmd %s failed\n", szCmd);
        // A copy cut short by a full /tmp would later pass for the applet runner.
        RemoveTmpTarget(HANDOVER_UPDATER);
    }
    return lRet;
}

int ApplyCustomisation(const UPDATE_ITEM_S *pstItem, const SUB_IMAGE_S *pstCustom)
{
    // A board without a neutral logo entry has no logo image in its
    // packages: its position would be the boot loader's, which must never be
    // stored as a boot logo. The archive's own logo still applies.
    const IMAGE_DEV_S &stLogoEntry = g_pstFlashLayout->astImageDev[IMAGE_ENTRY_LOGO_NON];
    if (stLogoEntry.pszDevName == nullptr) {
        UPDATE_LOG("no neutral logo entry on this board, logo image skipped.\n");
    } else {
        char szLogo[CMD_BUF_LEN];
        snprintf(szLogo, sizeof(szLogo), "%s/%s", TMP_DIR, CUSTOM_LOGO_NAME);
        const SUB_IMAGE_S *pstLogo = ImageAt(pstItem, stLogoEntry.ulImageIdx);
        int lRet = UnpackWholeImage(pstItem->pszPacketFile, pstLogo, szLogo);
        if (lRet != 0) {
            UPDATE_LOG("update unpack custom file failed.\n");
            return lRet;
        }
        char szCmd[CMD_BUF_LEN];
        (void)FORMAT_TEXT(szCmd, "flash_tool w %s", szLogo);
        // The exit status, not the raw wait status: 256 would end the session
        // with exit status 0 after a failure.
        lRet = UpdateSystem(szCmd);
        if (lRet != 0) {
            UPDATE_LOG("UPDATE_LoadLogoFile %s failed.\n", CUSTOM_LOGO_NAME);
            return lRet;
        }
    }
    UPDATE_LOG("update custom file.\n");
    // Part of an archive would be applied as far as it goes.
    int lRet = UnpackWholeImage(pstItem->pszPacketFile, pstCustom, CUSTOM_ZIP_FILE);
    if (lRet != 0) {
        UPDATE_LOG("update unpack custom file failed.\n");
        return lRet;
    }
    UPDATE_LOG("update UPDATE_LoadCustom.\n");
    if (UPDATE_LoadCustom(CUSTOM_ZIP_FILE) != 0) {
        UPDATE_LOG("load custom failed.\n");
    }
    return 0;
}

void RemountRuntimeReadOnly(void)
{
    UPDATE_LOG_PRINT("remount config mtd as read-only\n");
    if (IsRootfsYaffs2() == 0) {
        UpdateSystem("mount -o remount,ro -t yaffs2 /dev/mtdblock3 /var/runtime");
    } else if (IsRootfsJffs2() == 0 || (IsRootfsSquashfs() == 0 && IsRuntimeOnUbi() != 0)) {
        UpdateSystem("mount -o remount,ro -t jffs2 /dev/mtdblock3 /var/runtime");
    } else {
        UPDATE_LOG_PRINT("remount nothing\n");
    }
}

// The images in their fixed order, each followed by its progress value.
struct IMAGE_STEP_S {
    uint64_t ulBit;
    unsigned ulEntry;
    unsigned ulSlot;
    const char *pszStart;   // logged and printed before the write
    bool bPrintLine;        // the image line also goes to standard output
    const char *pszFailed;  // logged when the write fails; null: the step goes on
    uint32_t ulRate;
};

constexpr IMAGE_STEP_S IMAGE_STEPS[] = {
    {UPDATE_TYPE_UIMAGE, IMAGE_ENTRY_KERNEL, PART_SLOT_KERNEL, "update uImage......\n", true,
     "update uImage failed.\n", 60},
    {UPDATE_TYPE_PROGRAM, IMAGE_ENTRY_PROGRAM, PART_SLOT_PROGRAM, "update program......\n", false,
     "update program failed.\n", 65},
    {UPDATE_TYPE_TVCONFIG, IMAGE_ENTRY_TVCONFIG, PART_SLOT_TVCONFIG, "update tvconfig......\n", false,
     "update tvconfig failed.\n", 70},
    {UPDATE_TYPE_ACTIVEX, IMAGE_ENTRY_ACTIVEX, PART_SLOT_ACTIVEX, "update web oem activex & logo......\n", false,
     nullptr, 80},
    {UPDATE_TYPE_UBOOT, IMAGE_ENTRY_UBOOT, PART_SLOT_UBOOT, "loading u-boot.bin....\n", false,
     "update uboot failed.\n", 85},
    {UPDATE_TYPE_CONFIG, IMAGE_ENTRY_CONFIG, PART_SLOT_CONFIG, "loading config....\n", false, nullptr, 0},
};

// Every image, the slave board's too, is checked before anything is written:
// a cut package must not leave the kernel new and the program old, nor a
// write refused after its erase leave a partition empty.
int CheckItemImages(const UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages)
{
    for (const IMAGE_STEP_S &stStep : IMAGE_STEPS) {
        const SUB_IMAGE_S *pstImage = stImages.apstImage[stStep.ulEntry];
        // The configuration is only erased: its image is never read.
        const bool bRead = stStep.ulEntry != IMAGE_ENTRY_CONFIG &&
                           g_pstFlashLayout->astImageDev[stStep.ulEntry].pszDevName != nullptr;
        if ((pstItem->ulType & stStep.ulBit) != 0 &&
            ((bRead && CheckImageInPacket(pstItem->pszPacketFile, pstImage) != 0) ||
             CheckItemImage(pstItem, pstImage, stStep.ulEntry, stStep.ulSlot) != 0)) {
            return -1;
        }
    }
    return CheckSlaveBoard(pstItem, stImages);
}

int WriteImages(UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages)
{
    if ((pstItem->ulType & 0x3F) != 0) {
        KillJffs2Gc();
    }
    // A failed web plug-in or configuration write does not stop the later
    // steps, but the item must not be reported as installed.
    const char *pszUnreported = nullptr;
    for (const IMAGE_STEP_S &stStep : IMAGE_STEPS) {
        if ((pstItem->ulType & stStep.ulBit) != 0) {
            if (stStep.ulBit == UPDATE_TYPE_CONFIG) {
                RemountRuntimeReadOnly();
            }
            if (stStep.ulBit == UPDATE_TYPE_UBOOT && UpdateEnvBeforeUboot() != 0) {
                return -1;
            }
            UpdateLogPrint(__FILE_NAME__, __LINE__, "%s", stStep.pszStart);
            int lRet = WriteItemImage(pstItem, stImages.apstImage[stStep.ulEntry], stStep.ulEntry, stStep.ulSlot,
                                      stStep.bPrintLine);
            if (lRet != 0 && stStep.pszFailed != nullptr) {
                UpdateLog(__FILE_NAME__, __LINE__, "%s", stStep.pszFailed);
                return lRet;
            }
            if (lRet != 0) {
                pszUnreported = g_pstFlashLayout->astImageDev[stStep.ulEntry].pszDevName;
                UPDATE_LOG_PRINT("write of %s failed, going on with the remaining images\n",
                                 pszUnreported != nullptr ? pszUnreported : "(none)");
            }
        }
        if (stStep.ulRate != 0) {
            SetUpdateRate(stStep.ulRate);
        }
    }
    int lRet = UpdateSlaveBoard(pstItem, stImages);
    if (lRet == 0 && pszUnreported != nullptr) {
        UPDATE_LOG_PRINT("installation failed: %s was not written\n", pszUnreported);
        return -1;
    }
    return lRet;
}
} // namespace

int InstallPacket(UPDATE_ITEM_S *pstItem, UPDATE_LINK_S *pstLink)
{
    pstLink->ulLinked = 0;
    if (pstItem->pstReq->usForceFlag != 1 && CheckPacketCrc(pstItem->ulCheckValue, pstItem->pszPacketFile) != 0) {
        UPDATE_LOG_PRINT("update check crc failed.\n");
        RemoveTmpFiles();
        return UPDATE_ERR_CRC;
    }
    char szCmd[CMD_BUF_LEN];
    snprintf(szCmd, sizeof(szCmd), "rm -rf %s", OEM_WORK_DIR);
    UPDATE_LOG("rm oem \n");
    int lRet = UpdateSystem(szCmd);
    if (lRet != 0) {
        UPDATE_LOG("rm oem : %s failed.\n", szCmd);
        return lRet;
    }
    const uint64_t ulProgramPos = GetImagePos(g_pstFlashLayout, IMAGE_ENTRY_PROGRAM);
    const SUB_IMAGE_S *pstUpdater = ImageAt(pstItem, ulProgramPos + UPDATE_POS_OFFSET);
    if ((pstItem->ulType & UPDATE_TYPE_UPDATE) != 0 && pstUpdater->ulFileLength != 0) {
        return HandOver(pstItem, pstLink, pstUpdater);
    }

    ENTRY_IMAGES_S stImages = {};
    for (unsigned ulEntry = 0; ulEntry < IMAGE_DEV_ENTRIES; ++ulEntry) {
        stImages.apstImage[ulEntry] = ImageAt(pstItem, GetImagePos(g_pstFlashLayout, ulEntry));
    }
    lRet = CheckItemImages(pstItem, stImages);
    if (lRet != 0) {
        return lRet;
    }
    UPDATE_LoadLanguageCfg();
    lRet = PrepareAppletRunner();
    if (lRet != 0) {
        return lRet;
    }
    const SUB_IMAGE_S *pstCustom = ImageAt(pstItem, ulProgramPos + CUSTOM_POS_OFFSET);
    UPDATE_LOG("customization length: %d.\n", static_cast<int>(pstCustom->ulFileLength));
    if (pstCustom->ulFileLength != 0 && (pstItem->ulType & UPDATE_TYPE_UBOOT) == 0) {
        lRet = ApplyCustomisation(pstItem, pstCustom);
        if (lRet != 0) {
            return lRet;
        }
    }
    return WriteImages(pstItem, stImages);
}
