// flashcp: erase the blocks a file range will cover on an MTD device, write the
// range, then read it back and compare.
#include <fcntl.h>
#include <getopt.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "applets/applets.h"
#include "applets/flashcp.h"
#include "applets/xio.h"
#include "include/owners.h"

namespace {

constexpr size_t FLASHCP_CHUNK = 8192;

// The device's own tools always show their progress; the switch stays so the
// line ends go with the progress lines they close.
constexpr bool FLASHCP_SHOW_PROGRESS = true;

enum FlashcpPhase { FLASHCP_ERASE = 0, FLASHCP_WRITE = 1, FLASHCP_VERIFY = 2 };

constexpr const char *FLASHCP_PHASE_LABEL[] = {"Erasing block", "Writing kb", "Verifying kb"};

void ShowProgress(int iPhase, unsigned long ulCur, unsigned long ulTotal)
{
    if (!FLASHCP_SHOW_PROGRESS) {
        return;
    }
    unsigned uiPercent = ulTotal != 0 ? (unsigned)(ulCur * 100 / ulTotal) : (unsigned)(ulCur * 100);
    printf("\r%s: %lu/%lu (%u%%) ", FLASHCP_PHASE_LABEL[iPhase], ulCur, ulTotal, uiPercent);
    fflush(nullptr);
}

void EndProgress()
{
    if (FLASHCP_SHOW_PROGRESS) {
        printf("\n");
        fflush(nullptr);
    }
}

[[noreturn]] void FlashcpUsage(const char *pszProg)
{
    fprintf(stderr, "Usage: %s [-v] -g file_offset -l file_length -o flash_offset\n", pszProg);
    exit(1);
}

// Decimal, 0x hexadecimal or leading-0 octal; wider values keep their low 32 bits.
uint32_t ParseU32(const char *pszText)
{
    return (uint32_t)strtoull(pszText, nullptr, 0);
}

} // namespace

int FlashcpParseOptions(int argc, char *argv[], FLASHCP_OPTS_S *pstOpts)
{
    *pstOpts = FLASHCP_OPTS_S{};
    optind = 0; // full reset: the applet may not be the first getopt user of the process
    int iOpt;
    while ((iOpt = getopt(argc, argv, ":hg:l:o:")) != -1) {
        switch (iOpt) {
        case 'g':
            pstOpts->ulFileOffset = ParseU32(optarg);
            break;
        case 'l':
            pstOpts->ulLength = ParseU32(optarg);
            break;
        case 'o':
            pstOpts->ulFlashOffset = ParseU32(optarg);
            break;
        default:
            return -1;
        }
    }
    if (argc - optind < 2) {
        return -1;
    }
    pstOpts->pszFile = argv[optind];
    pstOpts->pszDev = argv[optind + 1];
    return 0;
}

int FlashcpMain(int argc, char *argv[])
{
    HeapOwner<unsigned char> pSrc(static_cast<unsigned char *>(XMalloc(FLASHCP_CHUNK)));
    HeapOwner<unsigned char> pBack(static_cast<unsigned char *>(XMalloc(FLASHCP_CHUNK)));

    FLASHCP_OPTS_S stOpts;
    if (FlashcpParseOptions(argc, argv, &stOpts) != 0) {
        FlashcpUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "flashcp");
    }
    const char *pszFile = stOpts.pszFile;
    const char *pszDev = stOpts.pszDev;
    uint32_t ulFileOffset = stOpts.ulFileOffset;
    uint32_t ulLength = stOpts.ulLength;
    uint32_t ulFlashOffset = stOpts.ulFlashOffset;

    XFd stFile(XOpen(pszFile, O_RDONLY));
    struct stat stFileStat;
    if (fstat(stFile.iFd, &stFileStat) != 0) {
        XFail("can't stat '%s' (error %s)\n", pszFile, strerror(errno));
    }
    XFd stDev(XOpen(pszDev, O_RDWR | O_SYNC));

    struct mtd_info_user stMtdInfo;
    memset(&stMtdInfo, 0, sizeof(stMtdInfo));
    if (ioctl(stDev.iFd, MEMGETINFO, &stMtdInfo) < 0) {
        XFail("%s is not a MTD flash device\n", pszDev);
    }

    if (ulLength == 0) {
        ulLength = (uint32_t)stFileStat.st_size;
    }

    uint32_t ulEraseSize = stMtdInfo.erasesize;
    unsigned long ulBlocks = ulEraseSize != 0 ? ((unsigned long)ulLength + ulEraseSize - 1) / ulEraseSize : 0;
    struct erase_info_user stErase;
    stErase.start = ulFlashOffset;
    stErase.length = ulEraseSize;
    for (unsigned long i = 1; i <= ulBlocks; i++) {
        ShowProgress(FLASHCP_ERASE, i, ulBlocks);
        if (ioctl(stDev.iFd, MEMERASE, &stErase) < 0) {
            XFail("erase error at 0x%llx on %s (error %s)\n", (unsigned long long)stErase.start, pszDev,
                  strerror(errno));
        }
        stErase.start += ulEraseSize;
    }
    EndProgress();

    for (int iPass = FLASHCP_WRITE; iPass <= FLASHCP_VERIFY; iPass++) {
        XLseek(stFile.iFd, (off_t)ulFileOffset, SEEK_SET);
        XLseek(stDev.iFd, (off_t)ulFlashOffset, SEEK_SET);
        unsigned long ulDone = 0;
        size_t ulChunk = FLASHCP_CHUNK;
        while (ulLength - ulDone != 0) {
            if (ulLength - ulDone < ulChunk) {
                ulChunk = ulLength - ulDone;
            }
            ShowProgress(iPass, ulDone / 1024, ulLength / 1024);
            XRead(stFile.iFd, pSrc.get(), ulChunk);
            if (iPass == FLASHCP_WRITE) {
                errno = 0;
                ssize_t lRet = FullWrite(stDev.iFd, pSrc.get(), ulChunk);
                if (lRet != (ssize_t)ulChunk) {
                    XFail("write error at 0x%lx on %s, write returned %d (error %s)\n", ulDone, pszDev, (int)lRet,
                          strerror(errno));
                }
            } else {
                XRead(stDev.iFd, pBack.get(), ulChunk);
                if (memcmp(pSrc.get(), pBack.get(), ulChunk) != 0) {
                    XFail("verification mismatch at 0x%lx\n", ulDone);
                }
            }
            ulDone += ulChunk;
        }
        EndProgress();
    }
    return 0;
}
