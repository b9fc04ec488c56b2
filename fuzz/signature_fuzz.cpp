// Fuzz target for the signature block reader and the key parsers: the input
// is the end of a package (its last 96 bytes are the block) and, after the
// block, text read as a PEM key. A block the reader accepts ends the file it
// was read from exactly, and a key the parser accepts is a whole PEM section.
#include "fuzz/fuzz_util.h"
#include "package/signature.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    uint8_t aucBlock[SIG_BLOCK_LEN] = {};
    memcpy(aucBlock, pData, ulSize < SIG_BLOCK_LEN ? ulSize : SIG_BLOCK_LEN);
    uint64_t ullFileSize = 0;
    memcpy(&ullFileSize, aucBlock + 72, sizeof(ullFileSize));
    ullFileSize += ulSize % 3 == 0 ? SIG_BLOCK_LEN : ulSize % 3;
    SIG_BLOCK_S stBlock;
    if (ParseSigBlock(aucBlock, SIG_BLOCK_LEN, ullFileSize, &stBlock)) {
        Check(stBlock.ullCovered + SIG_BLOCK_LEN == ullFileSize && stBlock.ucVersion == SIG_FORMAT_VERSION &&
              memcmp(stBlock.acMagic, SIG_MAGIC, sizeof(SIG_MAGIC)) == 0 && ulSize % 3 == 0);
    }
    uint32_t ulStart = 0;
    uint32_t ulLen = 0;
    HeadCrcSpan(reinterpret_cast<const char *>(Block(pData, ulSize, 0, 256).get()), &ulStart, &ulLen);
    Check(ulStart + ulLen <= 256 && (ulStart == 0 ? ulLen == 0 : ulStart >= 3));
    if (ulSize > SIG_BLOCK_LEN) {
        std::string strPem(reinterpret_cast<const char *>(pData) + SIG_BLOCK_LEN, ulSize - SIG_BLOCK_LEN);
        uint8_t aucKey[SIG_PUBLIC_KEY_LEN];
        if (ParsePublicKeyPem(strPem, aucKey) == 0 || ParsePrivateKeyPem(strPem, aucKey) == 0) {
            Check(strPem.find("-----BEGIN ") != std::string::npos && strPem.find("-----END ") != std::string::npos);
        }
    }
    return 0;
}
