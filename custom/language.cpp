#include "custom/language.h"
#include "include/owners.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mxml.h>
#include <sys/stat.h>

#include "custom/custom.h"
#include "include/update_types.h"
#include "update/update_exec.h"
#include "update/update_log.h"

namespace {

constexpr size_t LANG_LINE_LEN = 64;
constexpr unsigned LANG_NAMED = 36;

consteval std::array<LANGUAGE_S, LANGUAGE_MAX> MakeLanguageTable()
{
    constexpr const char *NAMES[LANG_NAMED] = {
        "ZH", "EN", "ZH_TW", "JA", "KO", "FR", "ES", "RU", "DE", "FA", "PL", "ID",
        "TH", "PT", "AR", "IW", "IT", "EL", "CS", "TR", "DA", "NO", "RO", "DU",
        "SK", "HU", "BUL", "CRO", "LV", "UK", "SER", "VN", "UZ", "KK", "ES_MX", "PT_BR",
    };
    std::array<LANGUAGE_S, LANGUAGE_MAX> astTable {};
    for (unsigned i = 0; i < LANG_NAMED; ++i) {
        astTable[i].ulLangId = i;
        for (unsigned j = 0; NAMES[i][j] != '\0' && j + 1 < LANG_NAME_LEN; ++j) {
            astTable[i].szLangName[j] = NAMES[i][j];
        }
    }
    return astTable;
}

// 128 rows; the rows after the named ones are empty.
constexpr std::array<LANGUAGE_S, LANGUAGE_MAX> g_astLanguage = MakeLanguageTable();


struct XmlDeleter {
    void operator()(mxml_node_t *pNode) const { mxmlDelete(pNode); }
};
using XmlOwner = std::unique_ptr<mxml_node_t, XmlDeleter>;

// The library's own complaints about a malformed file go to the log rather
// than to the terminal of whoever runs the update.
void LogXmlError(const char *pszMessage)
{
    UPDATE_LOG("mxml: %s\n", pszMessage);
}

int GetXmlLanguageAt(const char *pszPath, uint32_t aulSupport[LANG_WORDS], uint8_t *pucDefault)
{
    struct stat stInfo {};
    if (stat(pszPath, &stInfo) != 0) {
        UPDATE_LOG_PRINT("%s inexistence\n", pszPath);
        return -1;
    }
    if (!S_ISREG(stInfo.st_mode) || stInfo.st_size > DEVCAP_MAX_SIZE) {
        UPDATE_LOG_PRINT("%s is not a regular file of at most %ld bytes\n", pszPath, DEVCAP_MAX_SIZE);
        return -1;
    }
    FileOwner pFile(fopen(pszPath, "r"));
    if (!pFile) {
        UPDATE_LOG_PRINT("Failed to open file(%s)\n", pszPath);
        return -1;
    }
    return ReadXmlLanguage(pFile.get(), aulSupport, pucDefault);
}

} // namespace

const char *GetLanguageName(uint32_t ulId)
{
    for (const LANGUAGE_S &stLang : g_astLanguage) {
        if (stLang.ulLangId == ulId) {
            return stLang.szLangName;
        }
    }
    return "";
}

void ParseNumList(const char *pszText, unsigned ulMax, uint32_t *pulOut)
{
    if (pszText == nullptr || pulOut == nullptr) {
        return;
    }
    unsigned ulCount = 0;
    const char *p = pszText;
    while (*p != '\0' && ulCount < ulMax) {
        const char *pszEnd = strchr(p, ',');
        size_t ulField = pszEnd != nullptr ? static_cast<size_t>(pszEnd - p) : strlen(p);
        if (ulField > 0) {
            // The conversion stops at the comma by itself, so the whole field
            // counts however many blanks or zeros lead it.
            errno = 0;
            unsigned long long ullValue = strtoull(p, nullptr, 10);
            // Out of range saturates rather than wrapping into some other set of bits.
            if (errno == ERANGE || ullValue > UINT32_MAX) {
                ullValue = UINT32_MAX;
            }
            pulOut[ulCount++] = static_cast<uint32_t>(ullValue);
        }
        if (pszEnd == nullptr) {
            break;
        }
        p = pszEnd + 1;
    }
}

int IsAllZero(const uint32_t *pulWords, unsigned ulCount)
{
    for (unsigned i = 0; i < ulCount; ++i) {
        if (pulWords[i] != 0) {
            return 0;
        }
    }
    return 1;
}

int LangBitIsSet(const uint32_t aulSupport[LANG_WORDS], uint32_t ulId)
{
    if (ulId >= LANGUAGE_MAX) {
        return 0;
    }
    return (aulSupport[ulId / 32] >> (ulId % 32)) & 1U;
}

int ReadXmlLanguage(FILE *pFile, uint32_t aulSupport[LANG_WORDS], uint8_t *pucDefault)
{
    uint8_t ucDefault = LANG_DEFAULT_NONE;
    uint32_t aulWords[LANG_WORDS] = {};

    mxmlSetErrorCallback(LogXmlError);
    // The document is loaded under a node of our own: the library drops the
    // nodes it already built when it gives up on a malformed file without a
    // parent, and the root element itself is searched like any other.
    XmlOwner pTree(mxmlNewElement(MXML_NO_PARENT, "devcap"));
    if (!pTree || mxmlLoadFile(pTree.get(), pFile, MXML_NO_CALLBACK) == nullptr) {
        UPDATE_LOG_PRINT("XmlNode is NULL.\n");
        return -1;
    }

    mxml_node_t *pCustom = mxmlFindElement(pTree.get(), pTree.get(), "ACustomCfg", nullptr, nullptr, MXML_DESCEND);
    if (pCustom != nullptr) {
        ParseNumList(mxmlElementGetAttr(pCustom, "SupportLanguage"), LANG_WORDS, aulWords);
    } else {
        UPDATE_LOG_PRINT("A custom node is NULL.\n");
    }

    mxml_node_t *pCurrent = mxmlFindElement(pTree.get(), pTree.get(), "CurLanguage", nullptr, nullptr, MXML_DESCEND);
    if (pCurrent != nullptr) {
        const char *pszText = mxmlGetText(pCurrent, nullptr);
        if (pszText != nullptr && *pszText != '\0') {
            ucDefault = static_cast<uint8_t>(strtoul(pszText, nullptr, 10) & 0xFFU);
        }
    } else {
        UPDATE_LOG_PRINT("Current language node is NULL.\n");
    }

    if (ucDefault == LANG_DEFAULT_NONE && IsAllZero(aulWords, LANG_WORDS)) {
        UPDATE_LOG_PRINT("Default and support language are inexistence.\n");
        return -1;
    }
    if (LangBitIsSet(aulWords, ucDefault)) {
        if (aulSupport != nullptr) {
            memcpy(aulSupport, aulWords, sizeof(aulWords));
        }
        if (pucDefault != nullptr) {
            *pucDefault = ucDefault;
        }
        return 0;
    }
    UPDATE_LOG_PRINT("Default language(%u) is not in support language(%u/%u/%u/%u).\n", ucDefault, aulWords[0],
                     aulWords[1], aulWords[2], aulWords[3]);
    return -1;
}

int GetXmlLanguage(uint32_t aulSupport[LANG_WORDS], uint8_t *pucDefault)
{
    return GetXmlLanguageAt(DEVCAP_XML_FILE, aulSupport, pucDefault);
}

int WriteLanguageCfg(FILE *pFile, const uint32_t aulSupport[LANG_WORDS], uint8_t ucDefault)
{
    char szLine[LANG_LINE_LEN];
    fputs("@@\r\n", pFile);
    fputs("E_CONFIG_VER:1.00\r\n", pFile);
    if (ucDefault < LANGUAGE_MAX) {
        snprintf(szLine, sizeof(szLine), "DEFAULT_LANGUAGE:%s", GetLanguageName(ucDefault));
        fprintf(pFile, "%s\r\n", szLine);
    }
    if (!IsAllZero(aulSupport, LANG_WORDS)) {
        snprintf(szLine, sizeof(szLine), "SUPPORT_LANGUAGE:%x,%x,%x,%x", aulSupport[0], aulSupport[1], aulSupport[2],
                 aulSupport[3]);
        fprintf(pFile, "%s\r\n", szLine);
    }
    fputs("$$\r\n", pFile);
    return (fflush(pFile) != 0 || ferror(pFile)) ? -1 : 0;
}

void UPDATE_LoadLanguageCfg(void)
{
    uint32_t aulSupport[LANG_WORDS] = {};
    uint8_t ucDefault = LANG_DEFAULT_NONE;
    if (GetXmlLanguage(aulSupport, &ucDefault) != 0) {
        return;
    }
    UPDATE_LOG_PRINT("Get xml language default:%u, support:%u,%u,%u,%u.\n", ucDefault, aulSupport[0], aulSupport[1],
                     aulSupport[2], aulSupport[3]);

    // Created afresh and exclusively: a name left behind in /tmp (a link, say)
    // is never written through.
    remove(LANGUAGE_CFG_FILE);
    FileOwner pFile(fopen(LANGUAGE_CFG_FILE, "wx"));
    if (!pFile) {
        UPDATE_LOG_PRINT("Failed to open %s.\n", LANGUAGE_CFG_FILE);
        return;
    }
    int lWritten = WriteLanguageCfg(pFile.get(), aulSupport, ucDefault);
    if (fclose(pFile.release()) != 0 || lWritten != 0) {
        // A cut file would replace the stored settings with part of them.
        UPDATE_LOG_PRINT("Failed to write %s.\n", LANGUAGE_CFG_FILE);
    } else {
        long lRet = UPDATE_LoadCfgInfo(LANGUAGE_CFG_FILE);
        if (lRet != 0) {
            UPDATE_LOG_PRINT("Failed to load %s, %ld.\n", LANGUAGE_CFG_FILE, lRet);
        }
    }
    UpdateSystem("rm -f /tmp/cfginfo.txt");
}
