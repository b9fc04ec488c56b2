// Fuzz target for the version strings. Line 0 of the input is an image
// version, line 1 a device version, line 2 a build date; the whole input is
// also read as a version file. The comparison must be reflexive and, where
// both directions take the same form and mode, antisymmetric.
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "package/ver_cmp.h"

namespace {

using Text = std::unique_ptr<char, decltype(&free)>;

// A heap copy of exactly the line, so a read past its end is caught.
Text TakeLine(std::string_view &svRest)
{
    size_t ulEnd = std::min(svRest.find('\n'), svRest.size());
    Text pszLine(strndup(svRest.data(), ulEnd), &free);
    Check(pszLine != nullptr);
    svRest.remove_prefix(std::min(ulEnd + 1, svRest.size()));
    return pszLine;
}

bool IsTest(const char *pszVer)
{
    size_t ulLen = strlen(pszVer);
    return ulLen > 0 && pszVer[ulLen - 1] == 'T';
}

struct PARSED_S {
    int lValid;
    char szValue[VER_VALUE_BUF];
    char szType[VER_TYPE_BUF];
    uint32_t ulCFlag;
    uint32_t ulLong;
};

PARSED_S Parse(const char *pszVer)
{
    PARSED_S st {};
    st.lValid = ParseVersion(pszVer, st.szValue, st.szType, &st.ulCFlag, &st.ulLong);
    return st;
}

// Whether comparing against this device takes the whole codes.
bool IsFull(const PARSED_S &stImg, const PARSED_S &stDev)
{
    return strcmp(VERSION_THRESHOLD, stDev.szValue) <= 0 && (stImg.ulCFlag == stDev.ulCFlag || stDev.ulCFlag != 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    std::string_view svRest(reinterpret_cast<const char *>(pData), ulSize);
    Text pszImg = TakeLine(svRest);
    Text pszDev = TakeLine(svRest);
    Text pszDate = TakeLine(svRest);
    int32_t lFwd = CompareVersion(pszImg.get(), pszDev.get());
    int32_t lBack = CompareVersion(pszDev.get(), pszImg.get());
    Check(lFwd >= -1 && lFwd <= 1 && lBack >= -1 && lBack <= 1);
    Check(CompareVersion(pszImg.get(), pszImg.get()) == (IsTest(pszImg.get()) ? 1 : 0));
    PARSED_S stImg = Parse(pszImg.get());
    PARSED_S stDev = Parse(pszDev.get());
    if (!IsTest(pszImg.get()) && !IsTest(pszDev.get()) && stImg.lValid && stDev.lValid &&
        stImg.ulLong == stDev.ulLong && IsFull(stImg, stDev) == IsFull(stDev, stImg)) {
        Check(lFwd == -lBack || (lFwd == -1 && lBack == -1));
    }

    char szVersion[VERSION_BUF_LEN] = "R1234";
    char szSuffix[BUILD_SUFFIX_BUF_LEN] = {};
    FormatBuildDate(pszDate.get(), szSuffix, szVersion);
    Check(strncmp(szVersion, "R1234.", 6) == 0 && strlen(szVersion) < sizeof(szVersion));

    char szVer[VERSION_BUF_LEN] = {};
    char szDate[BUILD_DATE_BUF_LEN] = {};
    char szTime[BUILD_TIME_BUF_LEN] = {};
    FILE *pFile = fmemopen(const_cast<uint8_t *>(pData), ulSize, "r");
    if (pFile != nullptr) {
        ReadVersionLines(pFile, szVer, szVer, szVer, szDate, szTime);
        fclose(pFile);
    }
    Check(strnlen(szDate, sizeof(szDate)) < sizeof(szDate) && strnlen(szTime, sizeof(szTime)) < sizeof(szTime));
    return 0;
}
