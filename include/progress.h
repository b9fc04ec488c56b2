// Download state and watch state records shared by the retrieval, the
// install flow and the session, and the codes written to the status files.
#pragma once

#include <cstdint>

constexpr const char *UPDATE_RATE_FILE = "/tmp/update_rate.log";
constexpr const char *DOWNLOAD_STAT_FILE = "/tmp/download_stat.log";

// Overall progress value that tells readers of the rate file the update failed.
constexpr uint32_t UPDATE_RATE_FAILED = 101;

// Download status codes (first number of the status file).
constexpr uint32_t DOWNLOAD_STAT_OK = 0;
constexpr uint32_t DOWNLOAD_STAT_BEGIN = 1;
constexpr uint32_t DOWNLOAD_STAT_TOO_SMALL = 2;
constexpr uint32_t DOWNLOAD_STAT_FAILED = 4;
constexpr uint32_t DOWNLOAD_STAT_UNREADABLE = 5;

constexpr unsigned DOWNLOAD_URL_LEN = 256;
constexpr unsigned DOWNLOAD_FILE_LEN = 128;

struct DOWNLOAD_STAT_S {
    double dTotalSize;
    double dNowSize;
    uint32_t ulRate;
    uint32_t ulStat;
    char szUrl[DOWNLOAD_URL_LEN];        // non-empty: a cloud update, progress is merged
    char szLocalFile[DOWNLOAD_FILE_LEN];
};

struct WATCH_STATE_S {
    int32_t lErr;
    uint32_t ulProgress;
    uint32_t ulFinish;
};

// Process-wide instances; the update applet clears both at its start.
extern DOWNLOAD_STAT_S g_stDownloadStat;
extern WATCH_STATE_S g_stWatchState;
