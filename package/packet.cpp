#include "package/packet.h"
#include "applets/xio.h"
#include "include/owners.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "include/text_util.h"
#include "include/update_types.h"
#include "package/packet_trust.h"
#include "update/update_device.h"
#include "update/update_log.h"

namespace {


std::unique_ptr<uint8_t[]> AllocIoChunk()
{
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[PACKET_IO_CHUNK]());
}

// Reads until ulLen bytes or end of file; the byte count, or -1.
ssize_t ReadFull(int lFd, void *pBuf, size_t ulLen)
{
    size_t ulDone = 0;
    while (ulDone < ulLen) {
        ssize_t lRet = SafeRead(lFd, static_cast<uint8_t *>(pBuf) + ulDone, ulLen - ulDone);
        if (lRet < 0) {
            return -1;
        }
        if (lRet == 0) {
            break;
        }
        ulDone += static_cast<size_t>(lRet);
    }
    return static_cast<ssize_t>(ulDone);
}

// A short write would silently drop image bytes: keep writing until done.
int WriteFull(int lFd, const uint8_t *pucBuf, size_t ulLen)
{
    while (ulLen > 0) {
        ssize_t lRet = write(lFd, pucBuf, ulLen);
        if (lRet < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (lRet == 0) {
            return -1;
        }
        pucBuf += lRet;
        ulLen -= static_cast<size_t>(lRet);
    }
    return 0;
}

const SUB_IMAGE_S g_stAbsentImage{};

}  // namespace

uint32_t Crc32Calc(const uint8_t *pucBuf, uint32_t ulLen, uint32_t ulCrc)
{
    const uint8_t *pucEnd = pucBuf + ulLen;
    // Still one table step per byte, eight to a round: the loop's own compare
    // and branch are paid once per eight bytes instead of with every byte.
    while (pucEnd - pucBuf >= 8) {
#pragma GCC unroll 8
        for (int i = 0; i < 8; i++) {
            ulCrc = (ulCrc << 8) ^ g_aulPacketCrcTable[(ulCrc >> 24) ^ pucBuf[i]];
        }
        pucBuf += 8;
    }
    while (pucBuf != pucEnd) {
        ulCrc = (ulCrc << 8) ^ g_aulPacketCrcTable[(ulCrc >> 24) ^ *pucBuf++];
    }
    return ulCrc;
}

int ReadPacketChunks(int lFd, uint64_t ullFrom, void (*pfnChunk)(void *pCtx, uint8_t *pucBuf, size_t ulLen), void *pCtx)
{
    std::unique_ptr<uint8_t[]> pucBuf = AllocIoChunk();
    if (pucBuf == nullptr) {
        printf("malloc head memery failed!\n");
        return -1;
    }
    if (lseek(lFd, static_cast<off_t>(ullFrom), SEEK_SET) < 0) {
        printf("lseek packet file failed!\n");
        return -1;
    }
    for (;;) {
        ssize_t lRead = SafeRead(lFd, pucBuf.get(), PACKET_IO_CHUNK);
        if (lRead < 0) {
            printf("read head file failed!\n");
            return -1;
        }
        if (lRead == 0) {
            return 0;
        }
        pfnChunk(pCtx, pucBuf.get(), static_cast<size_t>(lRead));
    }
}

int CountPacketCrc(int lFd, uint32_t *pulCrc)
{
    *pulCrc = PACKET_CRC_INIT;
    return ReadPacketChunks(
        lFd, PACKET_CRC_START,
        [](void *pCtx, uint8_t *pucBuf, size_t ulLen) {
            uint32_t *pulRun = static_cast<uint32_t *>(pCtx);
            *pulRun = Crc32Calc(pucBuf, static_cast<uint32_t>(ulLen), *pulRun);
        },
        pulCrc);
}

int CheckPacketCrc(uint32_t ulExpectCrc, const char *pszPath)
{
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        UPDATE_LOG("open file %s failed!\n", pszPath);
        return -1;
    }
    if (uint32_t ulVerified = 0; VerifiedPacketCrc(fd.Get(), &ulVerified)) {
        // The signature check read this very file and counted its checksum.
        UPDATE_LOG("Read head crc: %u, count file crc: %u.\n", ulExpectCrc, ulVerified);
        return ulVerified == ulExpectCrc ? 0 : -1;
    }
    uint32_t ulCrc = 0;
    if (CountPacketCrc(fd.Get(), &ulCrc) != 0) {
        UPDATE_LOG("Count crc failed!\n");
        return -1;
    }
    UPDATE_LOG("Read head crc: %u, count file crc: %u.\n", ulExpectCrc, ulCrc);
    return ulCrc == ulExpectCrc ? 0 : -1;
}

SUB_IMAGE_S *GetSubImageTable(const char *pszPath, uint32_t *pulCount)
{
    if (pulCount != nullptr) {
        *pulCount = 0;
    }
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        UPDATE_LOG_PRINT("Get patifition failed. BinFile:%s\n", pszPath);
        return nullptr;
    }
    if (lseek(fd.Get(), static_cast<off_t>(PACKET_COUNT_OFFSET), SEEK_SET) < 0) {
        UPDATE_LOG_PRINT("lseek image file failed. BinFile:%s\n", pszPath);
        return nullptr;
    }
    uint8_t aucCount[4] = {};
    if (ReadFull(fd.Get(), aucCount, sizeof(aucCount)) != static_cast<ssize_t>(sizeof(aucCount))) {
        UPDATE_LOG_PRINT("Read image file failed. BinFile:%s\n", pszPath);
        return nullptr;
    }
    uint32_t ulCount = static_cast<uint32_t>(aucCount[0]) | static_cast<uint32_t>(aucCount[1]) << 8 |
                       static_cast<uint32_t>(aucCount[2]) << 16 | static_cast<uint32_t>(aucCount[3]) << 24;
    if (ulCount == 0) {
        UPDATE_LOG_PRINT("Read image file failed. BinFile:%s\n", pszPath);
        return nullptr;
    }
    UPDATE_LOG_PRINT("sub image count %lu\n", static_cast<unsigned long>(ulCount));

    // A hostile count must not make a small device allocate gigabytes: keep
    // only the records the file can supply (a partial last one included).
    // Positions past them read as absent, exactly as a short read leaves them.
    uint64_t ullHeld = ulCount;
    struct stat stStat {};
    if (fstat(fd.Get(), &stStat) == 0 && S_ISREG(stStat.st_mode)) {
        uint64_t ullSize = static_cast<uint64_t>(stStat.st_size);
        uint64_t ullAvail = ullSize > PACKET_TABLE_OFFSET ? ullSize - PACKET_TABLE_OFFSET : 0;
        uint64_t ullRecords = (ullAvail + sizeof(SUB_IMAGE_S) - 1) / sizeof(SUB_IMAGE_S);
        if (ullRecords < ullHeld) {
            ullHeld = ullRecords > 0 ? ullRecords : 1;
        }
    }
    size_t ulBytes = static_cast<size_t>(ullHeld) * sizeof(SUB_IMAGE_S);
    auto *pstTable = static_cast<SUB_IMAGE_S *>(malloc(ulBytes));
    if (pstTable == nullptr) {
        UPDATE_LOG_PRINT("malloc pstFileStruct failed.\n");
        return nullptr;
    }
    memset(pstTable, 0, ulBytes);
    if (ReadFull(fd.Get(), pstTable, ulBytes) < 0) {
        UPDATE_LOG_PRINT("Read image file failed.\n");
        free(pstTable);
        return nullptr;
    }
    for (uint64_t i = 0; i < ullHeld; i++) {
        pstTable[i].ulFileLength = le32toh(pstTable[i].ulFileLength);
        pstTable[i].ulFileOffset = le32toh(pstTable[i].ulFileOffset);
        pstTable[i].ulFlashOffset = le32toh(pstTable[i].ulFlashOffset);
        pstTable[i].ulReserved = le32toh(pstTable[i].ulReserved);
    }
    if (pulCount != nullptr) {
        *pulCount = static_cast<uint32_t>(ullHeld);
    }
    return pstTable;
}

const SUB_IMAGE_S *SubImageAt(const SUB_IMAGE_S *pstTable, uint32_t ulCount, uint64_t ulPos)
{
    if (pstTable == nullptr || ulPos >= ulCount) {
        return &g_stAbsentImage;
    }
    return &pstTable[ulPos];
}

int UnpackSubImage(const char *pszPath, uint64_t ullOffset, uint64_t ullLength, const char *pszUnpackFileName)
{
    std::unique_ptr<uint8_t[]> pucBuf = AllocIoChunk();
    if (pucBuf == nullptr) {
        printf("malloc head memery failed!\n");
        return -1;
    }
    FdOwner fdIn(open(pszPath, O_RDONLY | O_CLOEXEC));
    if (fdIn.Get() < 0) {
        UPDATE_LOG_PRINT("Get Binfile: %s failed\n", pszPath);
        return -1;
    }
    if (ullOffset > static_cast<uint64_t>(INT64_MAX) ||
        lseek(fdIn.Get(), static_cast<off_t>(ullOffset), SEEK_SET) < 0) {
        UPDATE_LOG_PRINT("lseek image file failed. BinFile:%s\n", pszPath);
        return -1;
    }
    // A fresh file: whatever was there, a planted link above all, is not written through.
    RemoveTmpTarget(pszUnpackFileName);
    FdOwner fdOut(open(pszUnpackFileName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0777));
    if (fdOut.Get() < 0) {
        UPDATE_LOG_PRINT("open pszUnpackFileName file:%s. fail\n", pszUnpackFileName);
        return -1;
    }
    uint64_t ullRemain = ullLength;
    for (;;) {
        size_t ulWant = PACKET_IO_CHUNK;
        ssize_t lRead = SafeRead(fdIn.Get(), pucBuf.get(), ulWant);
        if (lRead < 0) {
            UPDATE_LOG_PRINT("read bin file fail\n");
            unlink(pszUnpackFileName);
            return -1;
        }
        if (lRead == 0) {
            return 0;
        }
        size_t ulWrite = static_cast<size_t>(lRead);
        bool bLast = ullRemain <= ulWrite;
        if (bLast) {
            ulWrite = static_cast<size_t>(ullRemain);
        }
        if (WriteFull(fdOut.Get(), pucBuf.get(), ulWrite) != 0) {
            UPDATE_LOG_PRINT("write new file fail\n");
            // Half an image (a full /tmp) must not stay behind looking like the whole one.
            unlink(pszUnpackFileName);
            return -1;
        }
        if (bLast) {
            return 0;
        }
        ullRemain -= ulWrite;
    }
}

int CheckImageInPacket(const char *pszPath, const SUB_IMAGE_S *pstImage)
{
    struct stat stInfo {};
    const uint64_t ullEnd = static_cast<uint64_t>(pstImage->ulFileOffset) + pstImage->ulFileLength;
    if (stat(pszPath, &stInfo) == 0 && S_ISREG(stInfo.st_mode) && ullEnd <= static_cast<uint64_t>(stInfo.st_size)) {
        return 0;
    }
    UPDATE_LOG_PRINT("image %.*s (offset %u, length %u) lies outside the package %s, refused\n",
                     static_cast<int>(SUB_IMAGE_NAME_LEN), pstImage->szFileName, pstImage->ulFileOffset,
                     pstImage->ulFileLength, pszPath);
    return -1;
}

int UnpackWholeImage(const char *pszPath, const SUB_IMAGE_S *pstImage, const char *pszUnpackFileName)
{
    if (CheckVerifiedPacket(pszPath) != 0 || CheckImageInPacket(pszPath, pstImage) != 0) {
        return -1;
    }
    return UnpackSubImage(pszPath, pstImage->ulFileOffset, pstImage->ulFileLength, pszUnpackFileName);
}

int CheckPacketFs(const char *pszPath)
{
    struct statfs stFs {};
    if (statfs(pszPath, &stFs) != 0) {
        UPDATE_LOG_PRINT("update check fs of file %s error %s.\n", pszPath, strerror(errno));
        return 0;
    }
    unsigned long ulMagic = static_cast<unsigned long>(stFs.f_type) & 0xFFFFFFFFul;
    if (ulMagic != FS_MAGIC_TMPFS && ulMagic != FS_MAGIC_RAMFS) {
        UPDATE_LOG_PRINT("update file %s in fs 0x%lx (neither 0x%lx nor 0x%lx).\n", pszPath, ulMagic,
                         FS_MAGIC_TMPFS, FS_MAGIC_RAMFS);
        return 0;
    }
    return 1;
}

int NeedRelocatePacket(const char *pszPath)
{
    if (strcmp(pszPath, LOCAL_PACKET_FILE) == 0) {
        return 0;
    }
    return CheckPacketFs(pszPath) == 1 ? 0 : 1;
}

int GetPacketDir(const char *pszPath, char *pszDir, uint32_t ulSize)
{
    if (ulSize < 2) {
        return -1;
    }
    // The directory of the package file itself: its last component must be
    // the package name, whatever the folders above it are called.
    const char *pszSlash = strrchr(pszPath, '/');
    const char *pszName = pszSlash != nullptr ? pszSlash + 1 : pszPath;
    if (strcmp(pszName, PACKET_FILE_NAME) != 0) {
        UPDATE_LOG_PRINT("update invalid bin file %s (no %s).\n", pszPath, PACKET_FILE_NAME);
        return -1;
    }
    size_t ulDirLen = static_cast<size_t>(pszName - pszPath);
    if (ulDirLen >= ulSize) {
        UPDATE_LOG_PRINT("update invalid bin file %s (unexpected size %u, max %u).\n", pszPath,
                         static_cast<unsigned>(ulDirLen), ulSize - 1);
        return -1;
    }
    if (ulDirLen == 0) {
        CopyText(pszDir, ulSize, ".");
        return 0;
    }
    memcpy(pszDir, pszPath, ulDirLen);
    pszDir[ulDirLen] = '\0';
    return 0;
}

uint32_t ParseHeadCrc(const char *pszCrcSum)
{
    // Signed decimal as the head writer produced it; "-1" and "4294967295"
    // are the same checksum. Out-of-range text saturates rather than wraps.
    long long llValue = strtoll(pszCrcSum, nullptr, 10);
    return static_cast<uint32_t>(static_cast<unsigned long long>(llValue));
}

void SplitPacketHead(char *pszHead, PACKET_HEAD_INFO_S *pstInfo)
{
    memset(pstInfo, 0, sizeof(*pstInfo));
    size_t ulLen = strnlen(pszHead, PACKET_HEAD_LEN);
    size_t ulStart = 0;
    unsigned ulField = 0;
    while (ulField <= HEAD_FIELD_CRC) {
        size_t ulEnd = ulStart;
        while (ulEnd < ulLen && pszHead[ulEnd] != HEAD_SEPARATOR) {
            ulEnd++;
        }
        bool bMore = ulEnd < ulLen;
        if (bMore) {
            pszHead[ulEnd] = '\0';
        }
        // The last field may fill the head to its very end without a NUL:
        // copy by length, never by searching for a terminator.
        char szField[PACKET_HEAD_LEN + 1];
        memcpy(szField, pszHead + ulStart, ulEnd - ulStart);
        szField[ulEnd - ulStart] = '\0';
        switch (ulField) {
        case HEAD_FIELD_INNER:
            CopyText(pstInfo->szInnerVersion, szField);
            break;
        case HEAD_FIELD_TEXT:
            CopyText(pstInfo->szFreeText, szField);
            break;
        case HEAD_FIELD_PUB:
            CopyText(pstInfo->szPubVersion, szField);
            break;
        default:
            CopyText(pstInfo->szCrcSum, szField);
            pstInfo->ulCrc = ParseHeadCrc(pstInfo->szCrcSum);
            break;
        }
        ulField++;
        if (!bMore) {
            break;
        }
        ulStart = ulEnd + 1;
    }
    pstInfo->ulFieldCount = ulField;
}
