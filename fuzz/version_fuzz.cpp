// Fuzz target for the version strings. Line 0 of the input is an image
// version, line 1 a device version, line 2 a build date; the whole input is
// also read as a version file. The comparison must be reflexive and, where
// both directions take the same form and mode, antisymmetric.
#include "fuzz/fuzz_util.h"
#include "package/ver_cmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    auto vLines = Split(pData, ulSize, '\n', 3);
    struct {
        bool bTest;
        int lValid;
        char szValue[VER_VALUE_BUF], szType[VER_TYPE_BUF];
        uint32_t ulCFlag, ulLong;
    } ast[2] {};
    for (int i = 0; i < 2; ++i) {
        const char *pszVer = vLines[i].get();
        ast[i].bTest = *pszVer != '\0' && pszVer[strlen(pszVer) - 1] == 'T';
        ast[i].lValid = ParseVersion(pszVer, ast[i].szValue, ast[i].szType, &ast[i].ulCFlag, &ast[i].ulLong);
        Check(CompareVersion(pszVer, pszVer) == ast[i].bTest);
    }
    // Whether comparing image i against device d takes the whole codes.
    auto Full = [&ast](int i, int d) {
        return strcmp(VERSION_THRESHOLD, ast[d].szValue) <= 0 && (ast[i].ulCFlag == ast[d].ulCFlag || ast[d].ulCFlag != 1);
    };
    int32_t lFwd = CompareVersion(vLines[0].get(), vLines[1].get());
    int32_t lBack = CompareVersion(vLines[1].get(), vLines[0].get());
    Check(lFwd >= -1 && lFwd <= 1 && lBack >= -1 && lBack <= 1);
    if (!ast[0].bTest && !ast[1].bTest && ast[0].lValid && ast[1].lValid && ast[0].ulLong == ast[1].ulLong &&
        Full(0, 1) == Full(1, 0)) {
        Check(lFwd == -lBack || (lFwd == -1 && lBack == -1));
    }

    char szVersion[VERSION_BUF_LEN] = "R1234";
    char szSuffix[BUILD_SUFFIX_BUF_LEN] = {};
    FormatBuildDate(vLines[2].get(), szSuffix, szVersion);
    Check(strncmp(szVersion, "R1234.", 6) == 0 && strlen(szVersion) < sizeof(szVersion));

    char szVer[VERSION_BUF_LEN] = {}, szDate[BUILD_DATE_BUF_LEN] = {}, szTime[BUILD_TIME_BUF_LEN] = {};
    ReadVersionLines(MemFile(pData, ulSize).get(), szVer, szVer, szVer, szDate, szTime);
    Check(strnlen(szDate, sizeof(szDate)) < sizeof(szDate) && strnlen(szTime, sizeof(szTime)) < sizeof(szTime));
    return 0;
}
