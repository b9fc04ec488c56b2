#include "fetch/http_download.h"

#include <cstdint>
#include <cstdio>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

// The transfer uses the classic progress and size queries that report
// doubles, which the download state stores as they come.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include "fetch/fetch_progress.h"
#include "include/text_util.h"
#include "include/update_types.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
constexpr long LOW_SPEED_LIMIT = 1;     // bytes per second
constexpr long LOW_SPEED_TIME = 30;     // seconds
constexpr long MAX_REDIRECTS = 3;
constexpr int64_t TOO_SMALL_LIMIT = 10239;
constexpr useconds_t WRITE_PAUSE_US = 1000;
constexpr const char *REMOVE_DOWNLOAD_CMD = "rm -rf /tmp/Program.bin /tmp/download_stat.log";
const char g_szProgressData[] = "*";

// libcurl pulls in some thirty libraries (TLS, Kerberos, LDAP, SSH ...) whose
// loading would cost every start of the program, the applets included, several
// milliseconds and about 6 MiB of resident memory, although only the cloud
// download needs them. It is loaded by the first download instead; the soname
// is the ABI we build against.
constexpr const char *CURL_LIBRARY = "libcurl.so.4";

struct CURL_API_S {
    CURL *(*pfnEasyInit)();
    CURLcode (*pfnEasySetopt)(CURL *, CURLoption, ...);
    CURLcode (*pfnEasyPerform)(CURL *);
    CURLcode (*pfnEasyGetinfo)(CURL *, CURLINFO, ...);
    void (*pfnEasyCleanup)(CURL *);
};

template <typename T>
bool LoadSymbol(void *pLib, const char *pszName, T *ppfn)
{
    *ppfn = reinterpret_cast<T>(dlsym(pLib, pszName));
    return *ppfn != nullptr;
}

// The library's entry points, or null when it cannot be loaded (logged once).
const CURL_API_S *GetCurlApi()
{
    static const CURL_API_S *s_pstApi = []() -> const CURL_API_S * {
        static CURL_API_S s_stApi;
        void *pLib = dlopen(CURL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (pLib == nullptr || !LoadSymbol(pLib, "curl_easy_init", &s_stApi.pfnEasyInit) ||
            !LoadSymbol(pLib, "curl_easy_setopt", &s_stApi.pfnEasySetopt) ||
            !LoadSymbol(pLib, "curl_easy_perform", &s_stApi.pfnEasyPerform) ||
            !LoadSymbol(pLib, "curl_easy_getinfo", &s_stApi.pfnEasyGetinfo) ||
            !LoadSymbol(pLib, "curl_easy_cleanup", &s_stApi.pfnEasyCleanup)) {
            const char *pszWhy = dlerror();
            UPDATE_LOG("load %s failed: %s\n", CURL_LIBRARY, pszWhy != nullptr ? pszWhy : "missing symbol");
            return nullptr;
        }
        return &s_stApi;
    }();
    return s_pstApi;
}

class CurlOwner {
public:
    explicit CurlOwner(CURL *pCurl) : m_pCurl(pCurl) {}
    ~CurlOwner() { reset(); }
    CurlOwner(const CurlOwner &) = delete;
    CurlOwner &operator=(const CurlOwner &) = delete;
    CURL *get() const { return m_pCurl; }
    void reset()
    {
        if (m_pCurl != nullptr) {
            GetCurlApi()->pfnEasyCleanup(m_pCurl);
            m_pCurl = nullptr;
        }
    }

private:
    CURL *m_pCurl;
};

class StreamOwner {
public:
    explicit StreamOwner(FILE *pFile) : m_pFile(pFile) {}
    ~StreamOwner() { reset(); }
    StreamOwner(const StreamOwner &) = delete;
    StreamOwner &operator=(const StreamOwner &) = delete;
    FILE *get() const { return m_pFile; }
    void reset()
    {
        if (m_pFile != nullptr) {
            fclose(m_pFile);
            m_pFile = nullptr;
        }
    }

private:
    FILE *m_pFile;
};
} // namespace

size_t DownloadWriteData(void *pData, size_t ulSize, size_t ulCount, void *pStream)
{
    FILE *pFile = static_cast<FILE *>(pStream);
    setvbuf(pFile, nullptr, _IONBF, 0);
    size_t ulWritten = fwrite(pData, ulSize, ulCount, pFile);
    fflush(pFile);
    usleep(WRITE_PAUSE_US);
    return ulWritten;
}

namespace {
// Bytes already on disk when the running transfer started: a resumed
// transfer counts only what it still fetches, progress is over the whole file.
// Set and read on the downloading thread only.
long s_lProgressBase = 0;
} // namespace

int DownloadProgress(void *, double dDlTotal, double dDlNow, double, double)
{
    if (dDlTotal > 0) {
        dDlTotal += static_cast<double>(s_lProgressBase);
    }
    dDlNow += static_cast<double>(s_lProgressBase);
    // Until the size is known (no headers yet, or none announced) there is
    // no percentage to give; readers expect 0..100.
    uint32_t ulRate = 0;
    if (dDlTotal > 0) {
        double dRate = dDlNow * 100 / dDlTotal;
        ulRate = dRate >= 100 ? 100 : (dRate > 0 ? static_cast<uint32_t>(dRate) : 0);
    }
    {
        pthread_mutex_lock(&g_stWatchMutex);
        g_stDownloadStat.ulStat = DOWNLOAD_STAT_OK;
        g_stDownloadStat.dTotalSize = dDlTotal;
        g_stDownloadStat.dNowSize = dDlNow;
        g_stDownloadStat.ulRate = ulRate;
        pthread_mutex_unlock(&g_stWatchMutex);
    }
    WriteDownloadStat();
    return 0;
}

int HttpDownload(DOWNLOAD_STAT_S *pstStat)
{
    if (pstStat == nullptr) {
        UPDATE_LOG_PRINT("Invalid param.\n");
        return -1;
    }
    RemoveTmpTarget(pstStat->szLocalFile);
    StreamOwner file(fopen(pstStat->szLocalFile, "w+b"));
    if (file.get() == nullptr) {
        UPDATE_LOG_PRINT("Fail to open file\n");
        return -1;
    }
    char szUrl[DOWNLOAD_URL_LEN] = {};
    CopyText(szUrl, pstStat->szUrl);

    const CURL_API_S *pstCurl = GetCurlApi();
    CurlOwner curl(pstCurl != nullptr ? pstCurl->pfnEasyInit() : nullptr);
    if (curl.get() == nullptr) {
        file.reset();
        UPDATE_LOG_PRINT("NULL pointer");
        return -1;
    }
    CURL *pCurl = curl.get();
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_URL, szUrl);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_WRITEFUNCTION, DownloadWriteData);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_LIMIT);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_LOW_SPEED_TIME, LOW_SPEED_TIME);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_WRITEDATA, file.get());
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_NOPROGRESS, 0L);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_PROGRESSFUNCTION, DownloadProgress);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_PROGRESSDATA, g_szProgressData);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_FOLLOWLOCATION, 1L);
    pstCurl->pfnEasySetopt(pCurl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);

    // Kept 64-bit so a package beyond 2 GiB still resumes at the right byte.
    long lResumeFrom = 0;
    long lLastStart = 0;
    long lCode = 0;
    CURLcode eResult = CURLE_OK;
    for (;;) {
        lLastStart = lResumeFrom;
        s_lProgressBase = lResumeFrom;
        eResult = pstCurl->pfnEasyPerform(pCurl);
        lCode = 0;
        pstCurl->pfnEasyGetinfo(pCurl, CURLINFO_RESPONSE_CODE, &lCode);
        if (eResult != CURLE_OK || lCode != 200) {
            UPDATE_LOG_PRINT("Http breakpoint transmission fails. err is %d/%d\n", static_cast<int>(eResult),
                             static_cast<int>(lCode));
        }
        double dLength = -1;
        double dReceived = 0;
        pstCurl->pfnEasyGetinfo(pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &dLength);
        pstCurl->pfnEasyGetinfo(pCurl, CURLINFO_SIZE_DOWNLOAD, &dReceived);
        long lReceived = static_cast<long>(dReceived);
        lResumeFrom += lReceived;
        pstCurl->pfnEasySetopt(pCurl, CURLOPT_RESUME_FROM, lResumeFrom);

        long lAnnounced = dLength < 0 ? 0 : static_cast<long>(dLength);
        if (eResult != CURLE_OPERATION_TIMEDOUT || lReceived < 1 || lReceived == lAnnounced) {
            break;
        }
    }

    if (eResult != CURLE_OK) {
        curl.reset();
        pstStat->ulStat = DOWNLOAD_STAT_FAILED;
        file.reset();
        WriteDownloadStat();
        UpdateSystem(REMOVE_DOWNLOAD_CMD);
        UPDATE_LOG_PRINT("Fail to call curl_easy_perform, err:%d", static_cast<int>(eResult));
        return DOWNLOAD_STAT_FAILED;
    }

    double dLength = -1;
    pstCurl->pfnEasyGetinfo(pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &dLength);
    // A resumed attempt announces only the part still missing: what counts
    // is the size of the whole file it completes.
    int64_t llWhole = static_cast<int64_t>(dLength);
    if (llWhole >= 0 && lCode == 206) {
        llWhole += lLastStart;
    }
    if (llWhole <= TOO_SMALL_LIMIT) {
        pstStat->ulStat = DOWNLOAD_STAT_TOO_SMALL;
        WriteDownloadStat();
        UPDATE_LOG_PRINT("File too small, maybe no file on website.");
    } else {
        pstStat->ulStat = DOWNLOAD_STAT_OK;
    }
    curl.reset();
    file.reset();
    return static_cast<int>(pstStat->ulStat);
}

int CloudDownload(const char *pszUrl)
{
    struct stat stInfo {};
    if (stat(LOCAL_PACKET_FILE, &stInfo) == 0) {
        return 0;
    }
    int lRet = InitDownloadStat(&g_stDownloadStat);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("failed to init download stat");
        return lRet;
    }
    CopyText(g_stDownloadStat.szUrl, pszUrl);
    CopyText(g_stDownloadStat.szLocalFile, LOCAL_PACKET_FILE);
    return HttpDownload(&g_stDownloadStat);
}
