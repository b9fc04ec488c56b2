// The update applet: entry, applet dispatch and the update session.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "applets/applets.h"
#include "flash/flash_write.h"
#include "flash/mtd_housekeeping.h"
#include "flash/update_nvram.h"
#include "fetch/fetch_progress.h"
#include "fetch/retrieve.h"
#include "package/load_update.h"
#include "package/packet.h"
#include "package/packet_trust.h"
#include "update/update_comm.h"
#include "package/compat.h"
#include "include/flash_layout.h"
#include "include/owners.h"
#include "include/progress.h"
#include "include/text_util.h"
#include "include/update_types.h"
#include "update/update_args.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"
#include "update/update_session.h"

namespace {
using AppletEntry = int (*)(int argc, char *argv[]);

struct APPLET_S {
    const char *pszName;
    AppletEntry pfnEntry;
};

int UpdateApplet(int argc, char *argv[]);

constexpr APPLET_S APPLETS[] = {
    {"update", UpdateApplet},
    {"flashcp", FlashcpMain},
    {"flash_eraseall", FlashEraseallMain},
};

// The record lives for the whole run; the worker only reads it.

void ShowInformation(const UPDATE_REQ_S *pstReq)
{
    switch (pstReq->usShowInfo) {
    case SHOW_INFO_INNER:
        ShowVersion(SHOW_INFO_INNER);
        break;
    case SHOW_INFO_FULL_OLD:
    case SHOW_INFO_FULL:
        ShowVersion(SHOW_INFO_FULL);
        break;
    case SHOW_INFO_HELP:
        PrintUsage();
        break;
    default:
        break;
    }
    fflush(stdout);
}

int UpdateApplet(int argc, char *argv[])
{
    memset(&g_stWatchState, 0, sizeof(g_stWatchState));
    memset(&g_stDownloadStat, 0, sizeof(g_stDownloadStat));
    SetTrustedKeyDir(UPDATE_KEY_DIR);
    if (GetFlashLayout(&g_pstFlashLayout) != 0) {
        return -1;
    }
    if (argc < 2) {
        PrintUsage();
        return -1;
    }
    if (argv[1][0] != '-') {
        for (const APPLET_S &stApplet : APPLETS) {
            if (strcmp(argv[1], stApplet.pszName) == 0) {
                return stApplet.pfnEntry(argc - 1, argv + 1);
            }
        }
    }
    return UpdateSession(argc, argv);
}
} // namespace

void StartUpdateProcess(int argc, char *argv[], const UPDATE_REQ_S *pstReq)
{
    // A command line longer than the buffer is cut: the log line stays whole.
    // The password word is never written out.
    char szCmdLine[CMD_BUF_LEN] = {};
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        const bool bPassword =
            i > 0 && argv[i - 1] != nullptr && (strcmp(argv[i - 1], "-p") == 0 || strcmp(argv[i - 1], "-password") == 0);
        AppendText(szCmdLine, bPassword ? MaskedPassword(argv[i]) : argv[i]);
        AppendText(szCmdLine, " ");
    }
    UPDATE_LOG_PRINT("Start update process: %s\n", szCmdLine);
    UPDATE_LOG("TransType:%u, UpdateType:%u, ForceFlag:%u, remote:%s, user:%s, password:%s\n",
               pstReq->usTransType, pstReq->usUpdateType, pstReq->usForceFlag, pstReq->szRemote, pstReq->szUser,
               MaskedPassword(pstReq->szPassword));
}

int UpdateSession(int argc, char *argv[])
{
    // Freed on the early returns; once a worker may run, EndSession decides.
    HeapOwner<UPDATE_REQ_S> pstOwner(static_cast<UPDATE_REQ_S *>(calloc(1, sizeof(UPDATE_REQ_S))));
    UPDATE_REQ_S *pstReq = pstOwner.get();
    if (pstReq == nullptr) {
        RebootDevice();
        return -1;
    }
    char szExtraArgs[EXTRA_ARGS_LEN] = {};
    int lParse = ParseUpdateArgs(argc, argv, pstReq, szExtraArgs);
    if (lParse == ARGS_REFUSED) {
        PrintUsage();
        fflush(stdout);
        return -1;
    }
    if (lParse != 0) {
        // A launched updater that does not know the words either would hand
        // over to itself again, without end.
        for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
            if (strcmp(argv[i], "-loop") == 0) {
                printf("update: unknown words in a handed-over request: %s\n", szExtraArgs);
                PrintUsage();
                fflush(stdout);
                return -1;
            }
        }
        return UpdateByExtraArgs(pstReq, szExtraArgs, argv[0]);
    }
    if (pstReq->usFixFlag == 1) {
        return FixBootEnv(static_cast<uint8_t>(pstReq->usFixValue));
    }
    if (pstReq->usUpdateType == 0) {
        ShowInformation(pstReq);
        return 0;
    }
    // A second instance is refused before it touches anything in /tmp: the
    // running one executes from /tmp/memupdate and copies itself from there,
    // and a relocation that fails here must not reboot the device under it.
    // The copy started by the relocation counts again.
    if (RefuseSecondInstance(argv[0])) {
        return -1;
    }
    if (RelocateSelf(argv) != 0) {
        RebootDevice();
        return -1;
    }
    int lRet = UpdateRun(argc, argv, pstReq);
    EndSession(pstOwner.release());
    return lRet;
}

bool RefuseSecondInstance(const char *pszName)
{
    if (FUNC_CountPid(pszName) > 1) {
        printf("Update is running, please wait.\n");
        fflush(stdout);
        return true;
    }
    return false;
}

int UpdateRun(int argc, char *argv[], UPDATE_REQ_S *pstReq)
{
    if (UpdateLogOpen() != 0) {
        printf("Open log file %s failed\n", UPDATE_LOG_FILE);
        fflush(stdout);
    }
    StartUpdateProcess(argc, argv, pstReq);
    int lRet = CheckRemoteAddr(pstReq);
    if (lRet != 0) {
        return lRet;
    }
    SetTrustedKeyDir(UPDATE_KEY_DIR);
    if (pstReq->usDebugFlag == 1 && PacketsMustBeSigned()) {
        // A bare image carries no signature: no way around the package check.
        UPDATE_LOG_PRINT("raw image refused: this device installs signed packages only\n");
        return UPDATE_ERR_SIGNATURE;
    }
    if (pstReq->usDebugFlag == 1) {
        // Raw-image mode: one image, written in this thread, no worker and no watch.
        lRet = UpdateSingleImage(pstReq);
        if (lRet != 0) {
            UPDATE_LOG_PRINT("load or update failed!\n");
            UpdateLogClose();
            RemoveTmpFiles();
            UpdateSystem(SHELL_REBOOT_LINE);
            return lRet;
        }
        FinishSession(pstReq);
        return lRet;
    }
    if (InitWatchMutex() != 0) {
        UPDATE_LOG_PRINT("Init mutex failed!\n");
        RebootDevice();
        return -1;
    }
    lRet = WatchWorker(UPDATE_LoadUpdate, pstReq, WATCH_IDLE_LIMIT);
    if (lRet == WORKER_NOT_STARTED) {
        UPDATE_LOG_PRINT("load or update failed!\n");
        RebootDevice();
        return -1;
    }
    if (lRet != 0) {
        if (pstReq->usCheckFlag == 1) {
            UPDATE_LOG_PRINT("load or update failed!err:%d\n", lRet);
            pstReq->usRebootFlag = 0;
            RemoveTmpFiles();
        } else {
            UPDATE_LOG_PRINT("Update failed. System reboot soon...\n");
            pstReq->usRebootFlag = 1;
            pstReq->usCheckFlag = 0;
        }
    }
    if (lRet == 0) {
        FinishSession(pstReq);
    } else {
        UnlockNorFlash();
        if (pstReq->usRebootFlag == 1) {
            RebootDevice();
        }
    }
    return lRet;
}

int WatchWorker(void *(*pfnWorker)(void *), UPDATE_REQ_S *pstReq, unsigned ulIdleLimit)
{
    MarkWorkerStarted();
    if (CreateDetachedThread(pfnWorker, pstReq) != 0) {
        WorkerEnded();
        return WORKER_NOT_STARTED;
    }
    int lRet = WatchUpdateLimit(ulIdleLimit);
    // The watch ends at 100 per cent, before the worker has written the
    // update record and removed the package: give it the time to finish
    // instead of ending the process under it. A stalled worker is not waited for.
    for (unsigned i = 0; lRet != UPDATE_ERR_STALLED && i < WORKER_END_WAIT_POLLS && IsWorkerRunning(); ++i) {
        usleep(WORKER_END_POLL_US);
    }
    return lRet;
}

void EndSession(UPDATE_REQ_S *pstReq)
{
    // A worker still running (stalled past the watch) keeps reading the
    // record and writing the log until the process ends: leave both to it.
    // The pointer only keeps the record visibly owned for leak checkers; a
    // plain pointer, so no destructor at exit frees it under the worker.
    [[maybe_unused]] static UPDATE_REQ_S *s_pstKept = nullptr;
    if (IsWorkerRunning()) {
        s_pstKept = pstReq;
        return;
    }
    free(pstReq);
    UpdateLogClose();
}

void FinishSession(UPDATE_REQ_S *pstReq)
{
    UnlockNorFlash();
    ReportUpdateResult(pstReq);
    if (pstReq->usRebootFlag == 1 && pstReq->usCheckFlag == 0) {
        UPDATE_LOG_PRINT("Update success. System reboot now...");
        RebootDevice();
    }
}

// Without an updater in the package nothing will take the words this one did
// not know: say which they were, or a typo looks like a broken package.
static void ReportWordsNotUnderstood(const char *pszExtraArgs)
{
    char szWords[2 * EXTRA_ARGS_LEN] = {};
    std::string_view sv(pszExtraArgs);
    for (size_t ulStart = sv.find_first_not_of(' '); ulStart != std::string_view::npos;) {
        size_t ulEnd = sv.find(' ', ulStart);
        AppendText(szWords, szWords[0] == '\0' ? "'" : " '");
        AppendText(szWords, sv.substr(ulStart, ulEnd - ulStart));
        AppendText(szWords, "'");
        ulStart = sv.find_first_not_of(' ', ulEnd);
    }
    if (szWords[0] != '\0') {
        UPDATE_LOG_PRINT("update: not understood here: %s; the package carries no updater to hand them to\n", szWords);
    }
}

int UpdateByExtraArgs(UPDATE_REQ_S *pstReq, const char *pszExtraArgs, const char *pszName)
{
    if (pstReq->usTransType > TRANS_TYPE_CLOUD) {
        PrintUsage();
        return -1;
    }
    int lRet = CheckRemoteAddr(pstReq);
    if (lRet != 0) {
        UpdateLogClose();
        return lRet;
    }
    char szRemoteFile[CMD_BUF_LEN] = {};
    char szLocalFile[CMD_BUF_LEN] = {};
    GetPacketFileName(pstReq, szRemoteFile, szLocalFile);
    // The launch is composed before anything is fetched: words that do not
    // fit are refused whole, never cut.
    char szDir[CMD_BUF_LEN] = {};
    lRet = GetPacketDir(szLocalFile, szDir, sizeof(szDir));
    if (lRet != 0) {
        return lRet;
    }
    char szArgs[CMD_BUF_LEN] = {};
    char szCmd[CMD_BUF_LEN];
    if (EncodeRelaunchArgs(pstReq, pszExtraArgs, szArgs) != 0 || ComposeLaunchCmd(szDir, szArgs, szCmd) != 0) {
        UPDATE_LOG_PRINT("update: the words for the package's updater do not fit, nothing is handed over\n");
        return -1;
    }
    // The fetch and the unpacked updater would replace the files a running
    // update reads and executes.
    if (RefuseSecondInstance(pszName)) {
        return -1;
    }
    lRet = GetRemoteBinFile(pstReq->usTransType, pstReq->szRemote, pstReq->szUser, pstReq->szPassword, szRemoteFile,
                            pstReq->szUrl);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("Get File failed.\n");
        SetUpdateFailed(lRet);
        return lRet;
    }
    uint32_t ulCount = 0;
    SubImageTablePtr pstTable(GetSubImageTable(szLocalFile, &ulCount));
    if (!pstTable) {
        UPDATE_LOG_PRINT("update failed! please try again!\n");
        SetUpdateFailed(-1);
        return -1;
    }
    const SUB_IMAGE_S *pstUpdater = SubImageAt(pstTable.get(), ulCount, GetUpdateImagePos(g_pstFlashLayout));
    if (pstUpdater->ulFileLength == 0) {
        ReportWordsNotUnderstood(pszExtraArgs);
        UPDATE_LOG_PRINT("RelocateUpdate failed.\n");
        SetUpdateFailed(-1);
        return -1;
    }
    lRet = RelocateUpdate(pstUpdater, szLocalFile);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("RelocateUpdate failed.\n");
        SetUpdateFailed(lRet);
        return lRet;
    }
    return LaunchUpdate(szDir, szArgs);
}

int UpdateMain(int argc, char *argv[])
{
    return UpdateApplet(argc, argv);
}
