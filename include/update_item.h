// One install item of an update and the hand-over link record.
#pragma once

#include <cstdint>

#include "include/packet.h"
#include "include/update_types.h"

constexpr unsigned LINK_PATH_LEN = 513;

struct UPDATE_ITEM_S {
    UPDATE_REQ_S *pstReq;
    uint64_t ulType;
    const char *pszFileName;
    const char *pszPacketFile;
    SUB_IMAGE_S *pstHead;
    uint32_t ulCheckValue;
    // Records the in-memory table really holds: the head's count may claim
    // more than the file supplied, so every lookup is bounded by this.
    uint32_t ulHeadCount;
};

struct UPDATE_LINK_S {
    char szLinkFile[LINK_PATH_LEN];
    char szPacketFile[LINK_PATH_LEN];
    uint32_t ulLinked;
};
