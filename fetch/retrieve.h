// Bringing the package onto the device (TFTP, FTP, cloud, local) and reading its head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "include/packet.h"

constexpr unsigned LOAD_RETRY_TIMES = 3;
constexpr unsigned TFTP_BLOCK_SIZE = 8192;

// pszLogCmd (optional, ulCmdSize bytes) receives the same line with the
// password masked, for the log.
// Types 0, 1 and 4 fill pszCmd with the fetch command line (at most
// CMD_BUF_LEN - 1 characters); type 5 downloads the package; others do
// nothing. 0, the download's result, or -1 when a command cannot be formed.
int BuildLoadCmd(uint16_t usTransType, const char *pszHost, const char *pszUser, const char *pszPassword,
                 const char *pszRemoteFile, const char *pszUrl, char *pszCmd, size_t ulCmdSize,
                 char *pszLogCmd = nullptr);

// TFTP (both codes) and FTP: fetched by the device's tools into /tmp.
bool IsFetchedByTool(uint16_t usTransType);

// Runs a fetch command through the shell up to LOAD_RETRY_TIMES times, one
// second apart: 0 at the first success, -1 when every attempt failed.
int RunFetchCmd(const char *pszCmd);

// Fetches the package into /tmp/Program.bin (3 attempts for TFTP and FTP). 0 or an error.
int GetRemoteBinFile(uint16_t usTransType, const char *pszHost, const char *pszUser, const char *pszPassword,
                     const char *pszRemoteFile, const char *pszUrl);

// Fetches the package, then reads its leading PACKET_HEAD_LEN bytes into
// spHead and the next PACKET_COMPAT_LEN bytes into spCompat (each cut to the
// buffer given). The buffers are not terminated here: pass them zero-filled.
int GetVersionInfo(uint16_t usTransType, const char *pszHost, const char *pszUser, const char *pszPassword,
                   const char *pszRemoteFile, const char *pszUrl, std::span<char> spHead, std::span<char> spCompat);
