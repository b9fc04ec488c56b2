// The partition writer: images into NOR, NAND and eMMC partitions through the
// device's tools and the updater's own flash applets.
#pragma once

#include <cstdint>

#include "include/update_item.h"
#include "include/update_types.h"

constexpr const char *PACKAGE_APPLET_RUNNER = "/tmp/busybox";
constexpr const char *SINGLE_APPLET_RUNNER = "/bin/busybox";
constexpr const char *NOR_WHOLE_DEVICE = "/dev/mtd0";
constexpr unsigned FLASH_WRITE_TIMES = 10;

// Writes ulLength bytes from ulFileOffset of the package file into the
// partition pszDev, adapting the NAND method to the running root file system.
// 0, the failing erase's result, or -1.
int WriteFlash(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
               uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset);
// The same for a single image file, without the root file system probes.
int WriteFlashSingle(const char *pszDev, const char *pszFile, uint64_t ulPartSize, uint64_t ulFlashType,
                     uint64_t ulFileOffset, uint64_t ulLength, uint64_t ulFlashOffset);
// Writes the package image of layout entry ulEntry into that entry's device,
// with the size of partition slot ulSlot, after the image line (logged, and
// printed too when bPrintLine). The writer's result, or -1 when this board
// has no device for the entry or its image is not wholly in the package.
int WriteItemImage(const UPDATE_ITEM_S *pstItem, unsigned ulEntry, unsigned ulSlot, bool bPrintLine);
// 0 when the package image of layout entry ulEntry can be written: it lies
// wholly inside the package and is not empty (the configuration, which is
// only erased, and entries without a device always pass); -1 with a message.
int CheckItemImage(const UPDATE_ITEM_S *pstItem, unsigned ulEntry);

// Raw-image mode: fetches one image file and writes it into its partition.
int UpdateSingleImage(const UPDATE_REQ_S *pstReq);
// Size of the file, or all ones when it cannot be read.
uint64_t GetFileSize(const char *pszPath);
