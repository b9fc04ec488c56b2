#include "package/ver_cmp.h"

#include <cstring>
#include <unistd.h>

#include "include/text_util.h"
#include "update/update_log.h"

namespace {

// The parser looks a fixed distance past the main number; the string is held
// in a zero-filled buffer so positions beyond its end read as NUL.
constexpr size_t PARSE_BUF_LEN = 128;

int ReleaseDigit(char cLetter)
{
    switch (cLetter) {
    case 'D':
        return '0';
    case 'A':
        return '1';
    case 'T':
        return '2';
    case 'C':
        return '3';
    case 'B':
    case 'R':
        return '4';
    case 'E':
    case 'F':
        return '5';
    default:
        return -1;
    }
}

bool IsSuffixStart(char c)
{
    return c == 'P' || c == 'L' || c == 'C' || c == '\0';
}

// The suffix grammar from its first character at ulPos: an optional P part,
// then the end, a C part or an L part. 1 accepted, 0 rejected.
int ParseSuffix(const char *pszVer, size_t ulPos, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag,
                size_t ulTypePos)
{
    for (bool bAfterP = false;; bAfterP = true) {
        char c = pszVer[ulPos];
        if (c == '\0') {
            return 1;
        }
        if (c == 'C') {
            ParseCPart(pszVer + ulPos + 1, pszVerValue, pszVerType, ulTypePos);
            *pulCFlag = 1;
            return 1;
        }
        if (c == 'L') {
            return ParseTailAfterL(pszVer, ulPos, pszVerValue, pszVerType, ulTypePos);
        }
        if (c != 'P' || bAfterP) {
            return 0;
        }
        pszVerValue[3] = pszVer[ulPos + 1];
        pszVerValue[4] = pszVer[ulPos + 2];
        ulPos += 3;
    }
}

int ParseForm(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag, size_t ulPlatformLen)
{
    char szVer[PARSE_BUF_LEN] = {};
    CopyText(szVer, pszVer);
    size_t ulTypeLen = ulPlatformLen + 3;
    memset(pszVerValue, '0', VER_VALUE_LEN);
    pszVerValue[VER_VALUE_LEN] = '\0';
    memset(pszVerType, '0', ulTypeLen);
    pszVerType[ulTypeLen] = '\0';
    *pulCFlag = 0;

    int lDigit = ReleaseDigit(szVer[0]);
    if (lDigit < 0) {
        return 0;
    }
    pszVerValue[0] = static_cast<char>(lDigit);
    memcpy(pszVerType, szVer + 1, ulPlatformLen);
    pszVerValue[1] = szVer[1 + ulPlatformLen];
    pszVerValue[2] = szVer[2 + ulPlatformLen];
    return ParseSuffix(szVer, 3 + ulPlatformLen, pszVerValue, pszVerType, pulCFlag, ulPlatformLen);
}

}  // namespace

void ParseCPart(const char *pszPart, char *pszVerValue, char *pszVerType, size_t ulTypePos)
{
    pszVerType[ulTypePos] = pszPart[0];
    pszVerType[ulTypePos + 1] = pszPart[1];
    pszVerType[ulTypePos + 2] = pszPart[2];
    pszVerValue[7] = pszPart[3];
    pszVerValue[8] = pszPart[4];
}

int ParseTailAfterL(const char *pszVer, size_t ulPos, char *pszVerValue, char *pszVerType, size_t ulTypePos)
{
    pszVerValue[5] = pszVer[ulPos + 1];
    pszVerValue[6] = pszVer[ulPos + 2];
    ulPos += 3;
    char c = pszVer[ulPos];
    if (c == '\0') {
        return 1;
    }
    if (c == 'C') {
        // A C part after an L part carries its codes but does not count as direct.
        ParseCPart(pszVer + ulPos + 1, pszVerValue, pszVerType, ulTypePos);
        return 1;
    }
    return 0;
}

int ParseShortVersion(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag)
{
    return ParseForm(pszVer, pszVerValue, pszVerType, pulCFlag, 2);
}

int ParseLongVersion(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag)
{
    return ParseForm(pszVer, pszVerValue, pszVerType, pulCFlag, 3);
}

int ParseVersion(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag,
                 uint32_t *pulLongForm)
{
    char szVer[PARSE_BUF_LEN] = {};
    CopyText(szVer, pszVer);
    *pulLongForm = 0;
    if (IsSuffixStart(szVer[5])) {
        return ParseShortVersion(szVer, pszVerValue, pszVerType, pulCFlag);
    }
    if (IsSuffixStart(szVer[6])) {
        *pulLongForm = 1;
        return ParseLongVersion(szVer, pszVerValue, pszVerType, pulCFlag);
    }
    // Leave defined codes behind even for a rejected string.
    memset(pszVerValue, '0', VER_VALUE_LEN);
    pszVerValue[VER_VALUE_LEN] = '\0';
    memset(pszVerType, '0', VER_TYPE_SHORT_LEN);
    pszVerType[VER_TYPE_SHORT_LEN] = '\0';
    *pulCFlag = 0;
    return 0;
}

int CompareVersionCodes(const char *pszImgType, const char *pszDevType, const char *pszImgValue,
                        const char *pszDevValue, int32_t lTypeLen, int32_t lValueLen)
{
    if (strncmp(pszImgType, pszDevType, static_cast<size_t>(lTypeLen)) != 0) {
        return -1;
    }
    int lRet = strncmp(pszImgValue, pszDevValue, static_cast<size_t>(lValueLen));
    return lRet > 0 ? 1 : (lRet < 0 ? -1 : 0);
}

static bool EndsWithTest(const char *pszVer)
{
    size_t ulLen = strlen(pszVer);
    return ulLen > 0 && pszVer[ulLen - 1] == 'T';
}

int32_t CompareVersion(const char *pszImgVer, const char *pszDevVer)
{
    if (pszImgVer == nullptr || pszDevVer == nullptr) {
        return -1;
    }
    if (EndsWithTest(pszImgVer) || EndsWithTest(pszDevVer)) {
        return 1;
    }
    char szImgValue[VER_VALUE_BUF];
    char szImgType[VER_TYPE_BUF];
    uint32_t ulImgCFlag = 0;
    uint32_t ulImgLong = 0;
    if (ParseVersion(pszImgVer, szImgValue, szImgType, &ulImgCFlag, &ulImgLong) == 0) {
        UPDATE_LOG_PRINT("Invalid img version %s\n", pszImgVer);
        return 0;
    }
    char szDevValue[VER_VALUE_BUF];
    char szDevType[VER_TYPE_BUF];
    uint32_t ulDevCFlag = 0;
    uint32_t ulDevLong = 0;
    if (ParseVersion(pszDevVer, szDevValue, szDevType, &ulDevCFlag, &ulDevLong) == 0) {
        UPDATE_LOG_PRINT("Invalid board version %s\n", pszDevVer);
        return 0;
    }
    UPDATE_LOG_PRINT("Image version %s (Type %s, Value %s, C %d), Board version %s (Type %s, Value %s, C %d)\n",
                     pszImgVer, szImgType, szImgValue, static_cast<int>(ulImgCFlag), pszDevVer, szDevType,
                     szDevValue, static_cast<int>(ulDevCFlag));

    bool bFull = strcmp(VERSION_THRESHOLD, szDevValue) <= 0 && (ulImgCFlag == ulDevCFlag || ulDevCFlag != 1);
    int32_t lTypeLen;
    int32_t lValueLen;
    if (bFull) {
        lTypeLen = ulDevLong != 0 ? 6 : 5;
        lValueLen = 9;
    } else {
        lTypeLen = ulDevLong != 0 ? 3 : 2;
        lValueLen = 7;
    }
    return CompareVersionCodes(szImgType, szDevType, szImgValue, szDevValue, lTypeLen, lValueLen);
}

void ReadVersionLines(FILE *pFile, char *pszPubVer, char *pszNewVer, char *pszInnerVer, char *pszBuildDate,
                      char *pszBuildTime)
{
    char szLine[128];
    // Each value is cut to its buffer: the widths below are the buffer sizes minus one.
    static_assert(VERSION_BUF_LEN == 128 && BUILD_DATE_BUF_LEN == 11 && BUILD_TIME_BUF_LEN == 9);
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        char szValue[VERSION_BUF_LEN];
        if (strncmp(szLine, "PUB:", 4) == 0) {
            if (sscanf(szLine, "PUB:%127s", szValue) == 1) {
                CopyText(pszPubVer, VERSION_BUF_LEN, szValue);
            }
        } else if (strncmp(szLine, "NEW:", 4) == 0) {
            if (sscanf(szLine, "NEW:%127s", szValue) == 1) {
                CopyText(pszNewVer, VERSION_BUF_LEN, szValue);
            }
        } else if (strncmp(szLine, "INN:", 4) == 0) {
            if (sscanf(szLine, "INN:%127s", szValue) == 1) {
                CopyText(pszInnerVer, VERSION_BUF_LEN, szValue);
            }
        } else if (strncmp(szLine, "BUILD:", 6) == 0) {
            char szDate[VERSION_BUF_LEN];
            char szTime[VERSION_BUF_LEN];
            int lGot = sscanf(szLine, "BUILD:%127s %127s", szDate, szTime);
            if (lGot >= 1) {
                CopyText(pszBuildDate, BUILD_DATE_BUF_LEN, szDate);
            }
            if (lGot >= 2) {
                CopyText(pszBuildTime, BUILD_TIME_BUF_LEN, szTime);
            }
        }
    }
}

int ReadVersionFile(char *pszPubVer, char *pszNewVer, char *pszInnerVer, char *pszBuildDate, char *pszBuildTime)
{
    const char *pszPath = access(VERSION_FILE, F_OK) == 0 ? VERSION_FILE : VERSION_FILE_ROOT;
    FILE *pFile = fopen(pszPath, "re");
    if (pFile == nullptr) {
        UPDATE_LOG_PRINT("open version file error\n");
        CopyText(pszPubVer, VERSION_BUF_LEN, "Unknown");
        CopyText(pszNewVer, VERSION_BUF_LEN, "Unknown");
        CopyText(pszInnerVer, VERSION_BUF_LEN, "Unknown");
        return -1;
    }
    ReadVersionLines(pFile, pszPubVer, pszNewVer, pszInnerVer, pszBuildDate, pszBuildTime);
    fclose(pFile);
    return 0;
}

void FormatBuildDate(const char *pszBuildDate, char *pszBuf, char *pszVersion)
{
    int lYear = 0;
    unsigned char ucMonth = 0;
    unsigned char ucDay = 0;
    (void)sscanf(pszBuildDate, "%d-%hhu-%hhu", &lYear, &ucMonth, &ucDay);
    lYear %= 100;
    int lLen = snprintf(pszBuf, BUILD_SUFFIX_BUF_LEN, ".%02d%02hhu%02hhu", lYear, ucMonth, ucDay);
    if (lLen < 0) {
        pszBuf[0] = '\0';
    }
    AppendText(pszVersion, VERSION_BUF_LEN, std::string_view(pszBuf, strnlen(pszBuf, BUILD_SUFFIX_BUF_LEN)));
}
