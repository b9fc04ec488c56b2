#include "flash/slave_board.h"

#include "fetch/fetch_progress.h"
#include "flash/flash_write.h"
#include "include/flash_layout.h"
#include "package/packet.h"
#include "update/update_log.h"

namespace {
struct SLAVE_STEP_S {
    uint64_t ulTypes;      // main-board or slave bit that asks for this image
    unsigned ulSlot;
    unsigned ulEntry;
    const char *pszStart;  // logged and printed before the write
    const char *pszFailed; // logged when the write fails
    uint32_t ulRateAfter;  // progress reported once the step is done, 0 for none
};

constexpr SLAVE_STEP_S SLAVE_STEPS[] = {
    {UPDATE_TYPE_UIMAGE | UPDATE_TYPE_SLAVEKERNEL, PART_SLOT_SLAVEKERNEL, IMAGE_ENTRY_SLAVEKERNEL,
     "update slave uImage......\n", "update slave uImage failed.\n", 90},
    {UPDATE_TYPE_PROGRAM | UPDATE_TYPE_SLAVEPROGRAM, PART_SLOT_SLAVEPROGRAM, IMAGE_ENTRY_SLAVEPROGRAM,
     "update slave program......\n", "update slave program failed.\n", 95},
    {UPDATE_TYPE_UBOOT | UPDATE_TYPE_SLAVEUBOOT, PART_SLOT_SLAVEUBOOT, IMAGE_ENTRY_SLAVEUBOOT,
     "loading slave u-boot.bin....\n", "update uboot failed.\n", 0},
};
} // namespace

int UpdateSlaveBoard(const UPDATE_ITEM_S *pstItem)
{
    for (const SLAVE_STEP_S &stStep : SLAVE_STEPS) {
        const PARTITION_S &stSlot = g_pstFlashLayout->pstPartSet[stStep.ulSlot];
        const IMAGE_DEV_S &stDev = g_pstFlashLayout->astImageDev[stStep.ulEntry];
        // The main board's kinds ask for the slave images too, but a package may
        // carry none: its empty record would have the whole package file copied
        // to flash offset 0, over the main boot loader.
        const bool bCarried =
            SubImageAt(pstItem->pstHead, pstItem->ulHeadCount, stDev.ulImageIdx)->ulFileLength != 0;
        if ((pstItem->ulType & stStep.ulTypes) != 0 && stSlot.ullSize != 0 && stDev.pszDevName != nullptr &&
            bCarried) {
            UpdateLogPrint(__FILE_NAME__, __LINE__, "%s", stStep.pszStart);
            int lRet = WriteItemImage(pstItem, stStep.ulEntry, stStep.ulSlot, false);
            if (lRet != 0) {
                UpdateLog(__FILE_NAME__, __LINE__, "%s", stStep.pszFailed);
                return lRet;
            }
        }
        if (stStep.ulRateAfter != 0) {
            SetUpdateRate(stStep.ulRateAfter);
        }
    }
    return 0;
}
