// The slave board's images, written from the same package.
#pragma once

#include "include/update_item.h"

// Writes the package image of layout entry ulEntry into that entry's device,
// with the size of partition slot ulSlot, after the image line (logged, and
// printed too when bPrintLine). The writer's result, or -1 when this board
// has no device for the entry.
int WriteItemImage(const UPDATE_ITEM_S *pstItem, unsigned ulEntry, unsigned ulSlot, bool bPrintLine);

// 0 when every requested slave image was written (or none applies here),
// otherwise the first failing write's result.
int UpdateSlaveBoard(const UPDATE_ITEM_S *pstItem);
