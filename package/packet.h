// Readers of the firmware package: checksum, sub-image table, unpacking,
// where the package lies, and the head fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "include/flash_layout.h"
#include "include/owners.h"
#include "include/packet.h"

constexpr uint32_t PACKET_CRC_INIT = 0xFFFFFFFFu;
constexpr uint32_t PACKET_CRC_POLY = 0x04C11DB7u;

constexpr unsigned long FS_MAGIC_TMPFS = 0x01021994ul;
constexpr unsigned long FS_MAGIC_RAMFS = 0x858458F6ul;

// Component file names by update type bit number, and the whole-package name.
constexpr unsigned UPDATE_FILE_NAME_COUNT = 12;
constexpr const char *g_apszUpdateFileName[UPDATE_FILE_NAME_COUNT] = {
    "uImage.bin",     "Program.bin",     "Uboot.bin",        "Config.bin",
    "Bootlog.bin",    "Activex.bin",     "Update.bin",       "Oem.bin",
    "SlaveUboot.bin", "SlaveKernel.bin", "SlaveProgram.bin", "TvConfig.bin",
};
constexpr const char *UPDATE_ALL_FILE_NAME = "All.bin";

// Name of update type bit ulBit, or null outside the table.
inline const char *GetUpdateFileName(unsigned ulBit)
{
    return ulBit < UPDATE_FILE_NAME_COUNT ? g_apszUpdateFileName[ulBit] : nullptr;
}

constexpr std::array<uint32_t, 256> MakePacketCrcTable()
{
    std::array<uint32_t, 256> aul{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t ulCrc = i << 24;
        for (int b = 0; b < 8; b++) {
            ulCrc = (ulCrc & 0x80000000u) != 0 ? (ulCrc << 1) ^ PACKET_CRC_POLY : ulCrc << 1;
        }
        aul[i] = ulCrc;
    }
    return aul;
}

// The 256-entry table of the package checksum (MSB first, polynomial 0x04C11DB7).
inline constexpr std::array<uint32_t, 256> g_aulPacketCrcTable = MakePacketCrcTable();

// Folds ulLen bytes into a running package checksum.
uint32_t Crc32Calc(const uint8_t *pucBuf, uint32_t ulLen, uint32_t ulCrc);
// Reads the open file from byte ullFrom to its end in PACKET_IO_CHUNK blocks,
// handing each to pfnChunk (which may change the block): 0, or -1 after
// saying what failed.
int ReadPacketChunks(int lFd, uint64_t ullFrom, void (*pfnChunk)(void *pCtx, uint8_t *pucBuf, size_t ulLen), void *pCtx);
// Checksum of everything from PACKET_CRC_START to the end of the open file: 0 or -1.
int CountPacketCrc(int lFd, uint32_t *pulCrc);
// 0 when the package's checksum equals ulExpectCrc, -1 otherwise.
int CheckPacketCrc(uint32_t ulExpectCrc, const char *pszPath);

// Reads the sub-image table into a heap block the caller releases with free().
// *pulCount (optional) receives how many records the block holds: the
// declared count, but never more than the file can supply (the records a
// short file cuts off read as absent anyway). Always look records up through
// SubImageAt, never by indexing with a count taken from elsewhere.
SUB_IMAGE_S *GetSubImageTable(const char *pszPath, uint32_t *pulCount = nullptr);

// Record at table position ulPos; an all-zero record (absent image) when the
// position lies at or beyond ulCount or the table is null.
const SUB_IMAGE_S *SubImageAt(const SUB_IMAGE_S *pstTable, uint32_t ulCount, uint64_t ulPos);

using SubImageTablePtr = HeapOwner<SUB_IMAGE_S>;

// Copies length bytes from offset of the package into pszUnpackFileName. A
// package that ends early gives a shorter file and still succeeds; a failed
// read or write leaves no output file. 0 or -1.
int UnpackSubImage(const char *pszPath, uint64_t ullOffset, uint64_t ullLength, const char *pszUnpackFileName);
// 0 when every byte of the image lies inside the package file; otherwise
// says so (log and screen) and gives -1.
int CheckImageInPacket(const char *pszPath, const SUB_IMAGE_S *pstImage);
// UnpackSubImage of an image that CheckImageInPacket found whole. 0 or -1.
int UnpackWholeImage(const char *pszPath, const SUB_IMAGE_S *pstImage, const char *pszUnpackFileName);

// 1 when the file lies on tmpfs or ramfs, 0 otherwise or when unknown.
int CheckPacketFs(const char *pszPath);
// 0 when the package may stay where it is, 1 when it must be copied to RAM first.
int NeedRelocatePacket(const char *pszPath);
// Directory part, slash kept, of a path whose last component is "Program.bin"
// ("." for the bare name): 0 or -1.
int GetPacketDir(const char *pszPath, char *pszDir, uint32_t ulSize);

// Table positions from the current layout: a component's image entry, the
// program image P, the updater at P + 4 and the customisation archive at P + 6.
inline uint64_t GetImagePos(const FLASH_LAYOUT_S *pstLayout, unsigned ulEntry)
{
    return pstLayout->astImageDev[ulEntry].ulImageIdx;
}
inline uint64_t GetUpdateImagePos(const FLASH_LAYOUT_S *pstLayout)
{
    return GetImagePos(pstLayout, IMAGE_ENTRY_PROGRAM) + UPDATE_POS_OFFSET;
}
inline uint64_t GetCustomImagePos(const FLASH_LAYOUT_S *pstLayout)
{
    return GetImagePos(pstLayout, IMAGE_ENTRY_PROGRAM) + CUSTOM_POS_OFFSET;
}

// The head fields the updater uses, each cut to its buffer.
struct PACKET_HEAD_INFO_S {
    char szInnerVersion[HEAD_VERSION_LEN];
    char szFreeText[HEAD_TEXT_LEN];
    char szPubVersion[HEAD_VERSION_LEN];
    char szCrcSum[HEAD_CRC_LEN];
    uint32_t ulFieldCount;  // fields present, at most 4 counted
    uint32_t ulCrc;         // 0 when the head has no CRC field
};

// Splits a head in place ("$" becomes NUL), reading at most PACKET_HEAD_LEN
// bytes of pszHead whether or not it holds a NUL.
void SplitPacketHead(char *pszHead, PACKET_HEAD_INFO_S *pstInfo);
// The expected checksum written as decimal text: signed, reduced modulo 2^32.
uint32_t ParseHeadCrc(const char *pszCrcSum);
