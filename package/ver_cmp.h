// Public version strings: parsing into comparable codes, the comparison,
// the device's version file and the build date suffix.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr const char *VERSION_THRESHOLD = "41600";
constexpr const char *VERSION_FILE = "/program/.version";
constexpr const char *VERSION_FILE_ROOT = "/.version";

constexpr size_t VER_VALUE_LEN = 9;        // characters of szVerValue
constexpr size_t VER_TYPE_SHORT_LEN = 5;   // characters of szVerType, short form
constexpr size_t VER_TYPE_LONG_LEN = 6;    // characters of szVerType, long form
constexpr size_t VER_VALUE_BUF = VER_VALUE_LEN + 1;
constexpr size_t VER_TYPE_BUF = VER_TYPE_LONG_LEN + 1;

// Buffers of the version file's values.
constexpr size_t VERSION_BUF_LEN = 128;
constexpr size_t BUILD_DATE_BUF_LEN = 11;
constexpr size_t BUILD_TIME_BUF_LEN = 9;
constexpr size_t BUILD_SUFFIX_BUF_LEN = 10;

// 1 image newer (or a test version involved), 0 equal or invalid, -1 older,
// other platform, or a null pointer.
int32_t CompareVersion(const char *pszImgVer, const char *pszDevVer);

// 1 valid, 0 invalid. pszVerValue needs VER_VALUE_BUF bytes, pszVerType VER_TYPE_BUF.
int ParseVersion(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag,
                 uint32_t *pulLongForm);
int ParseShortVersion(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag);
int ParseLongVersion(const char *pszVer, char *pszVerValue, char *pszVerType, uint32_t *pulCFlag);

// Copies the C part starting at pszPart (5 characters, after its letter):
// the first three into the type code at ulTypePos, the last two into the
// value code's positions 7-8.
void ParseCPart(const char *pszPart, char *pszVerValue, char *pszVerType, size_t ulTypePos);
// The L part whose letter is at pszVer[ulPos] and what may follow it: 1 or 0.
int ParseTailAfterL(const char *pszVer, size_t ulPos, char *pszVerValue, char *pszVerType, size_t ulTypePos);

int CompareVersionCodes(const char *pszImgType, const char *pszDevType, const char *pszImgValue,
                        const char *pszDevValue, int32_t lTypeLen, int32_t lValueLen);

// Reads "/program/.version", else "/.version". Buffers: VERSION_BUF_LEN for
// the three versions, BUILD_DATE_BUF_LEN and BUILD_TIME_BUF_LEN. 0 or -1.
int ReadVersionFile(char *pszPubVer, char *pszNewVer, char *pszInnerVer, char *pszBuildDate, char *pszBuildTime);
// The line reader of ReadVersionFile on an already open file.
void ReadVersionLines(FILE *pFile, char *pszPubVer, char *pszNewVer, char *pszInnerVer, char *pszBuildDate,
                      char *pszBuildTime);

// Appends ".YYMMDD" of the build date to pszVersion (a VERSION_BUF_LEN buffer),
// formatting through pszBuf (BUILD_SUFFIX_BUF_LEN bytes).
void FormatBuildDate(const char *pszBuildDate, char *pszBuf, char *pszVersion);
