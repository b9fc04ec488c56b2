// Language configuration: the default and supported languages of the device
// capability file, handed to the configuration store.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr const char *DEVCAP_XML_FILE = "/var/devcap/devcap.xml";
constexpr const char *LANGUAGE_CFG_FILE = "/tmp/cfginfo.txt";

constexpr unsigned LANGUAGE_MAX = 128;     // ids 0..127
constexpr unsigned LANG_WORDS = 4;         // the support set: 4 x 32 bits
constexpr unsigned LANG_NAME_LEN = 20;
constexpr uint8_t LANG_DEFAULT_NONE = 255; // default language not found
// A capability file is a few kilobytes; anything far beyond is refused
// before it is parsed into memory.
constexpr long DEVCAP_MAX_SIZE = 1024 * 1024;

struct LANGUAGE_S {
    uint32_t ulLangId;
    char szLangName[LANG_NAME_LEN];
};

// Reads the capability file, writes /tmp/cfginfo.txt, loads it and removes it.
void UPDATE_LoadLanguageCfg(void);

// 0 with both outputs set, or -1 (outputs untouched).
int GetXmlLanguage(uint32_t aulSupport[LANG_WORDS], uint8_t *pucDefault);

// The table name of an id; the empty text for ids without a name.
const char *GetLanguageName(uint32_t ulId);

// Comma-separated decimal numbers into up to ulMax words; empty fields are skipped.
void ParseNumList(const char *pszText, unsigned ulMax, uint32_t *pulOut);

int IsAllZero(const uint32_t *pulWords, unsigned ulCount);
int LangBitIsSet(const uint32_t aulSupport[LANG_WORDS], uint32_t ulId);

// GetXmlLanguage on an open capability document (the reading and checking
// after the file is opened); the file stays open.
int ReadXmlLanguage(FILE *pFile, uint32_t aulSupport[LANG_WORDS], uint8_t *pucDefault);

// Writes the configuration information text with CR LF line ends; 0 or -1.
int WriteLanguageCfg(FILE *pFile, const uint32_t aulSupport[LANG_WORDS], uint8_t ucDefault);
