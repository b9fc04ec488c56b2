#include "flash/update_nvram.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>
#include <zlib.h>

#include "applets/xio.h"
#include "include/owners.h"
#include "package/compat.h"
#include "update/update_log.h"

namespace {
// Two characters of a version text from position ulPos, compared as text
// with a two-character constant: <0, 0 or >0. A text too short to reach the
// position compares as empty.
int ComparePair(const char *pszText, size_t ulPos, const char *pszPair)
{
    size_t ulLen = strnlen(pszText, VERSION_BUF_LEN);
    const char *pszFrom = ulPos < ulLen ? pszText + ulPos : "";
    return strncmp(pszFrom, pszPair, 2);
}

// The package is "22.15" or later: major and minor at characters 3-4 and 6-7.
bool ImageAtLeast2215(const char *pszPub)
{
    int lMajor = ComparePair(pszPub, 3, "22");
    return lMajor > 0 || (lMajor == 0 && ComparePair(pszPub, 6, "15") >= 0);
}

int EraseBlock(int lFd, uint32_t ulSize, const char *pszWho)
{
    FLASH_ERASE_INFO_S stFhEraseInfo = {0, ulSize};
    static_assert(sizeof(FLASH_ERASE_INFO_S) == sizeof(erase_info_user));
    int lRet = ioctl(lFd, MEMERASE, &stFhEraseInfo);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("%s Failed to erase flash stFhEraseInfo (0x%x, 0x%x), lRet=%d\n", pszWho,
                         stFhEraseInfo.ulStart, stFhEraseInfo.ulLen, lRet);
    }
    return lRet;
}

int SeekStart(int lFd)
{
    off_t lRet = lseek(lFd, 0, SEEK_SET);
    if (lRet != 0) {
        UPDATE_LOG_PRINT("Failed to opt file postion\n");
        return lRet < 0 ? -1 : static_cast<int>(lRet);
    }
    return 0;
}

// A copy is whole when its CRC word matches its data in either block size:
// until the rewrite it still carries the running boot loader's.
bool CopyIsWhole(const uint8_t *pucBuf, ssize_t lRead)
{
    uint32_t ulStored = 0;
    memcpy(&ulStored, pucBuf, sizeof(ulStored));
    for (uint32_t ulSize : {ENV_BLOCK_SIZE, ENV_BLOCK_SIZE_SMALL}) {
        if (lRead >= static_cast<ssize_t>(ulSize) && crc32(0L, pucBuf + 4, ulSize - 4) == ulStored) {
            return true;
        }
    }
    return false;
}

// Writes one copy and reads it back: the other copy may only be erased once
// this one is known to be whole on the flash.
int WriteCopy(int lFd, const char *pszDev, const uint8_t *pucBuf, uint8_t *pucScratch, uint32_t ulSize)
{
    int lRet = SeekStart(lFd);
    if (lRet != 0) {
        return lRet;
    }
    ssize_t lWritten = FullWrite(lFd, pucBuf, ulSize);
    if (lWritten < 0) {
        return static_cast<int>(lWritten);
    }
    if (static_cast<size_t>(lWritten) != ulSize || SeekStart(lFd) != 0 ||
        FullRead(lFd, pucScratch, ulSize) != static_cast<ssize_t>(ulSize) || memcmp(pucBuf, pucScratch, ulSize) != 0) {
        UPDATE_LOG_PRINT("%s did not read back as written\n", pszDev);
        return -1;
    }
    return 0;
}
} // namespace

uint32_t GetEnvBlockSize(const char *pszImagePubVersion)
{
    return ImageAtLeast2215(pszImagePubVersion) ? ENV_BLOCK_SIZE_SMALL : ENV_BLOCK_SIZE;
}

int NeedUpdateEnv(void)
{
    char szUbootVersion[BOARD_TYPE_BUF_LEN] = {};
    char szBoardType[BOARD_TYPE_BUF_LEN] = {};
    GetUbootVersion(szUbootVersion);
    GetBoardType(szBoardType);
    if (strncmp(g_szLocalInnerVersion, "GDVSV410R003B03", 15) != 0 &&
        strncmp(g_szLocalInnerVersion, "EDVSV410R001B11", 15) != 0) {
        return 0;
    }
    // Nineteen characters compared: the whole name and its terminator.
    if (strncmp(szBoardType, "DVS-K410-M16@32-B", 19) == 0 || strncmp(szBoardType, "DVS-K410-M16@64-B", 19) == 0) {
        return 0;
    }
    if (!ImageAtLeast2215(g_szImagePubVersion)) {
        UPDATE_LOG_PRINT("Image need to update env\n");
        return 1;
    }
    if (ComparePair(szUbootVersion, 2, "58") >= 0) {
        return 0;
    }
    UPDATE_LOG_PRINT("Local need to update env\n");
    return 1;
}

int UpdateEnv(void)
{
    const uint32_t ulSize = GetEnvBlockSize(g_szImagePubVersion);

    HeapOwner<uint8_t> pucEnv(static_cast<uint8_t *>(malloc(ENV_BUF_SIZE)));
    if (!pucEnv) {
        UPDATE_LOG_PRINT("malloc environment failed.\n");
        return -1;
    }
    HeapOwner<uint8_t> pucBak(static_cast<uint8_t *>(malloc(ENV_BUF_SIZE)));
    if (!pucBak) {
        UPDATE_LOG_PRINT("malloc environment_bak failed.\n");
        return -1;
    }
    HeapOwner<FLASH_ERASE_INFO_S> pstErase(static_cast<FLASH_ERASE_INFO_S *>(calloc(1, sizeof(FLASH_ERASE_INFO_S))));
    HeapOwner<uint8_t> pucCheck(static_cast<uint8_t *>(malloc(ENV_BUF_SIZE)));
    if (!pstErase || !pucCheck) {
        UPDATE_LOG_PRINT("malloc FLASH_ERASE_INFO_S failed.\n");
        return -1;
    }
    memset(pucEnv.get(), 0, ENV_BUF_SIZE);
    memset(pucBak.get(), 0, ENV_BUF_SIZE);

    FdOwner stEnv(open(ENV_MAIN_DEV, O_RDWR | O_SYNC));
    if (stEnv.Get() < 0) {
        UPDATE_LOG_PRINT("Failed to open %s\n", ENV_MAIN_DEV);
        return -1;
    }
    FdOwner stBak(open(ENV_BACKUP_DEV, O_RDWR | O_SYNC));
    if (stBak.Get() < 0) {
        UPDATE_LOG_PRINT("Failed to open %s\n", ENV_BACKUP_DEV);
        return -1;
    }
    // A short read is accepted: the rest of the block stays zero. The whole
    // buffer is read so that a copy in the larger block size is seen whole.
    ssize_t lEnvRead = lseek(stEnv.Get(), 0, SEEK_SET) != 0 ? -1 : FullRead(stEnv.Get(), pucEnv.get(), ENV_BUF_SIZE);
    if (lEnvRead < 0) {
        UPDATE_LOG_PRINT("Env Failed to read flash\n");
        return -1;
    }
    ssize_t lBakRead = lseek(stBak.Get(), 0, SEEK_SET) != 0 ? -1 : FullRead(stBak.Get(), pucBak.get(), ENV_BUF_SIZE);
    if (lBakRead < 0) {
        UPDATE_LOG_PRINT("BakEnv Failed to read flash\n");
        return -1;
    }
    // A copy that a power cut left half written would get a CRC over its
    // remains and pass for whole with the boot loader: while the other copy
    // is whole, the damaged one takes its content instead.
    const bool bEnvWhole = CopyIsWhole(pucEnv.get(), lEnvRead);
    const bool bBakWhole = CopyIsWhole(pucBak.get(), lBakRead);
    if (bEnvWhole != bBakWhole) {
        UPDATE_LOG_PRINT("%s damaged, rebuilt from %s\n", bEnvWhole ? ENV_BACKUP_DEV : ENV_MAIN_DEV,
                         bEnvWhole ? ENV_MAIN_DEV : ENV_BACKUP_DEV);
        memcpy(bEnvWhole ? pucBak.get() : pucEnv.get(), bEnvWhole ? pucEnv.get() : pucBak.get(), ENV_BUF_SIZE);
    }
    for (int lFd : {stEnv.Get(), stBak.Get()}) {
        int lRet = SeekStart(lFd);
        if (lRet != 0) {
            return lRet;
        }
    }
    for (uint8_t *pucBuf : {pucEnv.get(), pucBak.get()}) {
        uint32_t ulCrc = static_cast<uint32_t>(crc32(0L, pucBuf + 4, ulSize - 4));
        memcpy(pucBuf, &ulCrc, sizeof(ulCrc));
    }

    // One copy at a time, a damaged one first and from the whole one: the
    // whole copy is erased only once the other reads back as written, so
    // whatever moment power fails, and on every rerun, one copy is valid.
    struct ENV_COPY_S {
        int lFd;
        const char *pszDev;
        const char *pszWho;
        uint8_t *pucBuf;
    } astCopy[] = {{stEnv.Get(), ENV_MAIN_DEV, "Env", pucEnv.get()}, {stBak.Get(), ENV_BACKUP_DEV, "BakEnv", pucBak.get()}};
    if (bEnvWhole && !bBakWhole) {
        std::swap(astCopy[0], astCopy[1]);
    }
    for (const ENV_COPY_S &stCopy : astCopy) {
        int lRet = EraseBlock(stCopy.lFd, ulSize, stCopy.pszWho);
        if (lRet != 0) {
            return lRet;
        }
        lRet = WriteCopy(stCopy.lFd, stCopy.pszDev, stCopy.pucBuf, pucCheck.get(), ulSize);
        if (lRet != 0) {
            if (stCopy.lFd == stBak.Get()) {
                UPDATE_LOG_PRINT("Failed to wirte bakenv");
            }
            return lRet;
        }
    }
    return 0;
}

int UpdateEnvBeforeUboot(void)
{
    if (NeedUpdateEnv() != 1) {
        UPDATE_LOG_PRINT("\nno need to update envcrc bakenvcrc. ");
        return 0;
    }
    int lRet = UpdateEnv();
    if (lRet != 0) {
        UPDATE_LOG_PRINT("\nfailed to update back env iRet %d.", lRet);
        return -1;
    }
    UPDATE_LOG_PRINT("\nsuccess to update envcrc bakenvcrc. ");
    return 0;
}

int SetEnvToFlash(NVRAM_ITEM_S *pstItem)
{
    FdOwner stDev(open(NVRAM_DEV, O_RDWR));
    if (stDev.Get() < 0) {
        printf("open %s failed in %s at line %d\n", NVRAM_DEV, "SetEnvToFlash", 55);
        fflush(stdout);
        return -1;
    }
    if (ioctl(stDev.Get(), NVRAM_SET_ITEM, pstItem) < 0) {
        printf("Failed to set nvram value(%s) of %s, errno(%s)\n", pstItem->szNvValue, pstItem->szNvName,
               strerror(errno));
        fflush(stdout);
        return -1;
    }
    return 0;
}

int FixBootEnv(uint8_t ucFixValue)
{
    (void)ucFixValue;
    return 0;
}
