// Fuzz target for the manufacturing-information adapter and the capability
// file reader. An even first byte picks the adapter: the next byte is the
// length of the device environment that follows, the rest the package's file.
// An odd first byte hands the rest to the capability file reader.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "custom/custom.h"
#include "custom/language.h"
#include "fuzz/fuzz_util.h"

namespace {

struct FUZZ_ENV_S {
    std::string_view svEnv;
    bool bFound;
};

// As "cat /proc/env | grep KEY": the first line that contains the key.
int FuzzLookup(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx)
{
    auto *pstEnv = static_cast<FUZZ_ENV_S *>(pCtx);
    for (std::string_view svRest = pstEnv->svEnv; !svRest.empty();) {
        size_t ulEnd = svRest.find('\n');
        std::string_view svLine = svRest.substr(0, ulEnd == std::string_view::npos ? ulEnd : ulEnd + 1);
        svRest.remove_prefix(svLine.size());
        if (svLine.find(pszKey) != std::string_view::npos) {
            snprintf(pszLine, ulSize, "%.*s", static_cast<int>(svLine.size()), svLine.data());
            pstEnv->bFound = true;
            return 0;
        }
    }
    return -1;
}

// A stream over a memory file holding the bytes (empty ones too).
FILE *MemFile(const uint8_t *pData, size_t ulSize)
{
    FILE *pFile = fdopen(MemFd(pData, ulSize), "r");
    Check(pFile != nullptr);
    return pFile;
}

void FuzzAdapter(const uint8_t *pData, size_t ulSize)
{
    if (ulSize == 0) {
        return;
    }
    size_t ulEnvLen = std::min<size_t>(pData[0], ulSize - 1);
    FUZZ_ENV_S stEnv {std::string_view(reinterpret_cast<const char *>(pData + 1), ulEnvLen), false};
    const uint8_t *pManu = pData + 1 + ulEnvLen;
    size_t ulManu = ulSize - 1 - ulEnvLen;
    FILE *pSrc = MemFile(pManu, ulManu);
    int lDst = memfd_create("manu", MFD_CLOEXEC);
    Check(lDst >= 0 && AdaptManuInfoStream(pSrc, lDst, FuzzLookup, &stEnv) == 0);
    fclose(pSrc);
    // Without a device entry to take, the copy must be exact.
    if (!stEnv.bFound) {
        std::string sOut(ulManu + 1, '\0');
        Check(pread(lDst, sOut.data(), sOut.size(), 0) == static_cast<ssize_t>(ulManu) &&
              memcmp(sOut.data(), pManu, ulManu) == 0);
    }
    close(lDst);
}

void FuzzXml(const uint8_t *pData, size_t ulSize)
{
    FILE *pFile = MemFile(pData, ulSize);
    uint32_t aulSupport[LANG_WORDS] = {};
    uint8_t ucDefault = 0;
    if (ReadXmlLanguage(pFile, aulSupport, &ucDefault) == 0) {
        Check(LangBitIsSet(aulSupport, ucDefault) != 0);
        char szText[256] = {};
        FILE *pOut = fmemopen(szText, sizeof(szText) - 1, "w");
        Check(pOut != nullptr && WriteLanguageCfg(pOut, aulSupport, ucDefault) == 0);
        fclose(pOut);
        size_t ulLen = strlen(szText);
        Check(strncmp(szText, "@@\r\nE_CONFIG_VER:1.00\r\n", 23) == 0 && ulLen >= 4 &&
              strcmp(szText + ulLen - 4, "$$\r\n") == 0);
    }
    fclose(pFile);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize > 0) {
        ((pData[0] & 1) == 0 ? FuzzAdapter : FuzzXml)(pData + 1, ulSize - 1);
    }
    return 0;
}
