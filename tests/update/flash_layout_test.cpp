#include <gtest/gtest.h>

#include <cstring>

#include "include/flash_layout.h"
#include "include/update_types.h"

TEST(FlashLayout, BindsLayout8ToSet14)
{
    FLASH_LAYOUT_S *pstLayout = nullptr;
    ASSERT_EQ(GetFlashLayout(&pstLayout), 0);
    ASSERT_NE(pstLayout, nullptr);
    EXPECT_EQ(pstLayout, FindLayoutEntry(8)->pstLayout);
    EXPECT_EQ(pstLayout->ulFlashType, FLASH_TYPE_NAND);
    EXPECT_EQ(pstLayout->ulImageMask, 0x20ffu);
    EXPECT_EQ(pstLayout->ulImageMask & UPDATE_TYPE_ALL, 0xA3u);
    EXPECT_EQ(pstLayout->ulImageMask & (UPDATE_TYPE_SLAVEUBOOT | UPDATE_TYPE_TVCONFIG), 0u);
    const char *apszDev[] = {"/dev/mtd1", "/dev/mtd2", "/dev/mtd3", "/dev/mtd4", "/dev/mtd5", nullptr, "/dev/mtd6",
                             "/dev/mtd7"};
    const uint64_t aulIdx[] = {0, 1, 2, 3, 4, 0, 5, 9};
    for (unsigned i = 0; i < IMAGE_DEV_ENTRIES; ++i) {
        const IMAGE_DEV_S &st = pstLayout->astImageDev[i];
        if (i < 8 && apszDev[i] != nullptr) {
            ASSERT_NE(st.pszDevName, nullptr) << i;
            EXPECT_STREQ(st.pszDevName, apszDev[i]);
            EXPECT_EQ(st.ulImageIdx, aulIdx[i]);
        } else {
            EXPECT_EQ(st.pszDevName, nullptr) << i;
        }
    }
    // The updater and the customisation archive sit at 8 and 10 on this layout.
    EXPECT_EQ(pstLayout->astImageDev[IMAGE_ENTRY_PROGRAM].ulImageIdx + UPDATE_POS_OFFSET, 8u);
    EXPECT_EQ(pstLayout->astImageDev[IMAGE_ENTRY_PROGRAM].ulImageIdx + CUSTOM_POS_OFFSET, 10u);

    const PARTITION_S *pstSet = pstLayout->pstPartSet;
    ASSERT_NE(pstSet, nullptr);
    EXPECT_STREQ(pstSet[PART_SLOT_UBOOT].szName, "uboot");
    EXPECT_EQ(pstSet[PART_SLOT_UBOOT].ullSize, 0x100000u);
    EXPECT_EQ(pstSet[PART_SLOT_PROGRAM].ullOffset, 0x2300000u);
    EXPECT_EQ(pstSet[PART_SLOT_PROGRAM].ullSize, 0x5c00000u);
    EXPECT_EQ(pstSet[PART_SLOT_ACTIVEX].ullSize, 0x7e0000u);
    EXPECT_STREQ(pstSet[PART_SLOT_LOGO_NON].szName, "bootlogo_non.gz");
    EXPECT_EQ(pstSet[PART_SLOT_LOGO_NON].ulPartFlag, 0u);
    EXPECT_EQ(pstSet[PART_SLOT_PANIC].ullOffset, 0x7f00000u);
    for (unsigned ulSlot : {9u, 10u, 11u, 16u, 19u, 20u}) {
        const char szZero[sizeof(PARTITION_S)] = {};
        EXPECT_EQ(memcmp(&pstSet[ulSlot], szZero, sizeof(PARTITION_S)), 0) << ulSlot;
    }
}

TEST(FlashLayout, TablesAndLookups)
{
    for (uint32_t i = 0; i < LAYOUT_COUNT; ++i) {
        ASSERT_NE(FindLayoutEntry(i), nullptr);
    }
    EXPECT_EQ(FindLayoutEntry(12), nullptr);
    EXPECT_EQ(FindLayoutEntry(3)->pstLayout->ulImageMask, 0x7ffu);
    EXPECT_STREQ(FindLayoutEntry(3)->pstLayout->astImageDev[IMAGE_ENTRY_SLAVEPROGRAM].pszDevName, "/dev/mtd11");
    EXPECT_STREQ(FindLayoutEntry(10)->pstLayout->astImageDev[IMAGE_ENTRY_SPARE].pszDevName, "/dev/sda9");
    EXPECT_EQ(FindLayoutEntry(5)->pstLayout->astImageDev[IMAGE_ENTRY_SPARE].pszDevName, nullptr);
    EXPECT_STREQ(FindLayoutEntry(5)->pstLayout->pszPartTable, "/dev/parttable");
    EXPECT_EQ(FindLayoutEntry(11)->pstLayout->ulFlashType, FLASH_TYPE_EMMC);

    const PARTITION_S *pstSet = reinterpret_cast<const PARTITION_S *>(1);
    EXPECT_EQ(GetPartSet(15, &pstSet), -1);
    EXPECT_EQ(pstSet, nullptr);
    EXPECT_EQ(GetPartSet(-1, &pstSet), -1);
    ASSERT_EQ(GetPartSet(5, &pstSet), 0);
    EXPECT_STREQ(pstSet[0].szName, "ssd_or_emmc");
    EXPECT_EQ(pstSet[0].ullSize, 0x100000000u);
    EXPECT_STREQ(pstSet[PART_SLOT_UBOOT].szName, "boot");
    EXPECT_EQ(pstSet[PART_SLOT_UBOOT].ullOffset, 0x100000u);
    EXPECT_STREQ(pstSet[PART_SLOT_CONFIG].szName, "cfg");
    EXPECT_EQ(pstSet[PART_SLOT_CUSTOM].ulPartFlag, 0u);
    EXPECT_EQ(pstSet[PART_SLOT_SLAVEUBOOT].ullSize, 0u);
    EXPECT_NE(pstSet[PART_SLOT_SLAVEKERNEL].ullSize, 0u);
    ASSERT_EQ(GetPartSet(13, &pstSet), 0);
    EXPECT_EQ(pstSet[PART_SLOT_KERNEL].ulEraseSize, 0x80000u);
    EXPECT_EQ(GetPartSetTable()[14].ulId, 14u);
    // Every slot of every set is whole erase blocks inside its device, in the MTD sets
    // the boot loader starts the device.
    for (unsigned s = 0; s < PARTSET_COUNT; ++s) {
        const PARTITION_S *pst = GetPartSetTable()[s].pstPartSet;
        for (unsigned i = 1; i < PARTITION_SLOTS; ++i) {
            if (pst[i].szName[0] == '\0') {
                continue;
            }
            EXPECT_EQ(pst[i].ullSize % pst[i].ulEraseSize, 0u) << s << "/" << i;
            EXPECT_LE(pst[i].ullOffset + pst[i].ullSize, pst[0].ullSize) << s << "/" << i;
        }
        if (s != 5 && s != 10) {
            EXPECT_EQ(pst[PART_SLOT_UBOOT].ullOffset, 0u) << s;
        }
    }
}
