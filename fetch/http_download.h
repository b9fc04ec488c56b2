// HTTP download of a cloud package into /tmp/Program.bin, resumed after stalls.
#pragma once

#include <cstddef>

#include "include/progress.h"

// 0, -1, DOWNLOAD_STAT_TOO_SMALL or DOWNLOAD_STAT_FAILED. An existing
// /tmp/Program.bin is taken as already downloaded.
int CloudDownload(const char *pszUrl);
int HttpDownload(DOWNLOAD_STAT_S *pstStat);

// libcurl callbacks.
size_t DownloadWriteData(void *pData, size_t ulSize, size_t ulCount, void *pStream);
int DownloadProgress(void *pUser, double dDlTotal, double dDlNow, double dUlTotal, double dUlNow);
