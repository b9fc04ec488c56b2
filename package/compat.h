// Whether a package may be installed on this device, the kernel probes it
// needs, and the version report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/ver_cmp.h"

constexpr size_t BOARD_TYPE_BUF_LEN = 128;
constexpr const char *BOARD_TYPE_CMD = "cat /proc/board_type";
constexpr const char *UBOOT_REV_CMD = "cat /proc/uboot_rev";

// Kept by CheckUpdateValid for the boot environment step.
extern char g_szLocalInnerVersion[VERSION_BUF_LEN];
extern char g_szImagePubVersion[VERSION_BUF_LEN];

// 0, or -1 with "Unknown" stored. pszBoardType holds BOARD_TYPE_BUF_LEN bytes.
int GetBoardType(char *pszBoardType);
int GetUbootVersion(char *pszUbootVersion);

// 0 when the board is among the first 64 entries of the "$"-separated list
// (19 characters compared), -1 otherwise. The list is split in place and
// never read past PACKET_COMPAT_LEN bytes.
int CheckBoardCompatible(char *pszCompatList, const char *pszBoardType);

// 0 accepted, -2 version file unreadable or package not newer, -3 board not
// listed. Force skips only the version comparison. pszHead is split in place
// and read at most PACKET_HEAD_LEN bytes; the expected CRC goes to *pulCrc.
int CheckUpdateValid(uint32_t usForceFlag, char *pszHead, char *pszCompatList, uint32_t *pulCrc);

// Version report on standard output: 0 the inner version, 1 or 20 all six lines.
void ShowVersion(uint32_t usShowInfo);
