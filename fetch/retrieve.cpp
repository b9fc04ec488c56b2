#include "fetch/retrieve.h"
#include "include/owners.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "fetch/http_download.h"
#include "include/text_util.h"
#include "include/update_types.h"
#include "update/update_device.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {
constexpr const char *TFTP_CMD_FORMAT = "mkdir -p %s;tftp -g -r %s -l %s %s -b %d 2>>/var/log/update.log";
constexpr const char *FTP_CMD_FORMAT = "mkdir -p %s;ftpget -u %s -p %s %s %s %s 2>>/var/log/update.log";
constexpr const char *TMP_DIR = "/tmp";

bool QuoteWord(const char *pszValue, char (&szOut)[CMD_BUF_LEN])
{
    return ShellWord(pszValue, szOut) == 0;
}

} // namespace

bool IsFetchedByTool(uint16_t usTransType)
{
    return usTransType == TRANS_TYPE_TFTP || usTransType == TRANS_TYPE_FTP || usTransType == TRANS_TYPE_TFTP2;
}

int BuildLoadCmd(uint16_t usTransType, const char *pszHost, const char *pszUser, const char *pszPassword,
                 const char *pszRemoteFile, const char *pszUrl, char *pszCmd, size_t ulCmdSize, char *pszLogCmd)
{
    size_t ulRoom = std::min<size_t>(ulCmdSize, CMD_BUF_LEN);
    if (pszCmd == nullptr || ulRoom == 0) {
        return -1;
    }
    pszCmd[0] = '\0';

    char szHost[CMD_BUF_LEN];
    char szRemote[CMD_BUF_LEN];
    int lLen = 0;
    if (usTransType == TRANS_TYPE_TFTP || usTransType == TRANS_TYPE_TFTP2) {
        if (!QuoteWord(pszHost, szHost) || !QuoteWord(pszRemoteFile, szRemote)) {
            UPDATE_LOG("fetch command too long\n");
            return -1;
        }
        lLen = snprintf(pszCmd, ulRoom, TFTP_CMD_FORMAT, TMP_DIR, szRemote, LOCAL_PACKET_FILE, szHost,
                        static_cast<int>(TFTP_BLOCK_SIZE));
    } else if (usTransType == TRANS_TYPE_FTP) {
        char szUser[CMD_BUF_LEN];
        char szPassword[CMD_BUF_LEN];
        if (!QuoteWord(pszHost, szHost) || !QuoteWord(pszRemoteFile, szRemote) || !QuoteWord(pszUser, szUser) ||
            !QuoteWord(pszPassword, szPassword)) {
            UPDATE_LOG("fetch command too long\n");
            return -1;
        }
        lLen = snprintf(pszCmd, ulRoom, FTP_CMD_FORMAT, TMP_DIR, szUser, szPassword, szHost, LOCAL_PACKET_FILE,
                        szRemote);
        if (pszLogCmd != nullptr) {
            // Never longer than the real line, which is checked below.
            (void)FormatTextN(pszLogCmd, ulRoom, FTP_CMD_FORMAT, TMP_DIR, szUser, LoggedPasswordWord(pszPassword),
                              szHost, LOCAL_PACKET_FILE, szRemote);
        }
    } else if (usTransType == TRANS_TYPE_CLOUD) {
        int lRet = CloudDownload(pszUrl);
        if (lRet != 0) {
            UPDATE_LOG("download version failed.\n");
            printf("download version failed.");
            fflush(stdout);
        }
        return lRet;
    } else {
        return 0;
    }
    if (pszLogCmd != nullptr && usTransType != TRANS_TYPE_FTP) {
        CopyText(pszLogCmd, ulRoom, pszCmd);
    }
    // A cut command line would fetch something else than asked: refuse it.
    if (lLen < 0 || static_cast<size_t>(lLen) >= ulRoom) {
        pszCmd[0] = '\0';
        UPDATE_LOG("fetch command too long\n");
        return -1;
    }
    return 0;
}

int RunFetchCmd(const char *pszCmd)
{
    for (unsigned ulTry = 0; ulTry < LOAD_RETRY_TIMES; ++ulTry) {
        if (UpdateSystem(pszCmd) == 0) {
            return 0;
        }
        sleep(1);
    }
    return -1;
}

int GetRemoteBinFile(uint16_t usTransType, const char *pszHost, const char *pszUser, const char *pszPassword,
                     const char *pszRemoteFile, const char *pszUrl)
{
    char szCmd[CMD_BUF_LEN + 1] = {};
    char szLogCmd[CMD_BUF_LEN + 1] = {};
    int lRet = BuildLoadCmd(usTransType, pszHost, pszUser, pszPassword, pszRemoteFile, pszUrl, szCmd, sizeof(szCmd),
                            szLogCmd);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("Get remote bin file failed.\n");
        return lRet;
    }
    if (!IsFetchedByTool(usTransType)) {
        return 0;
    }
    UPDATE_LOG_PRINT("loading Program.bin....\n");
    UPDATE_LOG("loading cmd: %s\n", szLogCmd);
    // An earlier or planted file must not be written through or pass for this fetch.
    RemoveTmpTarget(LOCAL_PACKET_FILE);
    if (RunFetchCmd(szCmd) == 0) {
        UPDATE_LOG_PRINT("done!\n");
        return 0;
    }
    UPDATE_LOG_PRINT("load bin file failed! please try again!\n");
    // Half a package must not stay behind looking like a fetched one.
    RemoveTmpTarget(LOCAL_PACKET_FILE);
    return -1;
}

int GetVersionInfo(uint16_t usTransType, const char *pszHost, const char *pszUser, const char *pszPassword,
                   const char *pszRemoteFile, const char *pszUrl, std::span<char> spHead, std::span<char> spCompat)
{
    int lRet = GetRemoteBinFile(usTransType, pszHost, pszUser, pszPassword, pszRemoteFile, pszUrl);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("Get remote bin file failed.\n");
        return lRet;
    }
    const char *pszPath = IsFetchedByTool(usTransType) ? LOCAL_PACKET_FILE : pszRemoteFile;
    if (pszPath == nullptr) {
        pszPath = "";
    }
    UPDATE_LOG("open file:%s\n", pszPath);
    FdOwner file(open(pszPath, O_RDONLY));
    if (file.Get() < 0) {
        UPDATE_LOG_PRINT("Get version failed (error %s)\n", strerror(errno));
        return -1;
    }
    size_t ulHeadLen = std::min<size_t>(spHead.size(), PACKET_HEAD_LEN);
    size_t ulCompatLen = std::min<size_t>(spCompat.size(), PACKET_COMPAT_LEN);
    ssize_t lHead = read(file.Get(), spHead.data(), ulHeadLen);
    ssize_t lCompat = lHead < 0 ? 0 : read(file.Get(), spCompat.data(), ulCompatLen);
    if (lHead < 0 || lCompat < 0) {
        UPDATE_LOG_PRINT("Read version file failed!\n");
        return -1;
    }
    // The buffers may be full and unterminated: print only what was read.
    UPDATE_LOG("read head:%.*s, compatlist: %.*s\n", static_cast<int>(strnlen(spHead.data(), ulHeadLen)),
               spHead.data(), static_cast<int>(strnlen(spCompat.data(), ulCompatLen)), spCompat.data());
    return 0;
}
