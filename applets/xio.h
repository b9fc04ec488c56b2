// Checked input/output for the flash applets. The X routines print one
// "update: ..." line on standard error and end the process with status 1 when
// the call fails; the Safe/Full routines report through their result.
#pragma once

#include <sys/types.h>

#include <cstddef>

// How many zero-byte write results in a row FullWrite accepts before it gives
// up and returns what it has written so far.
inline constexpr int FULL_WRITE_MAX_ZERO = 8;

int XOpen3(const char *pszPath, int iFlags, mode_t uiMode);
int XOpen(const char *pszPath, int iFlags);
off_t XLseek(int iFd, off_t llOffset, int iWhence);

ssize_t SafeRead(int iFd, void *pBuf, size_t ulLen);
ssize_t FullRead(int iFd, void *pBuf, size_t ulLen);
void XRead(int iFd, void *pBuf, size_t ulLen);

ssize_t SafeWrite(int iFd, const void *pBuf, size_t ulLen);
ssize_t FullWrite(int iFd, const void *pBuf, size_t ulLen);
ssize_t XWrite(int iFd, const void *pBuf, size_t ulLen);

int XIoctl(int iFd, unsigned long ulRequest, void *pArg);
void *XMalloc(size_t ulSize);

// Prints "update: " and the formatted text on standard error, then exits 1.
[[noreturn]] void XFail(const char *pszFmt, ...) __attribute__((format(printf, 1, 2)));

// Owner of a descriptor opened by the applets.
struct XFd {
    int iFd = -1;
    explicit XFd(int iNew) : iFd(iNew) {}
    XFd(const XFd &) = delete;
    XFd &operator=(const XFd &) = delete;
    ~XFd();
};
