#include "applets/xio.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void XFail(const char *pszFmt, ...)
{
    // Progress text already printed must not be lost behind the error line.
    fflush(stdout);
    char szMsg[8192];
    va_list ap;
    va_start(ap, pszFmt);
    vsnprintf(szMsg, sizeof(szMsg), pszFmt, ap);
    va_end(ap);
    fprintf(stderr, "update: %s", szMsg);
    exit(1);
}

XFd::~XFd()
{
    if (iFd >= 0) {
        close(iFd);
    }
}

int XOpen3(const char *pszPath, int iFlags, mode_t uiMode)
{
    int iFd = open(pszPath, iFlags, uiMode);
    if (iFd < 0) {
        XFail("can't open '%s' (error %s)\n", pszPath, strerror(errno));
    }
    return iFd;
}

int XOpen(const char *pszPath, int iFlags)
{
    return XOpen3(pszPath, iFlags, 0666);
}

off_t XLseek(int iFd, off_t llOffset, int iWhence)
{
    off_t llPos = lseek(iFd, llOffset, iWhence);
    if (llPos == (off_t)-1) {
        if (iWhence == SEEK_SET) {
            XFail("lseek(%lu) (error %s)\n", (unsigned long)llOffset, strerror(errno));
        }
        XFail("lseek (error %s)\n", strerror(errno));
    }
    return llPos;
}

ssize_t SafeRead(int iFd, void *pBuf, size_t ulLen)
{
    ssize_t lRet;
    do {
        lRet = read(iFd, pBuf, ulLen);
    } while (lRet < 0 && errno == EINTR);
    return lRet;
}

ssize_t FullRead(int iFd, void *pBuf, size_t ulLen)
{
    char *pcBuf = static_cast<char *>(pBuf);
    ssize_t lTotal = 0;
    while (ulLen > 0) {
        ssize_t lRet = SafeRead(iFd, pcBuf, ulLen);
        if (lRet < 0) {
            return lTotal != 0 ? lTotal : -1;
        }
        if (lRet == 0) {
            break;
        }
        pcBuf += lRet;
        lTotal += lRet;
        ulLen -= (size_t)lRet;
    }
    return lTotal;
}

void XRead(int iFd, void *pBuf, size_t ulLen)
{
    if (ulLen == 0) {
        return;
    }
    if (FullRead(iFd, pBuf, ulLen) != (ssize_t)ulLen) {
        XFail("short read\n");
    }
}

ssize_t SafeWrite(int iFd, const void *pBuf, size_t ulLen)
{
    ssize_t lRet;
    do {
        lRet = write(iFd, pBuf, ulLen);
    } while (lRet < 0 && errno == EINTR);
    return lRet;
}

ssize_t FullWrite(int iFd, const void *pBuf, size_t ulLen)
{
    const char *pcBuf = static_cast<const char *>(pBuf);
    ssize_t lTotal = 0;
    int iZeroRun = 0;
    while (ulLen > 0) {
        ssize_t lRet = SafeWrite(iFd, pcBuf, ulLen);
        if (lRet < 0) {
            return lTotal != 0 ? lTotal : -1;
        }
        if (lRet == 0) {
            // A device that keeps accepting nothing would hold us here forever.
            if (++iZeroRun >= FULL_WRITE_MAX_ZERO) {
                break;
            }
            continue;
        }
        iZeroRun = 0;
        pcBuf += lRet;
        lTotal += lRet;
        ulLen -= (size_t)lRet;
    }
    return lTotal;
}

ssize_t XWrite(int iFd, const void *pBuf, size_t ulLen)
{
    if (ulLen == 0) {
        return 0;
    }
    ssize_t lRet = FullWrite(iFd, pBuf, ulLen);
    if (lRet != (ssize_t)ulLen) {
        XFail("short write\n");
    }
    return lRet;
}

int XIoctl(int iFd, unsigned long ulRequest, void *pArg)
{
    int iRet = ioctl(iFd, ulRequest, pArg);
    if (iRet < 0) {
        XFail("ioctl %#x failed (error %s)\n", (unsigned)ulRequest, strerror(errno));
    }
    return iRet;
}

void *XMalloc(size_t ulSize)
{
    void *pMem = malloc(ulSize);
    if (pMem == nullptr && ulSize != 0) {
        XFail("out-of-memory\n");
    }
    return pMem;
}
