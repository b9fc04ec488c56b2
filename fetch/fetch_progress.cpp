#include "fetch/fetch_progress.h"
#include "include/owners.h"

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


// Writes one record from offset 0 and cuts what an older, longer record left
// behind, so a falling percentage (a resumed transfer restarts its count) is
// never read back with a stale trailing digit. The file is never empty.
bool WriteRecord(int fd, const char *pszRecord, size_t ulLen)
{
    ssize_t lDone = pwrite(fd, pszRecord, ulLen, 0);
    if (lDone < 0 || static_cast<size_t>(lDone) != ulLen) {
        return false;
    }
    return ftruncate(fd, static_cast<off_t>(ulLen)) == 0;
}

int OpenStatFile(void)
{
    return OpenTmpForWrite(DOWNLOAD_STAT_FILE, O_WRONLY | O_CREAT | O_SYNC, 0777);
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
    int fd = OpenTmpForWrite(UPDATE_RATE_FILE, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        UPDATE_LOG("failed to open %s fd %d \n", UPDATE_RATE_FILE, fd);
    } else {
        FdOwner file(fd);
        char szRate[RATE_BUF_LEN] = {};
        int lLen = snprintf(szRate, sizeof(szRate), "%u", ulRate);
        if (write(file.Get(), szRate, static_cast<size_t>(lLen)) != lLen) {
            UPDATE_LOG("failed to write %s\n", UPDATE_RATE_FILE);
        }
    }
    if (ulRate == UPDATE_RATE_FAILED) {
        return SetWatchState(UPDATE_ERR_GENERAL, 0, 0);
    }
    return SetWatchState(0, ulRate, 0);
}

void SetUpdateFailed(int32_t lCode)
{
    SetUpdateRate(UPDATE_RATE_FAILED);
    SetWatchState(lCode, 0, 0);
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

    char szRecord[STAT_BUF_LEN] = {};
    int lLen = snprintf(szRecord, sizeof(szRecord), STAT_FORMAT, DOWNLOAD_STAT_BEGIN, 0U);
    if (lLen < 0 || lLen >= static_cast<int>(STAT_BUF_LEN)) {
        UPDATE_LOG_PRINT("Invalid param, maxLen=%d, strLen=%d.", static_cast<int>(STAT_BUF_LEN), lLen);
        return -1;
    }
    FdOwner file(OpenStatFile());
    if (file.Get() < 0) {
        UPDATE_LOG_PRINT("failed to open");
        return -1;
    }
    if (!WriteRecord(file.Get(), szRecord, static_cast<size_t>(lLen))) {
        UPDATE_LOG_PRINT("failed to write");
        return -1;
    }
    return 0;
}

int WriteDownloadStat(void)
{
    // The progress callback stores these fields on this same thread.
    char szRecord[STAT_BUF_LEN] = {};
    int lLen = snprintf(szRecord, sizeof(szRecord), STAT_FORMAT, g_stDownloadStat.ulStat, g_stDownloadStat.ulRate);
    {
        FdOwner file(OpenStatFile());
        if (file.Get() < 0) {
            UPDATE_LOG_PRINT("failed to open");
            return -1;
        }
        if (flock(file.Get(), LOCK_EX) == 0) {
            bool bOk = WriteRecord(file.Get(), szRecord, static_cast<size_t>(lLen));
            flock(file.Get(), LOCK_UN);
            if (!bOk) {
                UPDATE_LOG_PRINT("failed to write");
                return -1;
            }
        }
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

int WatchUpdate(void)
{
    return WatchUpdateLimit(WATCH_IDLE_LIMIT);
}
