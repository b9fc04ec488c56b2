// Fuzz target for the package readers: the input is a whole package file in
// a memory file. Head and board list are read as the retrieval step reads
// them into buffers of their exact size, then split and checked as
// CheckUpdateValid does (the board type is the head's unused free text). The
// sub-image table must hold the file's records, all zero beyond its end. (The
// checksum is left out: its 256 KiB buffer per input would cost 7 of 8 runs.)
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.h"
#include "include/owners.h"
#include "package/compat.h"
#include "package/packet.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    FdOwner fd(MemFd(pData, ulSize));
    std::string sPath = "/proc/self/fd/" + std::to_string(fd.Get());

    std::unique_ptr<char[]> pszHead(new char[PACKET_HEAD_LEN]());
    std::unique_ptr<char[]> pszCompat(new char[PACKET_COMPAT_LEN]());
    Check(pread(fd.Get(), pszHead.get(), PACKET_HEAD_LEN, 0) >= 0 &&
          pread(fd.Get(), pszCompat.get(), PACKET_COMPAT_LEN, PACKET_HEAD_LEN) >= 0);
    PACKET_HEAD_INFO_S stInfo;
    SplitPacketHead(pszHead.get(), &stInfo);
    Check(stInfo.ulFieldCount >= 1 && stInfo.ulFieldCount <= 4 && (stInfo.ulFieldCount == 4 || stInfo.ulCrc == 0));
    Check(strnlen(stInfo.szPubVersion, HEAD_VERSION_LEN) < HEAD_VERSION_LEN &&
          strnlen(stInfo.szCrcSum, HEAD_CRC_LEN) < HEAD_CRC_LEN);
    CheckBoardCompatible(pszCompat.get(), stInfo.szFreeText);
    CompareVersion(stInfo.szPubVersion, "R1234P01");

    uint32_t ulCount = 0;
    HeapOwner<SUB_IMAGE_S> pstTable(GetSubImageTable(sPath.c_str(), &ulCount));
    uint32_t ulDeclared = 0;
    if (ulSize >= PACKET_TABLE_OFFSET) {
        memcpy(&ulDeclared, pData + PACKET_COUNT_OFFSET, sizeof(ulDeclared));
    }
    Check((pstTable != nullptr) == (ulDeclared != 0));
    if (pstTable != nullptr) {
        Check(ulCount >= 1 && ulCount <= ulDeclared && ulCount <= ulSize / sizeof(SUB_IMAGE_S) + 1);
        for (uint32_t i = 0; i < ulCount; ++i) {
            size_t ulAt = PACKET_TABLE_OFFSET + i * sizeof(SUB_IMAGE_S);
            size_t ulHave = ulAt < ulSize ? std::min(ulSize - ulAt, sizeof(SUB_IMAGE_S)) : 0;
            const auto *pucRec = reinterpret_cast<const uint8_t *>(&pstTable.get()[i]);
            Check(memcmp(pucRec, pData + ulAt, ulHave) == 0);
            for (size_t j = ulHave; j < sizeof(SUB_IMAGE_S); ++j) {
                Check(pucRec[j] == 0);
            }
        }
    }
    const SUB_IMAGE_S *pstAbsent = SubImageAt(pstTable.get(), ulCount, ulCount + ulSize % 16);
    Check(pstAbsent->ulFileLength == 0 && pstAbsent->ulFileOffset == 0 && pstAbsent->szFileName[0] == '\0');
    return 0;
}
