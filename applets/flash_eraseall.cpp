// flash_eraseall: erase a whole MTD partition block by block, leaving the
// blocks the driver marks bad alone.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "applets/applets.h"
#include "applets/xio.h"

namespace {

constexpr unsigned ERASEALL_CHECK_BB = 0x1;
constexpr unsigned ERASEALL_NAND = 0x2;
constexpr unsigned ERASEALL_QUIET = 0x4; // never set by this program

// The kernel's internal ENOTSUPP; some MTD drivers let it through to user space
// where EOPNOTSUPP is meant.
constexpr int ERASEALL_KERNEL_ENOTSUPP = 524;

void ShowEraseProgress(unsigned uiFlags, uint32_t ulEraseSize, uint64_t ullPos, uint32_t ulSize)
{
    if ((uiFlags & ERASEALL_QUIET) != 0) {
        return;
    }
    unsigned uiPercent = ulSize != 0 ? (unsigned)(ullPos * 100 / ulSize) : 0;
    printf("\rErasing %u Kibyte @ %x - %2u%% complete.", ulEraseSize / 1024, (unsigned)ullPos, uiPercent);
    fflush(stdout);
}

} // namespace

int FlashEraseallMain(int argc, char *argv[])
{
    const char *pszProg = argc > 0 && argv[0] != nullptr ? argv[0] : "flash_eraseall";
    if (argc < 2 || argv[1] == nullptr) {
        fprintf(stderr, "Usage: %s MTD_DEVICE\n", pszProg);
        return 1;
    }
    const char *pszDev = argv[1];
    unsigned uiFlags = ERASEALL_CHECK_BB;

    XFd stDev(XOpen(pszDev, O_RDWR));
    struct stat stDevStat;
    if (fstat(stDev.iFd, &stDevStat) != 0) {
        XFail("can't stat '%s' (error %s)\n", pszDev, strerror(errno));
    }
    if (!S_ISCHR(stDevStat.st_mode)) {
        XFail("%s: not a char device\n", pszDev);
    }

    struct mtd_info_user stMtdInfo;
    memset(&stMtdInfo, 0, sizeof(stMtdInfo));
    XIoctl(stDev.iFd, MEMGETINFO, &stMtdInfo);
    if (stMtdInfo.type == MTD_NANDFLASH) {
        uiFlags |= ERASEALL_NAND;
    }
    uint32_t ulSize = stMtdInfo.size;
    uint32_t ulEraseSize = stMtdInfo.erasesize;
    if (ulEraseSize == 0 && ulSize != 0) {
        // Stepping by nothing would never reach the end.
        XFail("%s: erase size is 0\n", pszDev);
    }

    struct erase_info_user stErase;
    stErase.length = ulEraseSize;
    // Kept wider than the erase request so that the step past the last block
    // cannot wrap around below the size.
    uint64_t ullPos = 0;
    for (; ullPos < ulSize; ullPos += ulEraseSize) {
        if ((uiFlags & ERASEALL_CHECK_BB) != 0) {
            loff_t llOffs = (loff_t)ullPos;
            int iRet = ioctl(stDev.iFd, MEMGETBADBLOCK, &llOffs);
            if (iRet > 0) {
                if ((uiFlags & ERASEALL_QUIET) == 0) {
                    printf("update: \nSkipping bad block at 0x%08x\n", (unsigned)ullPos);
                    fflush(stdout);
                }
                continue;
            }
            if (iRet < 0) {
                if (errno != EOPNOTSUPP && errno != ERASEALL_KERNEL_ENOTSUPP) {
                    XFail("MEMGETBADBLOCK error (error %s)\n", strerror(errno));
                }
                uiFlags &= ~ERASEALL_CHECK_BB;
                if ((uiFlags & ERASEALL_NAND) != 0) {
                    XFail("bad block check not available\n");
                }
            }
        }
        ShowEraseProgress(uiFlags, ulEraseSize, ullPos, ulSize);
        stErase.start = (uint32_t)ullPos;
        XIoctl(stDev.iFd, MEMERASE, &stErase);
    }
    ShowEraseProgress(uiFlags, ulEraseSize, ullPos, ulSize);
    if ((uiFlags & ERASEALL_QUIET) == 0) {
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
