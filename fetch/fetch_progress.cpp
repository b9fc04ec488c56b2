#include "fetch/fetch_progress.h"
#include "include/owners.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "include/text_util.h"
#include "include/update_types.h"
#include "update/update_exec.h"
#include "update/update_device.h"
#include "update/update_log.h"

DOWNLOAD_STAT_S g_stDownloadStat = {};
WATCH_STATE_S g_stWatchState = {};
pthread_mutex_t g_stWatchMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {
constexpr size_t RATE_BUF_LEN = 16;
constexpr size_t STAT_BUF_LEN = 1000;
constexpr const char *STAT_FORMAT = "Stat:%u,DownladRate:%u";
constexpr const char *REMOVE_DOWNLOAD_CMD = "rm -rf /tmp/Program.bin /tmp/download_stat.log";

class WatchLock {
public:
    WatchLock() { pthread_mutex_lock(&g_stWatchMutex); }
    ~WatchLock() { pthread_mutex_unlock(&g_stWatchMutex); }
    WatchLock(const WatchLock &) = delete;
    WatchLock &operator=(const WatchLock &) = delete;
};

// Outcomes of ReplaceTmpFile.
constexpr int REPLACE_OPEN_FAILED = -1;
constexpr int REPLACE_LOCK_FAILED = -2;
constexpr int REPLACE_WRITE_FAILED = -3;
constexpr unsigned REPLACE_NAME_TRIES = 16;
constexpr size_t REPLACE_NAME_LEN = 128;

std::atomic<unsigned> s_ulReplaceSeq{0};
bool s_bLaunchedUpdater = false;  // guarded by g_stWatchMutex

// Readers in other processes (the device's user interface) must see the old
// content or the new one, never an empty or half-written file: the text goes
// into a new file beside pszPath, which is then renamed over it. The new file
// is created exclusively, so nothing planted under its name is written
// through, and the rename replaces a link planted at pszPath instead of
// following it. With bLock the new file is held under an exclusive flock
// until it carries the name. On failure pszPath keeps what it had.
int ReplaceTmpFile(const char *pszPath, const char *pszText, size_t ulLen, unsigned ulMode, int lExtraFlags,
                   bool bLock)
{
    char szNew[REPLACE_NAME_LEN];
    int lFd = -1;
    for (unsigned i = 0; lFd < 0 && i < REPLACE_NAME_TRIES; ++i) {
        if (!FORMAT_TEXT(szNew, "%s.%d.%u", pszPath, static_cast<int>(getpid()), s_ulReplaceSeq.fetch_add(1))) {
            return REPLACE_OPEN_FAILED;
        }
        lFd = open(szNew, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | lExtraFlags, ulMode);
        if (lFd < 0 && errno != EEXIST) {
            return REPLACE_OPEN_FAILED;
        }
    }
    if (lFd < 0) {
        return REPLACE_OPEN_FAILED;
    }
    FdOwner file(lFd);
    int lRet = 0;
    if (bLock && flock(file.Get(), LOCK_EX) != 0) {
        lRet = REPLACE_LOCK_FAILED;
    } else if (write(file.Get(), pszText, ulLen) != static_cast<ssize_t>(ulLen)) {
        lRet = REPLACE_WRITE_FAILED;
    } else if (rename(szNew, pszPath) != 0) {
        // The path cannot take a file (a folder stands there): as if it could not be opened.
        lRet = REPLACE_OPEN_FAILED;
    }
    if (lRet != 0) {
        unlink(szNew);
    }
    return lRet;
}

// The progress file alone; "failed to open" is logged only.
void WriteRateFile(uint32_t ulRate)
{
    char szRate[RATE_BUF_LEN] = {};
    int lLen = snprintf(szRate, sizeof(szRate), "%u", ulRate);
    int lRet = ReplaceTmpFile(UPDATE_RATE_FILE, szRate, static_cast<size_t>(lLen), 0644, 0, false);
    if (lRet == REPLACE_OPEN_FAILED) {
        UPDATE_LOG("failed to open %s fd %d \n", UPDATE_RATE_FILE, -1);
    } else if (lRet != 0) {
        UPDATE_LOG("failed to write %s\n", UPDATE_RATE_FILE);
    }
}

// One status record, written whole or not at all; 0 or -1 (reported).
int WriteStatRecord(uint32_t ulStat, uint32_t ulRate, bool bLock)
{
    char szRecord[STAT_BUF_LEN] = {};
    int lLen = snprintf(szRecord, sizeof(szRecord), STAT_FORMAT, ulStat, ulRate);
    if (lLen < 0 || lLen >= static_cast<int>(STAT_BUF_LEN)) {
        UPDATE_LOG_PRINT("Invalid param, maxLen=%d, strLen=%d.", static_cast<int>(STAT_BUF_LEN), lLen);
        return -1;
    }
    int lRet = ReplaceTmpFile(DOWNLOAD_STAT_FILE, szRecord, static_cast<size_t>(lLen), 0777, O_SYNC, bLock);
    if (lRet == REPLACE_OPEN_FAILED) {
        UPDATE_LOG_PRINT("failed to open");
    } else if (lRet == REPLACE_LOCK_FAILED) {
        UPDATE_LOG_PRINT("failed to lock");
    } else if (lRet != 0) {
        UPDATE_LOG_PRINT("failed to write");
    }
    return lRet == 0 ? 0 : -1;
}
} // namespace

int SetWatchState(int32_t lErr, uint32_t ulRate, uint32_t ulFinish)
{
    WatchLock lock;
    if (lErr != 0) {
        g_stWatchState.lErr = lErr;
    } else {
        g_stWatchState.ulProgress = ulRate;
        g_stWatchState.ulFinish = ulFinish;
    }
    return 0;
}

void ReadDownloadStat(uint32_t *pulRate, uint32_t *pulStat)
{
    unsigned ulRate = 0;
    unsigned ulStat = 0;
    struct stat stInfo {};
    if (stat(DOWNLOAD_STAT_FILE, &stInfo) != 0) {
        ulStat = DOWNLOAD_STAT_FAILED;
    } else {
        FileOwner pFile(fopen(DOWNLOAD_STAT_FILE, "r"));
        if (!pFile) {
            UPDATE_LOG_PRINT("failed to open");
            return;
        }
        // Whatever cannot be parsed keeps its 0.
        int lParsed = fscanf(pFile.get(), STAT_FORMAT, &ulStat, &ulRate);
        (void)lParsed;
    }
    *pulRate = ulRate;
    *pulStat = ulStat;
}

void MergeDownloadRate(uint32_t *pulRate)
{
    uint32_t ulDownRate = 0;
    uint32_t ulStat = DOWNLOAD_STAT_UNREADABLE;
    ReadDownloadStat(&ulDownRate, &ulStat);
    if (ulStat != DOWNLOAD_STAT_OK && ulStat != DOWNLOAD_STAT_BEGIN) {
        UPDATE_LOG_PRINT("Download failed err is[%u]\n", ulStat);
        UpdateSystem(REMOVE_DOWNLOAD_CMD);
        *pulRate = UPDATE_RATE_FAILED;
        return;
    }
    *pulRate = (*pulRate + ulDownRate) >> 1;
}

int SetUpdateRate(uint32_t ulRate)
{
    // szUrl is set once on the publishing thread before any merge can happen.
    if (ulRate <= 100 && g_stDownloadStat.szUrl[0] != '\0') {
        MergeDownloadRate(&ulRate);
    }
    WriteRateFile(ulRate);
    if (ulRate == UPDATE_RATE_FAILED) {
        return SetWatchState(UPDATE_ERR_GENERAL, 0, 0);
    }
    return SetWatchState(0, ulRate, 0);
}

void SetUpdateFailed(int32_t lCode)
{
    // One store of the real code: a watch poll between a general -1 and the
    // code would end the run with the wrong exit status.
    WriteRateFile(UPDATE_RATE_FAILED);
    SetWatchState(lCode != 0 ? lCode : UPDATE_ERR_GENERAL, 0, 0);
}

int InitDownloadStat(DOWNLOAD_STAT_S *pstStat)
{
    if (pstStat == nullptr) {
        UPDATE_LOG_PRINT("Invalid param.");
        return -1;
    }
    {
        WatchLock lock;
        pstStat->dTotalSize = 0;
        pstStat->dNowSize = 0;
        pstStat->ulStat = DOWNLOAD_STAT_BEGIN;
        pstStat->ulRate = 0;
    }
    memset(pstStat->szUrl, 0, sizeof(pstStat->szUrl));
    memset(pstStat->szLocalFile, 0, sizeof(pstStat->szLocalFile));

    return WriteStatRecord(DOWNLOAD_STAT_BEGIN, 0, false);
}

int WriteDownloadStat(void)
{
    // The progress callback stores these fields on this same thread.
    if (WriteStatRecord(g_stDownloadStat.ulStat, g_stDownloadStat.ulRate, true) != 0) {
        return -1;
    }
    SetUpdateRate(0);
    return 0;
}

int InitWatchMutex(void)
{
    return pthread_mutex_init(&g_stWatchMutex, nullptr);
}

int CreateDetachedThread(void *(*pfnEntry)(void *), void *pArg)
{
    pthread_attr_t stAttr;
    if (pthread_attr_init(&stAttr) != 0) {
        return -1;
    }
    if (pthread_attr_setdetachstate(&stAttr, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&stAttr);
        return -1;
    }
    pthread_t thread;
    if (pthread_create(&thread, &stAttr, pfnEntry, pArg) != 0) {
        pthread_attr_destroy(&stAttr);
        return -1;
    }
    pthread_attr_destroy(&stAttr);
    return 0;
}

int WatchUpdateLimit(unsigned ulIdleLimit)
{
    UPDATE_LOG_PRINT("Begin to start watch!\n");
    int32_t lLast = 0;
    unsigned ulIdle = 0;
    int lResult = 0;
    for (;;) {
        {
            WatchLock lock;
            if (g_stWatchState.lErr != 0) {
                lResult = g_stWatchState.lErr;
            } else if (g_stWatchState.ulFinish == 1) {
                break;
            } else if (static_cast<int32_t>(g_stWatchState.ulProgress) > 99) {
                break;
            } else if (s_bLaunchedUpdater) {
                // The launched updater publishes its own progress, not ours:
                // it is waited for, never declared stalled.
                ulIdle = 0;
            } else if (lLast < static_cast<int32_t>(g_stWatchState.ulProgress)) {
                lLast = static_cast<int32_t>(g_stWatchState.ulProgress);
                ulIdle = 0;
            } else {
                ++ulIdle;
            }
        }
        if (lResult != 0) {
            UPDATE_LOG_PRINT("err:%d!\n", lResult);
            break;
        }
        sleep(1);
        if (ulIdle > ulIdleLimit) {
            break;
        }
    }
    return ulIdle > ulIdleLimit ? UPDATE_ERR_STALLED : lResult;
}

void SetLaunchedUpdater(bool bAlive)
{
    WatchLock lock;
    s_bLaunchedUpdater = bAlive;
}

int WatchUpdate(void)
{
    return WatchUpdateLimit(WATCH_IDLE_LIMIT);
}
