// The partition sets and the one layout/set pair this build binds.
#include "include/flash_layout.h"

#include <cstdint>

namespace {
constexpr uint64_t KB64 = 0x10000;
constexpr uint64_t KB128 = 0x20000;
constexpr uint64_t KB512 = 0x80000;

constexpr PARTITION_S P(const char *pszName, uint64_t ullOffset, uint64_t ullSize, uint64_t ulErase,
                        uint64_t ulFlag)
{
    PARTITION_S st{};
    for (unsigned i = 0; i < 15 && pszName[i] != '\0'; ++i) {
        st.szName[i] = pszName[i];
    }
    st.ullOffset = ullOffset;
    st.ullSize = ullSize;
    st.ulEraseSize = ulErase;
    st.ulPartFlag = ulFlag;
    return st;
}
constexpr PARTITION_S EMPTY = {};

using PartSet = PARTITION_S[PARTITION_SLOTS];

// The set every build of this updater binds: a 128 MiB NAND.
constexpr PartSet s_astPartSet14 = {
    P("chip", 0, 0x8000000, KB128, 1),
    P("uboot", 0, 0x100000, KB128, 1),
    P("env", 0x180000, 0x80000, KB128, 1),
    P("config", 0x380000, 0xa00000, KB128, 1),
    P("kernel", 0xd80000, 0xc00000, KB128, 1),
    P("program", 0x2300000, 0x5c00000, KB128, 1),
    P("ActiveX", 0x1980000, 0x7e0000, KB128, 1),
    P("backenv", 0x2180000, 0x80000, KB128, 1),
    P("custom", 0x2200000, 0x100000, KB128, 1),
    EMPTY,
    EMPTY,
    EMPTY,
    P("bootlogo_zh.gz", 0x200000, 0x80000, KB128, 0),
    P("bootlogo_en.gz", 0x280000, 0x80000, KB128, 0),
    P("bootlogo_non.gz", 0x300000, 0x80000, KB128, 0),
    P("fenv", 0x100000, 0x80000, KB128, 1),
    EMPTY,
    P("erasecnt", 0x2160000, 0x20000, KB128, 1),
    P("panic", 0x7f00000, 0x100000, KB128, 1),
    EMPTY,
    EMPTY,
};

// The other sets are carried for the boards this updater family also serves.
// Only the whole-device size, the erase block, which slots exist and which are
// flagged matter to anyone; the slots are laid out back to back from the boot
// loader onwards in slot order, each a whole number of erase blocks, sharing
// the device by fixed weights.
struct PARTSET_SHAPE_S {
    const char *pszChip;
    uint64_t ullChipSize;
    uint64_t ulErase;
    uint32_t ulPresent;   // bit n: slot n exists
    uint32_t ulFlagZero;  // bit n: slot n carries flag 0
    bool bSsd;            // slot 1 "boot", slot 3 "cfg", boot loader at 1 MiB
};

constexpr uint32_t Bits(unsigned ulFrom, unsigned ulTo)
{
    uint32_t ul = 0;
    for (unsigned i = ulFrom; i <= ulTo; ++i) {
        ul |= 1u << i;
    }
    return ul;
}
constexpr uint32_t B(unsigned ul) { return 1u << ul; }

constexpr const char *SLOT_NAMES[PARTITION_SLOTS] = {
    "",           "uboot",          "env",        "config",         "kernel",         "program",
    "ActiveX",    "backenv",        "custom",     "uboot_slave",    "kernel_slave",   "program_slave",
    "bootlogo_zh.gz", "bootlogo_en.gz", "bootlogo_non.gz", "fenv", "tvconfig",       "erasecnt",
    "panic",      "ubootbak",       "database",
};

// Share of the device each slot takes in a set built from a shape.
constexpr uint64_t SLOT_BLOCKS[PARTITION_SLOTS] = {0, 8, 4, 16, 48, 160, 32, 4, 8, 8, 48, 160,
                                                   4, 4, 4,  4, 16, 1,  8,  8, 64};

constexpr void BuildPartSet(const PARTSET_SHAPE_S &stShape, PartSet &astSet)
{
    for (unsigned i = 0; i < PARTITION_SLOTS; ++i) {
        astSet[i] = EMPTY;
    }
    astSet[0] = P(stShape.pszChip, 0, stShape.ullChipSize, stShape.ulErase, 1);
    uint64_t ullOffset = stShape.bSsd ? 0x100000 : 0;
    uint64_t ullWeights = 0;
    for (unsigned ulSlot = 1; ulSlot < PARTITION_SLOTS; ++ulSlot) {
        if ((stShape.ulPresent & B(ulSlot)) != 0) {
            ullWeights += SLOT_BLOCKS[ulSlot];
        }
    }
    const uint64_t ullBlocks = (stShape.ullChipSize - ullOffset) / stShape.ulErase;
    for (unsigned ulSlot = 1; ulSlot < PARTITION_SLOTS; ++ulSlot) {
        if ((stShape.ulPresent & B(ulSlot)) == 0) {
            continue;
        }
        const char *pszName = SLOT_NAMES[ulSlot];
        if (stShape.bSsd && ulSlot == PART_SLOT_UBOOT) {
            pszName = "boot";
        } else if (stShape.bSsd && ulSlot == PART_SLOT_CONFIG) {
            pszName = "cfg";
        }
        uint64_t ullSize = (ullBlocks * SLOT_BLOCKS[ulSlot] / ullWeights) * stShape.ulErase;
        astSet[ulSlot] = P(pszName, ullOffset, ullSize, stShape.ulErase, (stShape.ulFlagZero & B(ulSlot)) ? 0 : 1);
        ullOffset += ullSize;
    }
}

constexpr PARTSET_SHAPE_S SHAPES[14] = {
    {"chip", 0x8000000, KB128, Bits(0, 8) | Bits(12, 14) | B(17), Bits(12, 14), false},
    {"chip", 0x8000000, KB128, Bits(0, 8) | Bits(12, 14) | B(17), Bits(12, 14), false},
    {"chip", 0x1000000, KB64, Bits(0, 8) | Bits(12, 14), Bits(12, 14), false},
    {"chip", 0x2000000, KB64, Bits(0, 14), 0, false},
    {"chip", 0x800000, KB64, Bits(0, 5) | Bits(12, 14), Bits(12, 14), false},
    {"ssd_or_emmc", 0x100000000, KB128, Bits(0, 8) | B(10) | Bits(12, 14), B(8) | Bits(12, 14), true},
    {"chip", 0x7e40000, KB128, Bits(0, 8) | Bits(12, 17), Bits(12, 14), false},
    {"chip", 0x8000000, KB128, Bits(0, 14) | B(17), Bits(12, 14), false},
    {"chip", 0x8000000, KB128, Bits(0, 8) | Bits(12, 15) | B(17), Bits(12, 14), false},
    {"chip", 0x7d40000, KB128, Bits(0, 5) | B(7) | B(8) | Bits(12, 15) | Bits(17, 19), Bits(12, 14), false},
    {"ssd", 0x800000000, KB128, Bits(0, 8) | B(10) | Bits(12, 14) | B(20), B(8) | Bits(12, 14), true},
    {"chip", 0x10000000, KB128, Bits(0, 14) | B(17), Bits(12, 14), false},
    {"chip", 0x10000000, KB128, Bits(0, 8) | Bits(12, 15) | B(17) | B(18), Bits(12, 14), false},
    {"chip", 0x200000000, KB512, Bits(0, 8) | Bits(12, 14) | B(20), 0, false},
};

struct PartSetStore {
    PartSet aast[14];
};

constexpr PartSetStore BuildAll()
{
    PartSetStore st{};
    for (unsigned i = 0; i < 14; ++i) {
        BuildPartSet(SHAPES[i], st.aast[i]);
    }
    return st;
}

constexpr PartSetStore s_stPartSets = BuildAll();

// Every shaped set must fit its device.
constexpr bool SetsFit()
{
    for (unsigned i = 0; i < 14; ++i) {
        for (unsigned ulSlot = 1; ulSlot < PARTITION_SLOTS; ++ulSlot) {
            const PARTITION_S &st = s_stPartSets.aast[i][ulSlot];
            if (st.ullOffset + st.ullSize > s_stPartSets.aast[i][0].ullSize) {
                return false;
            }
        }
    }
    return true;
}
static_assert(SetsFit());

#ifdef UPDATE_SIMULATED_BOARD_ONLY
// The simulated board's 4 MiB NOR (qemu pflash): slot n is /dev/mtdn, the
// whole chip is /dev/mtd0. It exists only in simulation builds.
constexpr PartSet s_astPartSetSim = {
    P("chip", 0, 0x400000, KB64, 1),
    P("uboot", 0, 0x40000, KB64, 1),
    P("env", 0x40000, 0x20000, KB64, 1),
    P("config", 0x60000, 0x40000, KB64, 1),
    P("kernel", 0xa0000, 0xc0000, KB64, 1),
    P("program", 0x160000, 0x100000, KB64, 1),
    P("ActiveX", 0x260000, 0x40000, KB64, 1),
    P("backenv", 0x2a0000, 0x20000, KB64, 1),
    P("custom", 0x2c0000, 0x20000, KB64, 1),
    P("uboot_slave", 0x2e0000, 0x20000, KB64, 1),
    P("kernel_slave", 0x300000, 0x80000, KB64, 1),
    P("program_slave", 0x380000, 0x80000, KB64, 1),
};
#endif

constexpr PARTSET_ENTRY_S s_astPartSetTable[] = {
    {0, s_stPartSets.aast[0]},   {1, s_stPartSets.aast[1]},   {2, s_stPartSets.aast[2]},
    {3, s_stPartSets.aast[3]},   {4, s_stPartSets.aast[4]},   {5, s_stPartSets.aast[5]},
    {6, s_stPartSets.aast[6]},   {7, s_stPartSets.aast[7]},   {8, s_stPartSets.aast[8]},
    {9, s_stPartSets.aast[9]},   {10, s_stPartSets.aast[10]}, {11, s_stPartSets.aast[11]},
    {12, s_stPartSets.aast[12]}, {13, s_stPartSets.aast[13]}, {14, s_astPartSet14},
#ifdef UPDATE_SIMULATED_BOARD_ONLY
    {15, s_astPartSetSim},
#endif
};

#ifdef UPDATE_SIMULATED_BOARD_ONLY
// NOR with slave-board entries, on the simulator's own partition set.
constexpr uint32_t BOUND_LAYOUT_ID = 3;
constexpr uint32_t BOUND_PARTSET_ID = 15;
#else
constexpr uint32_t BOUND_LAYOUT_ID = 8;
constexpr uint32_t BOUND_PARTSET_ID = 14;
#endif
} // namespace

const PARTSET_ENTRY_S *FindPartSetEntry(uint32_t ulId)
{
    for (const PARTSET_ENTRY_S &stEntry : s_astPartSetTable) {
        if (stEntry.ulId == ulId) {
            return &stEntry;
        }
    }
    return nullptr;
}

int GetPartSet(int32_t lId, const PARTITION_S **ppstPartSet)
{
    const PARTSET_ENTRY_S *pstEntry = lId < 0 ? nullptr : FindPartSetEntry(static_cast<uint32_t>(lId));
    if (ppstPartSet != nullptr) {
        *ppstPartSet = pstEntry != nullptr ? pstEntry->pstPartSet : nullptr;
    }
    return pstEntry != nullptr ? 0 : -1;
}

const PARTSET_ENTRY_S *GetPartSetTable(void)
{
    return s_astPartSetTable;
}

int GetFlashLayout(FLASH_LAYOUT_S **ppstLayout)
{
    const LAYOUT_ENTRY_S *pstLayout = FindLayoutEntry(BOUND_LAYOUT_ID);
    const PARTSET_ENTRY_S *pstSet = FindPartSetEntry(BOUND_PARTSET_ID);
    if (ppstLayout == nullptr || pstLayout == nullptr || pstSet == nullptr) {
        return -1;
    }
    pstLayout->pstLayout->pstPartSet = pstSet->pstPartSet;
    *ppstLayout = pstLayout->pstLayout;
    return 0;
}

bool IsSimulationBuild(void)
{
    return BOUND_PARTSET_ID != 14;
}
