// The update applet's command line: parsing into the request record, the help
// text, address checks, package file names and encoding a request back into words.
#pragma once

#include <cstddef>

#include "include/update_types.h"

// A value-taking option stands last, or the unknown words do not fit the
// relaunch: the line is refused outright.
constexpr int ARGS_REFUSED = -2;

// 0, -1 (words for the package's updater: hand-over), or ARGS_REFUSED.
int ParseUpdateArgs(int argc, char *argv[], UPDATE_REQ_S *pstReq, char *pszExtraArgs);
void PrintUsage(void);
int CheckRemoteAddr(const UPDATE_REQ_S *pstReq);
int CheckIpAddr(const char *pszAddr);
// Both buffers hold CMD_BUF_LEN bytes.
void GetPacketFileName(const UPDATE_REQ_S *pstReq, char *pszRemoteFile, char *pszLocalFile);
// The three encoders append to a NUL-terminated text of CMD_BUF_LEN bytes.
void AppendTypeWord(unsigned ulType, int lNoDefault, char *pszBuf);
void AppendRebootWords(unsigned ulForce, unsigned ulReboot, char *pszBuf);
// The relaunch words of a request: 0, or -1 (nothing appended) when they do
// not fit.
int EncodeRelaunchArgs(const UPDATE_REQ_S *pstReq, const char *pszExtraArgs, char *pszBuf);
