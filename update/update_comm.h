// Running from a RAM copy, handing over to the package's updater, and the
// split of a request into install items.
#pragma once

#include "include/packet.h"
#include "include/update_item.h"
#include "include/update_types.h"

constexpr const char *MEMUPDATE_FILE = "/tmp/memupdate";
constexpr const char *HANDOVER_UPDATER = "/tmp/busybox";
constexpr unsigned EXE_PATH_LEN = 64;

// Continues the run from /tmp/memupdate (does not return when that starts);
// 0 when already running from /tmp/memupdate or /tmp/busybox, else non-zero.
int RelocateSelf(char *argv[]);
// Unpacks the package's updater to /tmp/busybox: 0 or the unpack error.
int RelocateUpdate(const SUB_IMAGE_S *pstEntry, const char *pszPacketFile);
// Runs /tmp/busybox on the package in pszDir with the words of pszArgs and
// "-loop"; its exit status.
int LaunchUpdate(const char *pszDir, const char *pszArgs);
// The shell line LaunchUpdate runs, into CMD_BUF_LEN bytes: 0, or -1 when it
// does not fit (a cut line would run something else).
int ComposeLaunchCmd(const char *pszDir, const char *pszArgs, char *pszCmd);
int CreateUpdateLink(UPDATE_LINK_S *pstLink);
// The type asks for every whole-package kind this board supports.
bool IsWholePackage(uint64_t ulType);
// After a hand-over: the package keeps (or gets back) its name, the link goes.
void RestorePacketName(const UPDATE_LINK_S *pstLink);
int UpdateOneComponent(UPDATE_ITEM_S *pstItem);
// The whole-package item first, then single items; 0 or the first failure.
int UpdateComponents(UPDATE_ITEM_S *pstItem);
void ReportUpdateResult(const UPDATE_REQ_S *pstReq);
// Reads /proc/self/exe into a buffer of EXE_PATH_LEN bytes: 0 or -1 (logged).
int ReadExePath(char *pszPath);
