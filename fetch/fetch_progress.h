// Progress and download status files, the watch state and the watch loop.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "include/progress.h"

// Seconds without a rise of progress after which the watch gives up. A
// build-time setting only so that a test binary can shorten it.
#ifndef UPDATE_WATCH_IDLE_LIMIT
#define UPDATE_WATCH_IDLE_LIMIT 600
#endif
constexpr unsigned WATCH_IDLE_LIMIT = UPDATE_WATCH_IDLE_LIMIT;

// Guards g_stWatchState and the numeric fields of g_stDownloadStat; usable
// before InitWatchMutex has run.
extern pthread_mutex_t g_stWatchMutex;

int SetUpdateRate(uint32_t ulRate);
void SetUpdateFailed(int32_t lCode);
int SetWatchState(int32_t lErr, uint32_t ulRate, uint32_t ulFinish);
void MergeDownloadRate(uint32_t *pulRate);
void ReadDownloadStat(uint32_t *pulRate, uint32_t *pulStat);
int InitDownloadStat(DOWNLOAD_STAT_S *pstStat);
int WriteDownloadStat(void);
int InitWatchMutex(void);
int CreateDetachedThread(void *(*pfnEntry)(void *), void *pArg);
// While a launched updater runs, the watch counts no idle time.
void SetLaunchedUpdater(bool bAlive);

// Polls the watch state once a second until an error, the finish flag,
// progress above 99, or more than WATCH_IDLE_LIMIT polls without a rise
// (polls while a launched updater runs count as none).
// Returns 0, the error code, or UPDATE_ERR_STALLED.
int WatchUpdate(void);
// The same loop with another idle limit (polls of one second).
int WatchUpdateLimit(unsigned ulIdleLimit);
