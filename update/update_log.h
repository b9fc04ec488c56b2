// The update log and the three diagnostic channels.
#pragma once

#include <cstdio>

constexpr const char *UPDATE_LOG_FILE = "/var/log/update.log";

// Process-wide log handle; null while the log is closed.
extern FILE *g_pUpdateLogFile;

// Log only: one line "date time[file line]message", flushed. Silent while closed.
void UpdateLog(const char *pszFile, int lLine, const char *pszFmt, ...)
    __attribute__((format(printf, 3, 4)));
// Log, then the bare message on standard output (also while the log is closed).
void UpdateLogPrint(const char *pszFile, int lLine, const char *pszFmt, ...)
    __attribute__((format(printf, 3, 4)));

// Opens the log for appending (closing a handle that is still open); 0 or -1.
int UpdateLogOpen(void);
void UpdateLogClose(void);

// The source prefix is the base name of the file that logs.
#define UPDATE_LOG(...) UpdateLog(__FILE_NAME__, __LINE__, __VA_ARGS__)
#define UPDATE_LOG_PRINT(...) UpdateLogPrint(__FILE_NAME__, __LINE__, __VA_ARGS__)
