// The partition writer: images into NOR, NAND and eMMC partitions through the
// device's tools and the updater's own flash applets.
#pragma once

#include <cstdint>

#include "include/flash_layout.h"
#include "include/update_item.h"
#include "include/update_types.h"

constexpr const char *PACKAGE_APPLET_RUNNER = "/tmp/busybox";
constexpr const char *SINGLE_APPLET_RUNNER = "/bin/busybox";
constexpr const char *NOR_WHOLE_DEVICE = "/dev/mtd0";
constexpr unsigned FLASH_WRITE_TIMES = 10;

// Writes ulLength bytes from ulFileOffset of the package file into the
// partition pszDev, adapting the NAND method to the running root file system.
// 0, the failing erase's result, or -1 (also for what CheckWriteFlash refuses,
// found before anything runs).
int WriteFlash(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
               uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset);
// The same for a single image file, without the root file system probes.
int WriteFlashSingle(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                     uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset);
// Runs nothing: 0 when WriteFlash (WriteFlashSingle) with the same arguments
// would run its commands, -1 after saying why it would refuse: an image the
// file does not hold or of 0 bytes, longer than its partition, on NOR outside
// its partition's slot, or a command the runner could not run as composed.
// The writers refuse the same way before their first erase.
int CheckWriteFlash(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                    uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset);
int CheckWriteFlashSingle(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                          uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset);

// The package's record of every image entry of the current layout, looked
// up once by the installer and handed to the steps that write them.
struct ENTRY_IMAGES_S {
    const SUB_IMAGE_S *apstImage[IMAGE_DEV_ENTRIES];
};

// Writes the package image pstImage of layout entry ulEntry into that entry's
// device, with the size of partition slot ulSlot, after the image line
// (logged, and printed too when bPrintLine). The writer's result, or -1 when
// this board has no device for the entry.
int WriteItemImage(const UPDATE_ITEM_S *pstItem, const SUB_IMAGE_S *pstImage, unsigned ulEntry, unsigned ulSlot,
                   bool bPrintLine);
// CheckWriteFlash for what WriteItemImage would write; an entry without a
// device passes (its write step refuses it), an image of 0 bytes does not.
int CheckItemImage(const UPDATE_ITEM_S *pstItem, const SUB_IMAGE_S *pstImage, unsigned ulEntry, unsigned ulSlot);

// Raw-image mode: fetches one image file and writes it into its partition;
// with -check it checks the image as the write would and writes nothing.
int UpdateSingleImage(const UPDATE_REQ_S *pstReq);
// Size of the file, or all ones when it cannot be read.
uint64_t GetFileSize(const char *pszPath);
