// Helpers shared by the fuzz targets.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <vector>

#include "include/owners.h"

// A broken property ends the run: libFuzzer reports the crash and keeps the input.
inline void Check(bool bOk)
{
    if (!bOk) {
        abort();
    }
}

// A stream over a memory file holding the bytes (none too), at its start.
inline FileOwner MemFile(const uint8_t *pData, size_t ulSize)
{
    int lFd = memfd_create("fuzz", MFD_CLOEXEC);
    FileOwner pFile(lFd >= 0 ? fdopen(lFd, "w+") : nullptr);
    Check(pFile && fwrite(pData, 1, ulSize, pFile.get()) == ulSize && fseek(pFile.get(), 0, SEEK_SET) == 0);
    return pFile;
}

// Bytes ulAt.. of the input in a heap block of exactly ulLen bytes, zero past
// the input's end: a read past the block is caught.
inline std::unique_ptr<char[]> Block(const uint8_t *pData, size_t ulSize, size_t ulAt, size_t ulLen)
{
    std::unique_ptr<char[]> p(new char[ulLen]());
    memcpy(p.get(), pData + std::min(ulAt, ulSize), std::min(ulLen, ulSize - std::min(ulAt, ulSize)));
    return p;
}

// The first ulCount pieces of the input cut at cSep (empty ones past its end),
// each a C string in a block of its exact size.
inline std::vector<std::unique_ptr<char[]>> Split(const uint8_t *pData, size_t ulSize, char cSep, size_t ulCount)
{
    std::vector<std::unique_ptr<char[]>> vPieces;
    for (size_t ulAt = 0; vPieces.size() < ulCount;) {
        const void *pEnd = ulAt < ulSize ? memchr(pData + ulAt, cSep, ulSize - ulAt) : nullptr;
        size_t ulLen = (pEnd != nullptr ? static_cast<const uint8_t *>(pEnd) - pData : std::max(ulAt, ulSize)) - ulAt;
        vPieces.push_back(Block(pData, std::min(ulSize, ulAt + ulLen), ulAt, ulLen + 1));
        ulAt += ulLen + 1;
    }
    return vPieces;
}
