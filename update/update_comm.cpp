#include "update/update_comm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "fetch/fetch_progress.h"
#include "include/flash_layout.h"
#include "include/text_util.h"
#include "package/install.h"
#include "package/packet.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
// Single items go through the component bits lowest first; the TV
// configuration is the last of them.
constexpr unsigned LAST_ITEM_BIT = 11;

constexpr const char *RESULT_NAMES[LAST_ITEM_BIT + 1] = {
    "uImage", "program", "uboot", "config", "bootlogo", "activex", nullptr, "oem",
    "slave_uboot", "slave_kernel", "slave_program", "tvconfig",
};

} // namespace

bool IsWholePackage(uint64_t ulType)
{
    return (ulType & UPDATE_TYPE_ALL) == (g_pstFlashLayout->ulImageMask & UPDATE_TYPE_ALL);
}

int ReadExePath(char *pszPath)
{
    ssize_t lLen = readlink("/proc/self/exe", pszPath, EXE_PATH_LEN);
    if (lLen < 0 || lLen >= static_cast<ssize_t>(EXE_PATH_LEN)) {
        UPDATE_LOG_PRINT("read update link failed, error: %s\n", strerror(lLen < 0 ? errno : ENAMETOOLONG));
        pszPath[0] = '\0';
        return -1;
    }
    pszPath[lLen] = '\0';
    return 0;
}

int RelocateSelf(char *argv[])
{
    char szPath[EXE_PATH_LEN];
    if (ReadExePath(szPath) != 0) {
        return -1;
    }
    if (strcmp(szPath, MEMUPDATE_FILE) == 0 || strcmp(szPath, HANDOVER_UPDATER) == 0) {
        return 0;
    }
    char szQuoted[CMD_BUF_LEN];
    char szCmd[CMD_BUF_LEN];
    if (ShellQuote(szPath, szQuoted) != 0 || !FORMAT_TEXT(szCmd, "cp  -f %s %s", szQuoted, MEMUPDATE_FILE)) {
        return -1;
    }
    // A running copy keeps its own file, and a planted link is not written through.
    RemoveTmpTarget(MEMUPDATE_FILE);
    int lRet = UpdateSystem(szCmd);
    if (lRet != 0) {
        UPDATE_LOG("failed to exec cmd %s, iRet %d\n", szCmd, lRet);
        // A copy cut short by a full /tmp is no updater.
        RemoveTmpTarget(MEMUPDATE_FILE);
        return lRet;
    }
    fflush(nullptr);
    execv(MEMUPDATE_FILE, argv);
    UPDATE_LOG("failed to start progress %s \n", MEMUPDATE_FILE);
    return -1;
}

int RelocateUpdate(const SUB_IMAGE_S *pstEntry, const char *pszPacketFile)
{
    UPDATE_LOG("replace update ......\n");
    UPDATE_LOG("read FileName:%.*s, FileLength:%d, FileOffset: %d, pszBinFile: %s\n",
               static_cast<int>(SUB_IMAGE_NAME_LEN), pstEntry->szFileName, static_cast<int>(pstEntry->ulFileLength),
               static_cast<int>(pstEntry->ulFileOffset), pszPacketFile);
    RemoveTmpTarget(HANDOVER_UPDATER);
    // An updater cut short (a truncated package, a record pointing past its
    // end, a full /tmp) would run as whatever its first bytes happen to be:
    // only a whole one is unpacked, and a half-written one is removed.
    int lRet = UnpackWholeImage(pszPacketFile, pstEntry, HANDOVER_UPDATER);
    if (lRet != 0) {
        UPDATE_LOG("unpack update to %s failed.\n", HANDOVER_UPDATER);
    }
    return lRet;
}

int ComposeLaunchCmd(const char *pszDir, const char *pszArgs, char *pszCmd)
{
    char szDir[CMD_BUF_LEN];
    if (ShellQuote(pszDir, szDir) != 0 || !FormatTextN(pszCmd, CMD_BUF_LEN, "chmod +x %s; %s -local %s %s -loop",
                                                        HANDOVER_UPDATER, "/tmp/busybox update", szDir, pszArgs)) {
        return -1;
    }
    return 0;
}

int LaunchUpdate(const char *pszDir, const char *pszArgs)
{
    char szCmd[CMD_BUF_LEN];
    if (ComposeLaunchCmd(pszDir, pszArgs, szCmd) != 0) {
        UPDATE_LOG_PRINT("Launch update cmd (%s) failed\n", pszDir);
        return -1;
    }
    UPDATE_LOG("%s\n", szCmd);
    UPDATE_LOG_PRINT("Launch update cmd (%s)\n", szCmd);
    // The launched updater may ask on the terminal before a boot loader is
    // replaced, and its writes take as long as they take: the watch of this
    // run waits for it instead of declaring a stall and rebooting under it.
    SetLaunchedUpdater(true);
    int lRet = UpdateSystemInteractive(szCmd);
    SetLaunchedUpdater(false);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("Launch update cmd (%s) failed\n", szCmd);
    }
    return lRet;
}

int CreateUpdateLink(UPDATE_LINK_S *pstLink)
{
    if (link(pstLink->szPacketFile, pstLink->szLinkFile) != 0) {
        UPDATE_LOG_PRINT("failed to create hard link %s for %s, error %s\n", pstLink->szLinkFile,
                         pstLink->szPacketFile, strerror(errno));
        return -1;
    }
    UPDATE_LOG("create hard link %s success\n", pstLink->szLinkFile);
    return 0;
}

void RestorePacketName(const UPDATE_LINK_S *pstLink)
{
    // A package the launched updater left in place is the same file as the
    // link (renaming one name onto the other would keep both): the link just
    // goes. A removed package gets its name back from the link.
    struct stat stInfo = {};
    if (lstat(pstLink->szPacketFile, &stInfo) == 0) {
        unlink(pstLink->szLinkFile);
    } else if (rename(pstLink->szLinkFile, pstLink->szPacketFile) != 0) {
        UPDATE_LOG_PRINT("failed to rename %s to %s, error: %s\n", pstLink->szLinkFile, pstLink->szPacketFile,
                         strerror(errno));
    }
}

int UpdateOneComponent(UPDATE_ITEM_S *pstItem)
{
    UPDATE_LINK_S stLink = {};
    uint64_t ulType = pstItem->ulType;
    if (ulType == UPDATE_TYPE_ALL) {
        // What this board supports of the whole-package kinds.
        ulType = g_pstFlashLayout->ulImageMask & UPDATE_TYPE_ALL;
    }
    if ((pstItem->pstReq->usUpdateType & UPDATE_TYPE_UPDATE) != 0) {
        ulType |= UPDATE_TYPE_UPDATE;
    }
    pstItem->ulType = ulType;
    int lRet = InstallPacket(pstItem, &stLink);
    if (stLink.ulLinked == 1) {
        RestorePacketName(&stLink);
    }
    return lRet;
}

int UpdateComponents(UPDATE_ITEM_S *pstItem)
{
    uint64_t ulRemain = pstItem->pstReq->usUpdateType & ~static_cast<uint64_t>(UPDATE_TYPE_UPDATE);
    if (IsWholePackage(ulRemain)) {
        ulRemain &= ~static_cast<uint64_t>(UPDATE_TYPE_ALL);
        pstItem->ulType = UPDATE_TYPE_ALL;
        pstItem->pszFileName = UPDATE_ALL_FILE_NAME;
        int lRet = UpdateOneComponent(pstItem);
        if (lRet != 0) {
            UPDATE_LOG_PRINT("update %s failed! ulRet=%d\n", UPDATE_ALL_FILE_NAME, lRet);
            return lRet;
        }
    }
    for (unsigned ulBit = 0; ulBit <= LAST_ITEM_BIT; ++ulBit) {
        if ((ulRemain & (1ull << ulBit)) == 0) {
            continue;
        }
        pstItem->ulType = 1ull << ulBit;
        pstItem->pszFileName = GetUpdateFileName(ulBit);
        int lRet = UpdateOneComponent(pstItem);
        if (lRet != 0) {
            UPDATE_LOG_PRINT("update %s failed! ulRet=%d\n", pstItem->pszFileName, lRet);
            return lRet;
        }
    }
    return 0;
}

void ReportUpdateResult(const UPDATE_REQ_S *pstReq)
{
    if ((pstReq->usUpdateType & UPDATE_TYPE_UPDATE) != 0) {
        return;
    }
    if (IsWholePackage(pstReq->usUpdateType)) {
        UPDATE_LOG_PRINT("update all success!\n");
        return;
    }
    for (unsigned ulBit = 0; ulBit <= LAST_ITEM_BIT; ++ulBit) {
        if ((pstReq->usUpdateType & (1u << ulBit)) != 0 && RESULT_NAMES[ulBit] != nullptr) {
            UPDATE_LOG_PRINT("update %s success!\n", RESULT_NAMES[ulBit]);
        }
    }
}
