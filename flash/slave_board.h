// The slave board's images, written from the same package.
#pragma once

#include "include/update_item.h"

// 0 when every requested slave image was written (or none applies here),
// otherwise the first failing write's result.
int UpdateSlaveBoard(const UPDATE_ITEM_S *pstItem);
