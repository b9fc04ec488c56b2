// The update applet: entry, applet dispatch and the update session.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "applets/applets.h"
#include "flash/flash_write.h"
#include "flash/mtd_housekeeping.h"
#include "flash/update_nvram.h"
#include "package/compat.h"
#include "include/flash_layout.h"
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
struct ReqFree {
    void operator()(UPDATE_REQ_S *pstReq) const { free(pstReq); }
};
using ReqOwner = std::unique_ptr<UPDATE_REQ_S, ReqFree>;

struct LogCloser {
    ~LogCloser() { UpdateLogClose(); }
};

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
    char szCmdLine[CMD_BUF_LEN] = {};
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        AppendText(szCmdLine, argv[i]);
        AppendText(szCmdLine, " ");
    }
    UPDATE_LOG_PRINT("Start update process: %s\n", szCmdLine);
    UPDATE_LOG("TransType:%u, UpdateType:%u, ForceFlag:%u, remote:%s, user:%s, password:%s\n",
               pstReq->usTransType, pstReq->usUpdateType, pstReq->usForceFlag, pstReq->szRemote, pstReq->szUser,
               pstReq->szPassword);
}

int UpdateSession(int argc, char *argv[])
{
    ReqOwner pstReq(static_cast<UPDATE_REQ_S *>(calloc(1, sizeof(UPDATE_REQ_S))));
    if (!pstReq) {
        RebootDevice();
        return -1;
    }
    char szExtraArgs[EXTRA_ARGS_LEN] = {};
    if (ParseUpdateArgs(argc, argv, pstReq.get(), szExtraArgs) != 0) {
        return UpdateByExtraArgs(pstReq.get(), szExtraArgs);
    }
    if (pstReq->usFixFlag == 1) {
        return FixBootEnv(static_cast<uint8_t>(pstReq->usFixValue));
    }
    if (pstReq->usUpdateType == 0) {
        ShowInformation(pstReq.get());
        return 0;
    }
    return UpdateRun(argc, argv, pstReq.get());
}

int UpdateRun(int argc, char *argv[], UPDATE_REQ_S *pstReq)
{
    if (FUNC_CountPid(argv[0]) > 1) {
        printf("Update is running, please wait.\n");
        fflush(stdout);
        return -1;
    }
    LogCloser stLogCloser;
    if (UpdateLogOpen() != 0) {
        printf("Open log file %s failed\n", UPDATE_LOG_FILE);
        fflush(stdout);
    }
    StartUpdateProcess(argc, argv, pstReq);
    int lRet = CheckRemoteAddr(pstReq);
    if (lRet != 0) {
        return lRet;
    }
    if (pstReq->usDebugFlag != 1) {
        UPDATE_LOG_PRINT("update: installing firmware is not available in this build yet\n");
        return -1;
    }
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

void FinishSession(UPDATE_REQ_S *pstReq)
{
    UnlockNorFlash();
    ReportSessionResult(pstReq);
    if (pstReq->usRebootFlag == 1 && pstReq->usCheckFlag == 0) {
        UPDATE_LOG_PRINT("Update success. System reboot now...");
        RebootDevice();
    }
}

void ReportSessionResult(const UPDATE_REQ_S *pstReq)
{
    // The per-component report comes with the package installation.
    (void)pstReq;
}

int UpdateByExtraArgs(UPDATE_REQ_S *pstReq, const char *pszExtraArgs)
{
    (void)pszExtraArgs;
    if (pstReq->usTransType > TRANS_TYPE_CLOUD) {
        PrintUsage();
        return -1;
    }
    int lRet = CheckRemoteAddr(pstReq);
    if (lRet != 0) {
        UpdateLogClose();
        return lRet;
    }
    UPDATE_LOG_PRINT("update: handing over to the package's updater is not available in this build yet\n");
    return -1;
}

int UpdateMain(int argc, char *argv[])
{
    return UpdateApplet(argc, argv);
}
