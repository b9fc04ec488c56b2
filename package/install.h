// Installing one item of an accepted package: directly, or by handing over
// to the updater the package carries.
#pragma once

#include "include/update_item.h"

constexpr const char *OEM_WORK_DIR = "/tmp/oem";
constexpr const char *PRESENT_UPDATER = "/tmp/update";
constexpr const char *TMP_DIR = "/tmp";

// 0, -4 for a checksum mismatch, -1 for an unreadable executable link, or the
// failing step's own result.
int InstallPacket(UPDATE_ITEM_S *pstItem, UPDATE_LINK_S *pstLink);
