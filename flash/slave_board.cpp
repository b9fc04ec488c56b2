#include "flash/slave_board.h"

#include "fetch/fetch_progress.h"
#include "include/flash_layout.h"
#include "update/update_log.h"

namespace {
struct SLAVE_STEP_S {
    uint64_t ulTypes;      // main-board or slave bit that asks for this image
    uint64_t ulOwnType;    // the slave bit: asked for by name
    unsigned ulSlot;
    unsigned ulEntry;
    const char *pszName;   // what a refusal calls the image
    const char *pszStart;  // logged and printed before the write
    const char *pszFailed; // logged when the write fails
    uint32_t ulRateAfter;  // progress reported once the step is done, 0 for none
};

constexpr SLAVE_STEP_S SLAVE_STEPS[] = {
    {UPDATE_TYPE_UIMAGE | UPDATE_TYPE_SLAVEKERNEL, UPDATE_TYPE_SLAVEKERNEL, PART_SLOT_SLAVEKERNEL,
     IMAGE_ENTRY_SLAVEKERNEL, "slave kernel", "update slave uImage......\n", "update slave uImage failed.\n", 90},
    {UPDATE_TYPE_PROGRAM | UPDATE_TYPE_SLAVEPROGRAM, UPDATE_TYPE_SLAVEPROGRAM, PART_SLOT_SLAVEPROGRAM,
     IMAGE_ENTRY_SLAVEPROGRAM, "slave program", "update slave program......\n", "update slave program failed.\n", 95},
    {UPDATE_TYPE_UBOOT | UPDATE_TYPE_SLAVEUBOOT, UPDATE_TYPE_SLAVEUBOOT, PART_SLOT_SLAVEUBOOT, IMAGE_ENTRY_SLAVEUBOOT,
     "slave boot loader", "loading slave u-boot.bin....\n", "update uboot failed.\n", 0},
};

// The steps, writing, or only checking what they would write (bWrite false).
int RunSlaveSteps(const UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages, bool bWrite)
{
    for (const SLAVE_STEP_S &stStep : SLAVE_STEPS) {
        const SUB_IMAGE_S *pstImage = stImages.apstImage[stStep.ulEntry];
        // The main board's kinds ask for the slave images too, but a package
        // may carry none: its empty record would have the whole package file
        // copied to flash offset 0, over the main boot loader. Asked for by
        // name, an image that cannot be written must not pass for written.
        const bool bWritable = g_pstFlashLayout->pstPartSet[stStep.ulSlot].ullSize != 0 &&
                               g_pstFlashLayout->astImageDev[stStep.ulEntry].pszDevName != nullptr &&
                               pstImage->ulFileLength != 0;
        int lRet = 0;
        if ((pstItem->ulType & stStep.ulOwnType) != 0 && !bWritable) {
            UPDATE_LOG_PRINT("%s requested, but the package or this board has none, nothing written\n",
                             stStep.pszName);
            lRet = -1;
        } else if ((pstItem->ulType & stStep.ulTypes) != 0 && bWritable && !bWrite) {
            lRet = CheckItemImage(pstItem, pstImage, stStep.ulEntry, stStep.ulSlot);
        } else if ((pstItem->ulType & stStep.ulTypes) != 0 && bWritable) {
            UpdateLogPrint(__FILE_NAME__, __LINE__, "%s", stStep.pszStart);
            lRet = WriteItemImage(pstItem, pstImage, stStep.ulEntry, stStep.ulSlot, false);
        }
        if (lRet != 0) {
            if (bWrite) {
                UpdateLog(__FILE_NAME__, __LINE__, "%s", stStep.pszFailed);
            }
            return lRet;
        }
        if (bWrite && stStep.ulRateAfter != 0) {
            SetUpdateRate(stStep.ulRateAfter);
        }
    }
    return 0;
}
} // namespace

int UpdateSlaveBoard(const UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages)
{
    return RunSlaveSteps(pstItem, stImages, true);
}

int CheckSlaveBoard(const UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages)
{
    return RunSlaveSteps(pstItem, stImages, false);
}
