#include "update/update_log.h"

#include <cstdarg>
#include <ctime>

FILE *g_pUpdateLogFile = nullptr;

static void WriteLogLine(const char *pszFile, int lLine, const char *pszFmt, va_list args)
{
    FILE *pFile = g_pUpdateLogFile;
    if (pFile == nullptr) {
        return;
    }
    time_t now = time(nullptr);
    struct tm stTm {};
    localtime_r(&now, &stTm);
    char szDate[32];
    char szTime[32];
    snprintf(szDate, sizeof(szDate), "%.4d-%.2d-%.2d", stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday);
    snprintf(szTime, sizeof(szTime), "%.2d:%.2d:%.2d", stTm.tm_hour, stTm.tm_min, stTm.tm_sec);

    // Both threads log on this stream without a lock of their own: the whole
    // line goes out in one formatted write so lines never interleave.
    char szLine[4096];
    int lHead = snprintf(szLine, sizeof(szLine), "%s %s[%s %d]", szDate, szTime, pszFile, lLine);
    if (lHead < 0) {
        return;
    }
    if (static_cast<size_t>(lHead) < sizeof(szLine)) {
        vsnprintf(szLine + lHead, sizeof(szLine) - lHead, pszFmt, args);
    }
    fputs(szLine, pFile);
    fflush(pFile);
}

void UpdateLog(const char *pszFile, int lLine, const char *pszFmt, ...)
{
    va_list args;
    va_start(args, pszFmt);
    WriteLogLine(pszFile, lLine, pszFmt, args);
    va_end(args);
}

void UpdateLogPrint(const char *pszFile, int lLine, const char *pszFmt, ...)
{
    va_list args;
    va_start(args, pszFmt);
    WriteLogLine(pszFile, lLine, pszFmt, args);
    va_end(args);
    va_start(args, pszFmt);
    vprintf(pszFmt, args);
    va_end(args);
    fflush(stdout);
}

int UpdateLogOpen(void)
{
    UpdateLogClose();
    g_pUpdateLogFile = fopen(UPDATE_LOG_FILE, "a+");
    return g_pUpdateLogFile != nullptr ? 0 : -1;
}

void UpdateLogClose(void)
{
    if (g_pUpdateLogFile != nullptr) {
        fclose(g_pUpdateLogFile);
        g_pUpdateLogFile = nullptr;
    }
}
