// The slave board's images, written from the same package.
#pragma once

#include "flash/flash_write.h"
#include "include/update_item.h"

// 0 when every requested slave image was written (or none applies here),
// otherwise the first failing write's result. A slave image asked for by its
// own kind that the package or the board lacks fails the item.
int UpdateSlaveBoard(const UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages);
// What UpdateSlaveBoard would refuse, found before anything is written: 0 or -1.
int CheckSlaveBoard(const UPDATE_ITEM_S *pstItem, const ENTRY_IMAGES_S &stImages);
