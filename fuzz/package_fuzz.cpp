// Fuzz target for the package readers: the input is a whole package file in
// a memory file. Head and board list are read as the retrieval step reads
// them into buffers of their exact size, then split and checked as
// CheckUpdateValid does (the board type is the head's unused free text). The
// sub-image table must hold the file's records, all zero beyond its end. (The
// checksum is left out: its 256 KiB buffer per input would cost 7 of 8 runs.)
#include "fuzz/fuzz_util.h"
#include "package/compat.h"
#include "package/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    auto pszHead = Block(pData, ulSize, 0, PACKET_HEAD_LEN);
    PACKET_HEAD_INFO_S stInfo;
    SplitPacketHead(pszHead.get(), &stInfo);
    Check(stInfo.ulFieldCount >= 1 && stInfo.ulFieldCount <= 4 && (stInfo.ulFieldCount == 4 || stInfo.ulCrc == 0));
    Check(strnlen(stInfo.szPubVersion, HEAD_VERSION_LEN) < HEAD_VERSION_LEN &&
          strnlen(stInfo.szCrcSum, HEAD_CRC_LEN) < HEAD_CRC_LEN);
    CheckBoardCompatible(Block(pData, ulSize, PACKET_HEAD_LEN, PACKET_COMPAT_LEN).get(), stInfo.szFreeText);
    CompareVersion(stInfo.szPubVersion, "R1234P01");

    FileOwner pFile = MemFile(pData, ulSize);
    uint32_t ulCount = 0;
    std::string sPath = "/proc/self/fd/" + std::to_string(fileno(pFile.get()));
    HeapOwner<SUB_IMAGE_S> pstTable(GetSubImageTable(sPath.c_str(), &ulCount));
    uint32_t ulDeclared = 0;
    memcpy(&ulDeclared, Block(pData, ulSize >= PACKET_TABLE_OFFSET ? ulSize : 0, PACKET_COUNT_OFFSET, 4).get(), 4);
    Check((pstTable != nullptr) == (ulDeclared != 0) && ulCount <= ulDeclared &&
          ulCount <= ulSize / sizeof(SUB_IMAGE_S) + 1 && (pstTable == nullptr || ulCount >= 1));
    for (uint32_t i = 0; i < ulCount; ++i) {
        auto pWant = Block(pData, ulSize, PACKET_TABLE_OFFSET + i * sizeof(SUB_IMAGE_S), sizeof(SUB_IMAGE_S));
        Check(memcmp(&pstTable.get()[i], pWant.get(), sizeof(SUB_IMAGE_S)) == 0);
    }
    const SUB_IMAGE_S *pstAbsent = SubImageAt(pstTable.get(), ulCount, ulCount + ulSize % 16);
    Check(pstAbsent->ulFileLength == 0 && pstAbsent->ulFileOffset == 0 && pstAbsent->szFileName[0] == '\0');
    return 0;
}
