// Fuzz target for the manufacturing-information adapter and the capability
// file reader. An even first byte picks the adapter: the next byte is the
// length of the device environment that follows, the rest the package's file.
// An odd first byte hands the rest to the capability file reader.
#include "custom/custom.h"
#include "custom/language.h"
#include "fuzz/fuzz_util.h"

namespace {

bool s_bFound = false;

// As "cat /proc/env | grep KEY" over the environment text: the first line that contains the key.
int FuzzLookup(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx)
{
    std::string_view sv = *static_cast<std::string_view *>(pCtx);
    size_t ulAt = sv.find(pszKey);
    if (ulAt == std::string_view::npos) {
        return -1;
    }
    sv.remove_prefix(sv.rfind('\n', ulAt) + 1);
    snprintf(pszLine, ulSize, "%.*s", static_cast<int>(std::min(sv.find('\n'), sv.size() - 1) + 1), sv.data());
    s_bFound = true;
    return 0;
}

void FuzzAdapter(const uint8_t *pData, size_t ulSize)
{
    size_t ulEnvLen = std::min<size_t>(pData[0], ulSize - 1);
    std::string_view svEnv(reinterpret_cast<const char *>(pData + 1), ulEnvLen);
    std::string_view svManu(svEnv.data() + ulEnvLen, ulSize - 1 - ulEnvLen);
    FdOwner dst(memfd_create("manu", MFD_CLOEXEC));
    s_bFound = false;
    Check(AdaptManuInfoStream(MemFile(pData + 1 + ulEnvLen, svManu.size()).get(), dst.Get(), FuzzLookup, &svEnv) == 0);
    // Without a device entry to take, the copy must be exact.
    std::string sOut(svManu.size() + 1, '\0');
    sOut.resize(std::max<ssize_t>(pread(dst.Get(), sOut.data(), sOut.size(), 0), 0));
    Check(s_bFound || sOut == svManu);
}

void FuzzXml(const uint8_t *pData, size_t ulSize)
{
    uint32_t aulSupport[LANG_WORDS] = {};
    uint8_t ucDefault = 0;
    char szText[256] = {};
    if (ReadXmlLanguage(MemFile(pData, ulSize).get(), aulSupport, &ucDefault) == 0) {
        Check(LangBitIsSet(aulSupport, ucDefault) != 0);
        FileOwner pOut(fmemopen(szText, sizeof(szText) - 1, "w"));
        Check(pOut && WriteLanguageCfg(pOut.get(), aulSupport, ucDefault) == 0);
        pOut.reset();
        std::string_view svText(szText);
        Check(svText.starts_with("@@\r\nE_CONFIG_VER:1.00\r\n") && svText.ends_with("$$\r\n"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize > 1) {
        ((pData[0] & 1) == 0 ? FuzzAdapter : FuzzXml)(pData + 1, ulSize - 1);
    }
    return 0;
}
