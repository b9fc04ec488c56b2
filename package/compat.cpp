#include "package/compat.h"

#include <cstdio>
#include <cstring>

#include "include/flash_layout.h"
#include "include/packet.h"
#include "include/text_util.h"
#include "include/update_types.h"
#include "package/packet.h"
#include "update/update_log.h"

char g_szLocalInnerVersion[VERSION_BUF_LEN];
char g_szImagePubVersion[VERSION_BUF_LEN];

namespace {

constexpr const char *UNKNOWN_TEXT = "Unknown";

// First line of a command's output without its last character, whatever
// that is; "Unknown" when there is no line.
int ReadFirstLine(const char *pszCmd, char *pszOut)
{
    FILE *pPipe = popen(pszCmd, "r");
    if (pPipe == nullptr) {
        CopyText(pszOut, BOARD_TYPE_BUF_LEN, UNKNOWN_TEXT);
        return -1;
    }
    char szLine[256];
    if (fgets(szLine, sizeof(szLine), pPipe) == nullptr) {
        pclose(pPipe);
        CopyText(pszOut, BOARD_TYPE_BUF_LEN, UNKNOWN_TEXT);
        return -1;
    }
    size_t ulLen = strlen(szLine);
    if (ulLen > 0) {
        szLine[ulLen - 1] = '\0';
    }
    CopyText(pszOut, BOARD_TYPE_BUF_LEN, szLine);
    pclose(pPipe);
    return 0;
}

}  // namespace

int GetBoardType(char *pszBoardType)
{
    return ReadFirstLine(BOARD_TYPE_CMD, pszBoardType);
}

int GetUbootVersion(char *pszUbootVersion)
{
    return ReadFirstLine(UBOOT_REV_CMD, pszUbootVersion);
}

int CheckBoardCompatible(char *pszCompatList, const char *pszBoardType)
{
    size_t ulLen = strnlen(pszCompatList, PACKET_COMPAT_LEN);
    size_t ulStart = 0;
    for (unsigned ulEntry = 0; ulEntry < COMPAT_ENTRY_MAX; ulEntry++) {
        size_t ulEnd = ulStart;
        while (ulEnd < ulLen && pszCompatList[ulEnd] != HEAD_SEPARATOR) {
            ulEnd++;
        }
        bool bMore = ulEnd < ulLen;
        if (bMore) {
            pszCompatList[ulEnd] = '\0';
        }
        // The copy is bounded by the entry itself, which may run to the end
        // of a list that has no NUL of its own.
        char szEntry[COMPAT_NAME_LEN + 1];
        size_t ulCopy = ulEnd - ulStart < COMPAT_NAME_LEN ? ulEnd - ulStart : COMPAT_NAME_LEN;
        memcpy(szEntry, pszCompatList + ulStart, ulCopy);
        szEntry[ulCopy] = '\0';
        UPDATE_LOG("Get compatible board type: %s, pszBoardType: %s\n", szEntry, pszBoardType);
        if (strncmp(pszBoardType, szEntry, COMPAT_NAME_LEN) == 0) {
            UPDATE_LOG("Board Compatible\n");
            return 0;
        }
        if (!bMore) {
            break;
        }
        ulStart = ulEnd + 1;
    }
    UPDATE_LOG_PRINT("Board type is not compatible.\n");
    return -1;
}

int CheckUpdateValid(uint32_t usForceFlag, char *pszHead, char *pszCompatList, uint32_t *pulCrc)
{
    char szPubVer[VERSION_BUF_LEN] = {};
    char szNewVer[VERSION_BUF_LEN] = {};
    char szInnerVer[VERSION_BUF_LEN] = {};
    char szBuildDate[BUILD_DATE_BUF_LEN] = {};
    char szBuildTime[BUILD_TIME_BUF_LEN] = {};
    if (ReadVersionFile(szPubVer, szNewVer, szInnerVer, szBuildDate, szBuildTime) != 0) {
        UPDATE_LOG("get Currentversion failed!\n");
        return UPDATE_ERR_VERSION;
    }
    CopyText(g_szLocalInnerVersion, szInnerVer);

    PACKET_HEAD_INFO_S stHead;
    SplitPacketHead(pszHead, &stHead);
    CopyText(g_szImagePubVersion, stHead.szPubVersion);
    *pulCrc = stHead.ulCrc;
    UPDATE_LOG("crcSum:%s, *puCrcNum:%u\n", stHead.szCrcSum, *pulCrc);

    char szBoardType[BOARD_TYPE_BUF_LEN] = {};
    GetBoardType(szBoardType);
    if (CheckBoardCompatible(pszCompatList, szBoardType) != 0) {
        return UPDATE_ERR_BOARD;
    }
    if (usForceFlag != 1) {
        UPDATE_LOG("BoardType:%s, \nLocal InnerVersion: %s, \nImage InnerVersion: %s, \nLocal PubVersion: %s, "
                   "\nImage PubVersion: %s\n",
                   szBoardType, szInnerVer, stHead.szInnerVersion, szPubVer, stHead.szPubVersion);
        if (CompareVersion(stHead.szPubVersion, szPubVer) < 1) {
            UPDATE_LOG_PRINT("Local version bigger than or equal as update version, not need update!\n");
            return UPDATE_ERR_VERSION;
        }
    }
    return 0;
}

void ShowVersion(uint32_t usShowInfo)
{
    char szPubVer[VERSION_BUF_LEN];
    char szNewVer[VERSION_BUF_LEN];
    char szInnerVer[VERSION_BUF_LEN];
    char szBoardType[BOARD_TYPE_BUF_LEN];
    char szUbootVer[BOARD_TYPE_BUF_LEN];
    char szBuildDate[BUILD_DATE_BUF_LEN] = {};
    char szBuildTime[BUILD_TIME_BUF_LEN] = {};
    CopyText(szPubVer, UNKNOWN_TEXT);
    CopyText(szNewVer, UNKNOWN_TEXT);
    CopyText(szInnerVer, UNKNOWN_TEXT);
    CopyText(szBoardType, UNKNOWN_TEXT);
    CopyText(szUbootVer, UNKNOWN_TEXT);

    (void)ReadVersionFile(szPubVer, szNewVer, szInnerVer, szBuildDate, szBuildTime);
    (void)GetBoardType(szBoardType);
    (void)GetUbootVersion(szUbootVer);
    char szSuffix[BUILD_SUFFIX_BUF_LEN] = {};
    FormatBuildDate(szBuildDate, szSuffix, szNewVer);

    if (usShowInfo == SHOW_INFO_INNER) {
        printf("Inerversion: %s\n", szInnerVer);
    } else if (usShowInfo == SHOW_INFO_FULL || usShowInfo == SHOW_INFO_FULL_OLD) {
        printf("Current version: %s\n", szPubVer);
        printf("New Pub version: %s\n", szNewVer);
        printf("Inerversion: %s\n", szInnerVer);
        printf("Board type: %s\n", szBoardType);
        printf("Uboot version: %s\n", szUbootVer);
        printf("Build date: %s %s\n", szBuildDate, szBuildTime);
        if (IsSimulationBuild()) {
            printf("SIMULATION BUILD: simulated board layout, not for any device\n");
        }
    }
    fflush(stdout);
}
