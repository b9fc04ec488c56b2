// Fuzz target for the manufacturing-information adapter and the capability
// file reader. The first byte picks the reader; for the adapter the second
// byte is the length of the fake device environment that follows, the rest is
// the package's manufacturing file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include "custom/custom.h"
#include "custom/language.h"

namespace {

struct FUZZ_ENV_S {
    std::string_view svEnv;
    bool bFound;
};

// As "cat /proc/env | grep KEY": the first line that contains the key.
int FuzzLookup(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx)
{
    auto *pstEnv = static_cast<FUZZ_ENV_S *>(pCtx);
    std::string_view svRest = pstEnv->svEnv;
    while (!svRest.empty()) {
        size_t ulEnd = svRest.find('\n');
        std::string_view svLine = svRest.substr(0, ulEnd == std::string_view::npos ? svRest.size() : ulEnd + 1);
        svRest.remove_prefix(svLine.size());
        if (svLine.find(pszKey) != std::string_view::npos) {
            size_t ulCopy = svLine.size() < ulSize - 1 ? svLine.size() : ulSize - 1;
            memcpy(pszLine, svLine.data(), ulCopy);
            pszLine[ulCopy] = '\0';
            pstEnv->bFound = true;
            return 0;
        }
    }
    return -1;
}

// A stream over the bytes; fmemopen refuses a zero size, so an empty input
// reads from a placeholder that is consumed at once.
FILE *OpenInput(const uint8_t *pData, size_t ulSize)
{
    static char s_cPlaceholder = 0;
    if (ulSize > 0) {
        return fmemopen(const_cast<uint8_t *>(pData), ulSize, "r");
    }
    FILE *pFile = fmemopen(&s_cPlaceholder, 1, "r");
    if (pFile != nullptr) {
        getc(pFile);
    }
    return pFile;
}

void FuzzAdapter(const uint8_t *pData, size_t ulSize)
{
    if (ulSize < 1) {
        return;
    }
    size_t ulEnvLen = pData[0] < ulSize - 1 ? pData[0] : ulSize - 1;
    FUZZ_ENV_S stEnv {std::string_view(reinterpret_cast<const char *>(pData + 1), ulEnvLen), false};
    const uint8_t *pManu = pData + 1 + ulEnvLen;
    size_t ulManu = ulSize - 1 - ulEnvLen;

    FILE *pSrc = OpenInput(pManu, ulManu);
    int lDst = memfd_create("manu", MFD_CLOEXEC);
    if (pSrc == nullptr || lDst < 0) {
        abort();
    }
    if (AdaptManuInfoStream(pSrc, lDst, FuzzLookup, &stEnv) != 0) {
        abort();
    }
    fclose(pSrc);
    // Without a device entry to take, the copy must be exact.
    off_t lOut = lseek(lDst, 0, SEEK_END);
    if (!stEnv.bFound) {
        if (static_cast<size_t>(lOut) != ulManu) {
            abort();
        }
        if (ulManu > 0) {
            void *pMap = mmap(nullptr, ulManu, PROT_READ, MAP_PRIVATE, lDst, 0);
            if (pMap == MAP_FAILED || memcmp(pMap, pManu, ulManu) != 0) {
                abort();
            }
            munmap(pMap, ulManu);
        }
    }
    close(lDst);
}

void FuzzXml(const uint8_t *pData, size_t ulSize)
{
    FILE *pFile = OpenInput(pData, ulSize);
    if (pFile == nullptr) {
        abort();
    }
    uint32_t aulSupport[LANG_WORDS] = {};
    uint8_t ucDefault = 0;
    if (ReadXmlLanguage(pFile, aulSupport, &ucDefault) == 0) {
        if (!LangBitIsSet(aulSupport, ucDefault)) {
            abort();
        }
        char szText[256] = {};
        FILE *pOut = fmemopen(szText, sizeof(szText) - 1, "w");
        if (pOut == nullptr || WriteLanguageCfg(pOut, aulSupport, ucDefault) != 0) {
            abort();
        }
        fclose(pOut);
        size_t ulLen = strlen(szText);
        if (strncmp(szText, "@@\r\nE_CONFIG_VER:1.00\r\n", 23) != 0 || ulLen < 4 ||
            strcmp(szText + ulLen - 4, "$$\r\n") != 0) {
            abort();
        }
    }
    fclose(pFile);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The readers report on standard output; the fuzzer talks on standard error.
    int lNull = open("/dev/null", O_WRONLY);
    if (lNull >= 0) {
        dup2(lNull, STDOUT_FILENO);
        close(lNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize == 0) {
        return 0;
    }
    if ((pData[0] & 1) == 0) {
        FuzzAdapter(pData + 1, ulSize - 1);
    } else {
        FuzzXml(pData + 1, ulSize - 1);
    }
    return 0;
}
