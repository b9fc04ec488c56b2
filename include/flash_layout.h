// Flash layouts and partition sets: which sub-image goes to which device.
#pragma once

#include <cstdint>

constexpr uint64_t FLASH_TYPE_NOR = 1;
constexpr uint64_t FLASH_TYPE_NAND = 2;
constexpr uint64_t FLASH_TYPE_EMMC = 3;

constexpr unsigned PARTITION_SLOTS = 21;
constexpr unsigned IMAGE_DEV_ENTRIES = 14;
constexpr unsigned LAYOUT_COUNT = 12;
constexpr unsigned PARTSET_COUNT = 15;

// The sub-images anchored at the program entry's index.
constexpr uint64_t UPDATE_POS_OFFSET = 4;
constexpr uint64_t CUSTOM_POS_OFFSET = 6;

// Image entry numbers in astImageDev.
enum : unsigned {
    IMAGE_ENTRY_UBOOT = 0,
    IMAGE_ENTRY_LOGO_ZH = 1,
    IMAGE_ENTRY_CONFIG = 2,
    IMAGE_ENTRY_KERNEL = 3,
    IMAGE_ENTRY_PROGRAM = 4,
    IMAGE_ENTRY_SPARE = 5,
    IMAGE_ENTRY_ACTIVEX = 6,
    IMAGE_ENTRY_BACKENV = 7,
    IMAGE_ENTRY_LOGO_EN = 8,
    IMAGE_ENTRY_LOGO_NON = 9,
    IMAGE_ENTRY_SLAVEUBOOT = 10,
    IMAGE_ENTRY_SLAVEKERNEL = 11,
    IMAGE_ENTRY_SLAVEPROGRAM = 12,
    IMAGE_ENTRY_TVCONFIG = 13,
};

// Partition slot numbers in a partition set.
enum : unsigned {
    PART_SLOT_CHIP = 0,
    PART_SLOT_UBOOT = 1,
    PART_SLOT_ENV = 2,
    PART_SLOT_CONFIG = 3,
    PART_SLOT_KERNEL = 4,
    PART_SLOT_PROGRAM = 5,
    PART_SLOT_ACTIVEX = 6,
    PART_SLOT_BACKENV = 7,
    PART_SLOT_CUSTOM = 8,
    PART_SLOT_SLAVEUBOOT = 9,
    PART_SLOT_SLAVEKERNEL = 10,
    PART_SLOT_SLAVEPROGRAM = 11,
    PART_SLOT_LOGO_ZH = 12,
    PART_SLOT_LOGO_EN = 13,
    PART_SLOT_LOGO_NON = 14,
    PART_SLOT_FENV = 15,
    PART_SLOT_TVCONFIG = 16,
    PART_SLOT_ERASECNT = 17,
    PART_SLOT_PANIC = 18,
    PART_SLOT_UBOOTBAK = 19,
    PART_SLOT_DATABASE = 20,
};

struct PARTITION_S {
    char szName[16];
    uint64_t ullOffset;
    uint64_t ullSize;
    uint64_t ulEraseSize;
    uint64_t ulPartFlag;
};
static_assert(sizeof(PARTITION_S) == 48);

struct IMAGE_DEV_S {
    uint64_t ulImageIdx;
    const char *pszDevName;
};
static_assert(sizeof(IMAGE_DEV_S) == 16);

struct FLASH_LAYOUT_S {
    uint64_t ulLayoutFlag;
    uint64_t ulFlashType;
    uint64_t ulImageMask;
    uint64_t ulReserved;
    const char *pszPartTable;
    IMAGE_DEV_S astImageDev[IMAGE_DEV_ENTRIES];
    const PARTITION_S *pstPartSet;
};

struct LAYOUT_ENTRY_S {
    uint32_t ulId;
    FLASH_LAYOUT_S *pstLayout;
};

struct PARTSET_ENTRY_S {
    uint32_t ulId;
    const PARTITION_S *pstPartSet;
};

// The current layout, bound once at start-up and read everywhere else.
extern FLASH_LAYOUT_S *g_pstFlashLayout;

int GetFlashLayout(FLASH_LAYOUT_S **ppstLayout);
const LAYOUT_ENTRY_S *FindLayoutEntry(uint32_t ulId);
const PARTSET_ENTRY_S *FindPartSetEntry(uint32_t ulId);
int GetPartSet(int32_t lId, const PARTITION_S **ppstPartSet);
const PARTSET_ENTRY_S *GetPartSetTable(void);
// True in a build that binds the simulated board instead of the product.
bool IsSimulationBuild(void);

// Root file system and runtime probes: 0 yes, -1 no (or unreadable source).
int IsRootfsYaffs2(void);
int IsRootfsJffs2(void);
int IsRootfsSquashfs(void);
int IsRootfsExt4(void);
int IsRuntimeOnUbi(void);
