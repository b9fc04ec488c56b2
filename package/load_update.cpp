#include "package/load_update.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "fetch/fetch_progress.h"
#include "fetch/retrieve.h"
#include "include/flash_layout.h"
#include "include/owners.h"
#include "include/text_util.h"
#include "include/update_item.h"
#include "package/compat.h"
#include "package/packet.h"
#include "package/packet_trust.h"
#include "package/ver_cmp.h"
#include "update/update_args.h"
#include "update/update_comm.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
bool s_bWorkerRunning = false;  // guarded by g_stWatchMutex

struct WorkerEnd {
    ~WorkerEnd() { WorkerEnded(); }
};

// The installed inner version, "Unknown" when unreadable.
void ReadPreviousVersion(char (&szInnerVer)[VERSION_BUF_LEN])
{
    char szPubVer[VERSION_BUF_LEN] = "Unknown";
    char szNewVer[VERSION_BUF_LEN] = "Unknown";
    char szBuildDate[BUILD_DATE_BUF_LEN] = {};
    char szBuildTime[BUILD_TIME_BUF_LEN] = {};
    CopyText(szInnerVer, "Unknown");
    (void)ReadVersionFile(szPubVer, szNewVer, szInnerVer, szBuildDate, szBuildTime);
}

void WriteUpdateRecord(const char *pszPreviousInner, const char *pszImageInner)
{
    mkdir("/var/runtime/log", 0755);
    RemoveTmpTarget(UPDATE_RECORD_FILE);
    FileOwner pFile(fopen(UPDATE_RECORD_FILE, "w"));
    if (!pFile) {
        printf("Open recent update log file %s failed\n", UPDATE_RECORD_FILE);
        fflush(stdout);
        return;
    }
    fprintf(pFile.get(), "Previous Verion: %s\n", pszPreviousInner);
    fprintf(pFile.get(), "Upgraded Verion: %s\n", pszImageInner);
    fflush(pFile.get());
    UpdateSystem("date>>/var/runtime/log/update_record.log");
}

int LoadUpdate(const UPDATE_REQ_S *pstReq)
{
    UPDATE_LOG("UPDATE_LoadUpdate\n");
    if (IsFetchedByTool(pstReq->usTransType) && g_lDaemonsStopped == 0) {
        StopDeviceDaemons();
    }
    HeapOwner<char> pszCompat(static_cast<char *>(calloc(1, PACKET_COMPAT_LEN)));
    if (!pszCompat) {
        UPDATE_LOG_PRINT("compare version failed.\n");
        return -1;
    }
    char szRemoteFile[CMD_BUF_LEN] = {};
    char szLocalFile[CMD_BUF_LEN] = {};
    GetPacketFileName(pstReq, szRemoteFile, szLocalFile);
    // One byte more than the head, so the split head is always terminated.
    char szHead[PACKET_HEAD_LEN + 1] = {};
    int lRet = GetVersionInfo(pstReq->usTransType, pstReq->szRemote, pstReq->szUser, pstReq->szPassword,
                              szRemoteFile, pstReq->szUrl, std::span<char>(szHead, PACKET_HEAD_LEN),
                              std::span<char>(pszCompat.get(), PACKET_COMPAT_LEN));
    if (lRet != 0) {
        UPDATE_LOG_PRINT("compare version failed.\n");
        return lRet;
    }
    // Nothing but the head is read before the signature is known good.
    lRet = VerifyPacketSignature(szLocalFile);
    if (lRet != 0) {
        RemoveTmpFiles();
        return lRet;
    }
    uint32_t ulCount = 0;
    SubImageTablePtr pstTable(GetSubImageTable(szLocalFile, &ulCount));
    if (!pstTable) {
        UPDATE_LOG_PRINT("update failed! please try again!\n");
        return -1;
    }
    if ((pstReq->usUpdateType & UPDATE_TYPE_UBOOT) != 0 && (pstReq->usUpdateType & UPDATE_TYPE_UPDATE) == 0) {
        UPDATE_LOG_PRINT("warning: it will be a risk to update u-boot!");
        if (ConfirmUpdate() != 0) {
            UPDATE_LOG_PRINT("\r\nuser quit updating u-boot.bin!\n");
            return -1;
        }
    }
    uint32_t ulCrc = 0;
    // The image inner version is head field 0; keep it before the head is split.
    char szImageInner[HEAD_VERSION_LEN] = {};
    PACKET_HEAD_INFO_S stInfo = {};
    {
        char szCopy[PACKET_HEAD_LEN + 1] = {};
        memcpy(szCopy, szHead, PACKET_HEAD_LEN);
        SplitPacketHead(szCopy, &stInfo);
        memcpy(szImageInner, stInfo.szInnerVersion, sizeof(szImageInner));
    }
    lRet = CheckUpdateValid(pstReq->usForceFlag, szHead, pszCompat.get(), &ulCrc);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("check update valid failed.\n");
        return lRet;
    }
    // The boot environment is rewritten by the installer right before the
    // boot loader itself: a check, a hand-over or a run that stops earlier
    // must leave the running boot loader's checksums as they are.
    pszCompat.reset();

    if (pstReq->usCheckFlag == 1) {
        if (CheckPacketCrc(ulCrc, szLocalFile) != 0) {
            UPDATE_LOG_PRINT("update check crc failed.\n");
            RemoveTmpFiles();
            return UPDATE_ERR_CRC;
        }
        SetWatchState(0, 0, 1);
        return 0;
    }
    if (g_lDaemonsStopped == 0) {
        StopDeviceDaemons();
    }
    // Read before the first write: the version file lives on the program
    // partition, which the installation rewrites under its file system.
    char szPreviousInner[VERSION_BUF_LEN];
    ReadPreviousVersion(szPreviousInner);
    UPDATE_ITEM_S stItem = {const_cast<UPDATE_REQ_S *>(pstReq), 0, nullptr, szLocalFile, pstTable.get(), ulCrc,
                            ulCount};
    lRet = UpdateComponents(&stItem);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("update failed! please try again!, ulRet=%d\n", lRet);
        return lRet;
    }
    SetUpdateRate(99);
    if (pstReq->usCheckFlag == 0) {
        SetUpdateRate(100);
    }
    if (IsWholePackage(pstReq->usUpdateType)) {
        WriteUpdateRecord(szPreviousInner, szImageInner);
    }
    UPDATE_LOG_PRINT("done!\n");
    RemovePacketFile();
    return 0;
}
} // namespace

bool IsWorkerRunning(void)
{
    pthread_mutex_lock(&g_stWatchMutex);
    bool bRunning = s_bWorkerRunning;
    pthread_mutex_unlock(&g_stWatchMutex);
    return bRunning;
}

void WorkerEnded(void)
{
    pthread_mutex_lock(&g_stWatchMutex);
    s_bWorkerRunning = false;
    pthread_mutex_unlock(&g_stWatchMutex);
}

void MarkWorkerStarted(void)
{
    pthread_mutex_lock(&g_stWatchMutex);
    s_bWorkerRunning = true;
    pthread_mutex_unlock(&g_stWatchMutex);
}

void *UPDATE_LoadUpdate(void *pvReq)
{
    WorkerEnd stEnd;
    int lRet = LoadUpdate(static_cast<const UPDATE_REQ_S *>(pvReq));
    if (lRet != 0) {
        SetUpdateFailed(lRet);
    }
    return nullptr;
}
