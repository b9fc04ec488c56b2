// Byte layout of the firmware package file ("Program.bin").
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// The records are laid straight over the file's bytes, which are
// little-endian, as is every board this updater runs on.
static_assert(std::endian::native == std::endian::little, "package records are little-endian");

constexpr uint32_t PACKET_HEAD_LEN = 256;
constexpr uint32_t PACKET_COMPAT_LEN = 1792;
constexpr uint64_t PACKET_COUNT_OFFSET = 2048;
constexpr uint64_t PACKET_TABLE_OFFSET = 2052;
constexpr uint64_t PACKET_CRC_START = 4096;
constexpr size_t PACKET_IO_CHUNK = 0x40000;

constexpr uint32_t SUB_IMAGE_NAME_LEN = 128;

// Head fields, by position in szHead.
constexpr unsigned HEAD_FIELD_INNER = 0;
constexpr unsigned HEAD_FIELD_TEXT = 1;
constexpr unsigned HEAD_FIELD_PUB = 2;
constexpr unsigned HEAD_FIELD_CRC = 3;
constexpr size_t HEAD_VERSION_LEN = 128;
constexpr size_t HEAD_TEXT_LEN = 32;
constexpr size_t HEAD_CRC_LEN = 32;
constexpr char HEAD_SEPARATOR = '$';

// Board list entries: only this many characters and entries count.
constexpr size_t COMPAT_NAME_LEN = 19;
constexpr unsigned COMPAT_ENTRY_MAX = 64;

struct PACKET_HEAD_S {
    char szHead[PACKET_HEAD_LEN];
    char szCompatList[PACKET_COMPAT_LEN];
    uint32_t ulSubImageCount;
};
static_assert(sizeof(PACKET_HEAD_S) == 2052);
static_assert(offsetof(PACKET_HEAD_S, szHead) == 0);
static_assert(offsetof(PACKET_HEAD_S, szCompatList) == 256);
static_assert(offsetof(PACKET_HEAD_S, ulSubImageCount) == PACKET_COUNT_OFFSET);

struct SUB_IMAGE_S {
    char szFileName[SUB_IMAGE_NAME_LEN];
    uint32_t ulFileLength;
    uint32_t ulFileOffset;
    uint32_t ulFlashOffset;
    uint32_t ulReserved;
};
static_assert(sizeof(SUB_IMAGE_S) == 144);
static_assert(offsetof(SUB_IMAGE_S, szFileName) == 0);
static_assert(offsetof(SUB_IMAGE_S, ulFileLength) == 128);
static_assert(offsetof(SUB_IMAGE_S, ulFileOffset) == 132);
static_assert(offsetof(SUB_IMAGE_S, ulFlashOffset) == 136);
static_assert(offsetof(SUB_IMAGE_S, ulReserved) == 140);
static_assert(PACKET_TABLE_OFFSET == sizeof(PACKET_HEAD_S));
