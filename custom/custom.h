// Customisation archive: manufacturing and configuration information, boot
// logo and resources, each handed to the device tool that stores it.
#pragma once

#include <cstddef>
#include <cstdio>

constexpr const char *CUSTOM_ZIP_FILE = "/tmp/custom.zip";
constexpr const char *CUSTOM_UNZIP_DIR = "/tmp";
constexpr const char *CUSTOM_OEM_DIR = "/tmp/oem";
constexpr const char *CUSTOM_MANU_FILE = "/tmp/oem/manuinfo.txt";
constexpr const char *CUSTOM_MANU_TMP_FILE = "/tmp/oem/manuinfoTmp.txt";
constexpr const char *CUSTOM_CFG_FILE = "/tmp/oem/cfginfo.txt";
constexpr const char *CUSTOM_LOGO_NAME = "bootlogo_non.gz";
constexpr const char *CUSTOM_RES_NAME = "res.zip";
constexpr const char *CUSTOM_RES_PACK_NAME = "res_compress.tar.gz";

// Manufacturing information lines are read in pieces of this size.
constexpr size_t MANU_LINE_LEN = 512;

// Unpacks the archive into /tmp and applies each part found under /tmp/oem.
// The unpack command's result when that fails, else 0 (parts are best-effort).
int UPDATE_LoadCustom(const char *pszZipFile);
int UPDATE_LoadManuInfo(const char *pszFile);
int UPDATE_AdaptManuInfo(const char *pszSrc, const char *pszDst);
int UPDATE_LoadCfgInfo(const char *pszFile);
int UPDATE_LoadLogoFile(const char *pszName);
int UPDATE_LoadResFile(const char *pszName);

// Finds the device's own line for an identity key: fills pszLine (a text of
// at most ulSize - 1 characters) and returns 0, or returns -1 when the device
// has no such entry.
using MANU_LOOKUP_PF = int (*)(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx);

// The device lookup: the first line of "cat /proc/env | grep KEY".
int ReadProcEnvLine(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx);

// Copies a manufacturing information stream to descriptor lDstFd, replacing
// every line whose key begins with a device identity name by the device's
// own line. Other lines, and the bytes of every line, are copied unchanged.
// Returns 0, -1 when writing failed, or -2 when reading failed.
int AdaptManuInfoStream(FILE *pSrc, int lDstFd, MANU_LOOKUP_PF pfLookup, void *pCtx);
