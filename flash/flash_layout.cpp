#include "include/flash_layout.h"
#include "include/owners.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "update/update_log.h"

FLASH_LAYOUT_S *g_pstFlashLayout = nullptr;

namespace {
constexpr IMAGE_DEV_S NONE = {0, nullptr};

// Image entries common to the NAND layouts 0, 2 and 8.
#define MTD_NAND_ENTRIES                                                                                      \
    {{0, "/dev/mtd1"}, {1, "/dev/mtd2"}, {2, "/dev/mtd3"}, {3, "/dev/mtd4"}, {4, "/dev/mtd5"}, NONE,             \
     {5, "/dev/mtd6"}, {9, "/dev/mtd7"}, NONE, NONE, NONE, NONE, NONE, NONE}

// Layouts 3 and 7: NOR with slave-board images.
#define MTD_SLAVE_ENTRIES                                                                                     \
    {{0, "/dev/mtd1"}, {1, "/dev/mtd2"}, {2, "/dev/mtd3"}, {3, "/dev/mtd4"}, {4, "/dev/mtd5"}, NONE,             \
     {5, "/dev/mtd6"}, {9, "/dev/mtd8"}, {1, "/dev/mtd2"}, {7, "/dev/mtd2"}, {11, "/dev/mtd9"},                  \
     {12, "/dev/mtd10"}, {13, "/dev/mtd11"}, NONE}

// Layouts 5 and 10: SSD; layout 10 also fills entry 5.
#define SSD_ENTRIES(spare)                                                                                    \
    {{1, "/dev/sda1"}, {10, "/dev/bootlogo_zh"}, {2, "/dev/sda7"}, {3, "/dev/sda3"}, {4, "/dev/sda8"}, spare,    \
     {5, "/dev/sda6"}, NONE, {6, "/dev/bootlogo_en"}, {7, "/dev/bootlogo_non"}, NONE, {14, "/dev/sda5"}, NONE,  \
     NONE}

// The records are constant but for pstPartSet, which the start-up binding fills in.
FLASH_LAYOUT_S s_stLayout0 = {1, FLASH_TYPE_NAND, 0xff, 0, nullptr, MTD_NAND_ENTRIES, nullptr};
FLASH_LAYOUT_S s_stLayout1 = {1, FLASH_TYPE_NAND, 0x1f, 0, nullptr,
                              {{0, "/dev/mtd1"}, {1, "/dev/mtd2"}, {2, "/dev/mtd3"}, {3, "/dev/mtd4"},
                               {4, "/dev/mtd5"}, NONE, NONE, {9, "/dev/mtd6"}, NONE, NONE, NONE, NONE, NONE, NONE},
                              nullptr};
FLASH_LAYOUT_S s_stLayout2 = {1, FLASH_TYPE_NAND, 0x1f, 0, nullptr, MTD_NAND_ENTRIES, nullptr};
FLASH_LAYOUT_S s_stLayout3 = {0, FLASH_TYPE_NOR, 0x7ff, 0, nullptr, MTD_SLAVE_ENTRIES, nullptr};
FLASH_LAYOUT_S s_stLayout4 = {1, FLASH_TYPE_NOR, 0xff, 0, nullptr,
                              {{0, "/dev/mtd1"}, {1, "/dev/mtd2"}, {2, "/dev/mtd3"}, {3, "/dev/mtd4"},
                               {4, "/dev/mtd5"}, NONE, {5, "/dev/mtd7"}, {9, "/dev/mtd8"}, {1, "/dev/mtd2"},
                               {7, "/dev/mtd2"}, NONE, NONE, NONE, NONE},
                              nullptr};
FLASH_LAYOUT_S s_stLayout5 = {1, FLASH_TYPE_NOR, 0x107f, 0, "/dev/parttable", SSD_ENTRIES(NONE), nullptr};
FLASH_LAYOUT_S s_stLayout6 = {1, FLASH_TYPE_NAND, 0x8ff, 0, nullptr,
                              {{0, "/dev/mtd1"}, NONE, {2, "/dev/mtd3"}, {3, "/dev/mtd4"}, {4, "/dev/mtd5"}, NONE,
                               {5, "/dev/mtd6"}, {9, "/dev/mtd7"}, NONE, NONE, NONE, NONE, NONE,
                               {14, "/dev/mtd9"}},
                              nullptr};
FLASH_LAYOUT_S s_stLayout7 = {1, FLASH_TYPE_NAND, 0x27ff, 0, nullptr, MTD_SLAVE_ENTRIES, nullptr};
FLASH_LAYOUT_S s_stLayout8 = {1, FLASH_TYPE_NAND, 0x20ff, 0, nullptr, MTD_NAND_ENTRIES, nullptr};
FLASH_LAYOUT_S s_stLayout9 = {1, FLASH_TYPE_NAND, 0xdf, 0, nullptr,
                              {{0, "/dev/mtd1"}, NONE, {2, "/dev/mtd3"}, {3, "/dev/mtd4"}, {4, "/dev/mtd5"}, NONE,
                               NONE, {9, "/dev/mtd7"}, NONE, NONE, NONE, NONE, NONE, NONE},
                              nullptr};
FLASH_LAYOUT_S s_stLayout10 = {1, FLASH_TYPE_NOR, 0x107f, 0, "/dev/parttable", SSD_ENTRIES(IMAGE_DEV_S({15, "/dev/sda9"})),
                               nullptr};
FLASH_LAYOUT_S s_stLayout11 = {1, FLASH_TYPE_EMMC, 0xff, 0, nullptr,
                               {{0, "/dev/mmcblk0p1"}, {1, "/dev/mmcblk0p3"}, {2, "/dev/mmcblk0p6"},
                                {3, "/dev/mmcblk0p7"}, {4, "/dev/mmcblk0p8"}, NONE, {5, "/dev/mmcblk0p9"},
                                {9, "/dev/mmcblk0p12"}, {6, "/dev/mmcblk0p4"}, {7, "/dev/mmcblk0p5"}, NONE, NONE,
                                NONE, NONE},
                               nullptr};

#undef MTD_NAND_ENTRIES
#undef MTD_SLAVE_ENTRIES
#undef SSD_ENTRIES

const LAYOUT_ENTRY_S s_astLayoutTable[LAYOUT_COUNT] = {
    {0, &s_stLayout0}, {1, &s_stLayout1}, {2, &s_stLayout2},   {3, &s_stLayout3},
    {4, &s_stLayout4}, {5, &s_stLayout5}, {6, &s_stLayout6},   {7, &s_stLayout7},
    {8, &s_stLayout8}, {9, &s_stLayout9}, {10, &s_stLayout10}, {11, &s_stLayout11},
};


int CmdlineHasWord(const char *pszWord)
{
    PipeOwner pPipe(popen("cat /proc/cmdline", "r"));
    if (!pPipe) {
        return -1;
    }
    char szLine[256] = {};
    if (fgets(szLine, sizeof(szLine), pPipe.get()) != nullptr && strstr(szLine, pszWord) != nullptr) {
        return 0;
    }
    return -1;
}
} // namespace

const LAYOUT_ENTRY_S *FindLayoutEntry(uint32_t ulId)
{
    for (const LAYOUT_ENTRY_S &stEntry : s_astLayoutTable) {
        if (stEntry.ulId == ulId) {
            return &stEntry;
        }
    }
    return nullptr;
}





int IsRootfsYaffs2(void) { return CmdlineHasWord("yaffs2"); }
int IsRootfsJffs2(void) { return CmdlineHasWord("jffs2"); }
int IsRootfsSquashfs(void) { return CmdlineHasWord("squashfs"); }
int IsRootfsExt4(void) { return CmdlineHasWord("ext4"); }

int IsRuntimeOnUbi(void)
{
    FileOwner pFile(fopen("/proc/mounts", "r"));
    if (!pFile) {
        UPDATE_LOG_PRINT("fopen /proc/mounts is error \r");
        return -1;
    }
    // Chunks of 49 characters, each tested by itself, as the device always has.
    char szChunk[50];
    while (fgets(szChunk, sizeof(szChunk), pFile.get()) != nullptr) {
        if (strstr(szChunk, "ubi1_0 /var/runtime") != nullptr) {
            return 0;
        }
    }
    return -1;
}
