#include <gtest/gtest.h>

#include <string>

#include "include/flash_layout.h"
#include "include/update_types.h"

TEST(FlashLayout, BindsLayout8ToSet14)
{
    FLASH_LAYOUT_S *pstLayout = nullptr;
    ASSERT_EQ(GetFlashLayout(&pstLayout), 0);
    ASSERT_EQ(pstLayout, FindLayoutEntry(8)->pstLayout);
    EXPECT_EQ(pstLayout->ulFlashType, FLASH_TYPE_NAND);
    EXPECT_EQ(pstLayout->ulImageMask, 0x20ffu);
    std::string strDevs;
    for (const IMAGE_DEV_S &st : pstLayout->astImageDev) {
        strDevs += std::string(st.pszDevName == nullptr ? "-" : st.pszDevName) + ":" + std::to_string(st.ulImageIdx) + " ";
    }
    EXPECT_EQ(strDevs, "/dev/mtd1:0 /dev/mtd2:1 /dev/mtd3:2 /dev/mtd4:3 /dev/mtd5:4 -:0 /dev/mtd6:5 /dev/mtd7:9 -:0 -:0 -:0 -:0 -:0 -:0 ");
    const PARTITION_S *pstSet = pstLayout->pstPartSet;
    ASSERT_NE(pstSet, nullptr);
    EXPECT_STREQ(pstSet[PART_SLOT_UBOOT].szName, "uboot");
    EXPECT_EQ(pstSet[PART_SLOT_UBOOT].ullSize, 0x100000u);
    EXPECT_EQ(pstSet[PART_SLOT_PROGRAM].ullOffset, 0x2300000u);
    EXPECT_EQ(pstSet[PART_SLOT_PROGRAM].ullSize, 0x5c00000u);
    EXPECT_EQ(pstSet[PART_SLOT_LOGO_NON].ulPartFlag, 0u);
    EXPECT_EQ(pstSet[PART_SLOT_SLAVEUBOOT].szName[0], '\0');

    const PARTITION_S *pstNone = pstSet;
    EXPECT_EQ(GetPartSet(15, &pstNone), -1);
    EXPECT_EQ(pstNone, nullptr);
    ASSERT_EQ(GetPartSet(5, &pstNone), 0);
    EXPECT_STREQ(pstNone[PART_SLOT_UBOOT].szName, "boot");
    EXPECT_EQ(pstNone[PART_SLOT_UBOOT].ullOffset, 0x100000u);
}
