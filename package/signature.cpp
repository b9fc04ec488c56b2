#include "package/signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "include/owners.h"
#include "include/packet.h"
#include "package/packet.h"
#include "update/update_log.h"

namespace {

// DER prefixes of the two key encodings openssl writes for Ed25519
// (RFC 8410): the raw key follows each directly.
constexpr uint8_t PUBLIC_DER_PREFIX[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
constexpr uint8_t PRIVATE_DER_PREFIX[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                          0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
constexpr size_t KEY_FILE_MAX = 4096;
constexpr size_t BLOCK_SIGNED_PART = SIG_BLOCK_LEN - SIG_LEN;

bool Initialised()
{
    // Also picks the implementations for this CPU; cheap after the first call.
    return sodium_init() >= 0;
}

// The DER body of the PEM section with the given label: 0 or -1.
int PemBody(const std::string &strPem, const char *pszLabel, std::vector<uint8_t> *pvecDer)
{
    std::string strBegin = std::string("-----BEGIN ") + pszLabel + "-----";
    std::string strEnd = std::string("-----END ") + pszLabel + "-----";
    size_t ulBegin = strPem.find(strBegin);
    if (ulBegin == std::string::npos) {
        return -1;
    }
    ulBegin += strBegin.size();
    size_t ulEnd = strPem.find(strEnd, ulBegin);
    if (ulEnd == std::string::npos) {
        return -1;
    }
    pvecDer->assign((ulEnd - ulBegin) * 3 / 4 + 3, 0);
    size_t ulBinLen = 0;
    const char *pszB64End = nullptr;
    if (sodium_base642bin(pvecDer->data(), pvecDer->size(), strPem.data() + ulBegin, ulEnd - ulBegin, " \r\n\t",
                          &ulBinLen, &pszB64End, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        pszB64End != strPem.data() + ulEnd) {
        return -1;
    }
    pvecDer->resize(ulBinLen);
    return 0;
}

int RawKeyAfter(const std::vector<uint8_t> &vecDer, const uint8_t *pucPrefix, size_t ulPrefix, uint8_t *pucKey)
{
    if (vecDer.size() != ulPrefix + 32 || memcmp(vecDer.data(), pucPrefix, ulPrefix) != 0) {
        return -1;
    }
    memcpy(pucKey, vecDer.data() + ulPrefix, 32);
    return 0;
}

void StoreLe32(uint8_t *puc, uint32_t ul)
{
    for (int i = 0; i < 4; i++) {
        puc[i] = static_cast<uint8_t>(ul >> (8 * i));
    }
}

// The pass behind both the device's check and the tool's signing. The digest
// covers bytes [0, ullHashEnd) when bHash; the checksum covers byte 4096 on.
int RunPass(int lFd, bool bHash, uint64_t ullHashEnd, const SIG_BLOCK_S &stBlock, uint32_t *pulCrc,
            uint8_t *pucDigest)
{
    uint8_t aucHead[PACKET_HEAD_LEN] = {};
    if (bHash && pread(lFd, aucHead, sizeof(aucHead), 0) < 0) {
        return -1;
    }
    uint32_t ulSpanStart = 0;
    uint32_t ulSpanLen = 0;
    HeadCrcSpan(reinterpret_cast<const char *>(aucHead), &ulSpanStart, &ulSpanLen);

    struct PASS_S {
        bool bHash;
        uint64_t ullHashEnd;
        uint32_t ulSpanStart;
        uint32_t ulSpanLen;
        crypto_hash_sha512_state stSha;
        uint32_t ulCrc;
        uint64_t ullPos;
    } stPass = {bHash, ullHashEnd, ulSpanStart, ulSpanLen, {}, PACKET_CRC_INIT, 0};
    crypto_hash_sha512_init(&stPass.stSha);
    auto pfnChunk = [](void *pCtx, uint8_t *pucBuf, size_t ulLen) {
        PASS_S &st = *static_cast<PASS_S *>(pCtx);
        uint64_t ullEnd = st.ullPos + ulLen;
        if (ullEnd > PACKET_CRC_START) {
            uint64_t ullFrom = std::max<uint64_t>(st.ullPos, PACKET_CRC_START) - st.ullPos;
            st.ulCrc = Crc32Calc(pucBuf + ullFrom, static_cast<uint32_t>(ulLen - ullFrom), st.ulCrc);
        }
        if (st.bHash && st.ullPos < st.ullHashEnd) {
            // The checksum text lies in the head, before the checksum's range.
            for (uint64_t i = st.ulSpanStart; i < uint64_t{st.ulSpanStart} + st.ulSpanLen; i++) {
                if (i >= st.ullPos && i < ullEnd) {
                    pucBuf[i - st.ullPos] = 0;
                }
            }
            uint64_t ullUpTo = std::min(ullEnd, st.ullHashEnd);
            crypto_hash_sha512_update(&st.stSha, pucBuf, ullUpTo - st.ullPos);
        }
        st.ullPos = ullEnd;
    };
    if (ReadPacketChunks(lFd, 0, pfnChunk, &stPass) != 0) {
        return -1;
    }
    crypto_hash_sha512_state &stSha = stPass.stSha;
    if (bHash) {
        if (stPass.ullPos < ullHashEnd) {
            return -1;  // cut while being read
        }
        uint8_t aucSpan[8];
        StoreLe32(aucSpan, ulSpanStart);
        StoreLe32(aucSpan + 4, ulSpanLen);
        crypto_hash_sha512_update(&stSha, reinterpret_cast<const uint8_t *>(&stBlock) + SIG_LEN, BLOCK_SIGNED_PART);
        crypto_hash_sha512_update(&stSha, aucSpan, sizeof(aucSpan));
        crypto_hash_sha512_final(&stSha, pucDigest);
    }
    *pulCrc = stPass.ulCrc;
    return 0;
}

}  // namespace

bool ParseSigBlock(const uint8_t *pucBytes, size_t ulLen, uint64_t ullFileSize, SIG_BLOCK_S *pstBlock)
{
    if (ulLen != SIG_BLOCK_LEN || ullFileSize < PACKET_TABLE_OFFSET + SIG_BLOCK_LEN) {
        return false;
    }
    memcpy(pstBlock, pucBytes, SIG_BLOCK_LEN);
    return memcmp(pstBlock->acMagic, SIG_MAGIC, sizeof(SIG_MAGIC)) == 0 &&
           pstBlock->ucVersion == SIG_FORMAT_VERSION && pstBlock->ucAlgorithm == SIG_ALG_ED25519_SHA512 &&
           pstBlock->usBlockLen == SIG_BLOCK_LEN && pstBlock->ulReserved == 0 &&
           pstBlock->ullCovered == ullFileSize - SIG_BLOCK_LEN;
}

void HeadCrcSpan(const char *pszHead, uint32_t *pulStart, uint32_t *pulLen)
{
    *pulStart = 0;
    *pulLen = 0;
    size_t ulLen = strnlen(pszHead, PACKET_HEAD_LEN);
    size_t ulStart = 0;
    for (unsigned ulField = 0; ulField < HEAD_FIELD_CRC; ulField++) {
        const void *pSep = memchr(pszHead + ulStart, HEAD_SEPARATOR, ulLen - ulStart);
        if (pSep == nullptr) {
            return;
        }
        ulStart = static_cast<size_t>(static_cast<const char *>(pSep) - pszHead) + 1;
    }
    size_t ulEnd = ulStart;
    while (ulEnd < ulLen && pszHead[ulEnd] != HEAD_SEPARATOR) {
        ulEnd++;
    }
    *pulStart = static_cast<uint32_t>(ulStart);
    *pulLen = static_cast<uint32_t>(ulEnd - ulStart);
}

int CountPacketPass(int lFd, PACKET_PASS_S *pstPass)
{
    memset(pstPass, 0, sizeof(*pstPass));
    struct stat st;
    if (fstat(lFd, &st) != 0 || !Initialised()) {
        return -1;
    }
    uint8_t aucTail[SIG_BLOCK_LEN];
    uint64_t ullSize = static_cast<uint64_t>(st.st_size);
    pstPass->bSigned = ullSize >= SIG_BLOCK_LEN &&
                       pread(lFd, aucTail, SIG_BLOCK_LEN, static_cast<off_t>(ullSize - SIG_BLOCK_LEN)) ==
                           static_cast<ssize_t>(SIG_BLOCK_LEN) &&
                       ParseSigBlock(aucTail, SIG_BLOCK_LEN, ullSize, &pstPass->stBlock);
    return RunPass(lFd, pstPass->bSigned, pstPass->stBlock.ullCovered, pstPass->stBlock, &pstPass->ulCrc,
                   pstPass->aucDigest);
}

void SigKeyId(const uint8_t *pucPublic, uint8_t *pucKeyId)
{
    uint8_t aucHash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(aucHash, pucPublic, SIG_PUBLIC_KEY_LEN);
    memcpy(pucKeyId, aucHash, SIG_KEY_ID_LEN);
}

std::string SigKeyIdText(const uint8_t *pucKeyId)
{
    char szHex[SIG_KEY_ID_LEN * 2 + 1];
    sodium_bin2hex(szHex, sizeof(szHex), pucKeyId, SIG_KEY_ID_LEN);
    return szHex;
}

int ParsePublicKeyPem(const std::string &strPem, uint8_t *pucPublic)
{
    std::vector<uint8_t> vecDer;
    if (!Initialised() || PemBody(strPem, "PUBLIC KEY", &vecDer) != 0) {
        return -1;
    }
    return RawKeyAfter(vecDer, PUBLIC_DER_PREFIX, sizeof(PUBLIC_DER_PREFIX), pucPublic);
}

int ParsePrivateKeyPem(const std::string &strPem, uint8_t *pucSeed)
{
    std::vector<uint8_t> vecDer;
    if (!Initialised() || PemBody(strPem, "PRIVATE KEY", &vecDer) != 0) {
        return -1;
    }
    int lRet = RawKeyAfter(vecDer, PRIVATE_DER_PREFIX, sizeof(PRIVATE_DER_PREFIX), pucSeed);
    sodium_memzero(vecDer.data(), vecDer.size());
    return lRet;
}

int ReadKeyFile(const char *pszPath, std::string *pstrText)
{
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.Get() < 0) {
        return -1;
    }
    char acBuf[KEY_FILE_MAX];
    ssize_t lRead = pread(fd.Get(), acBuf, sizeof(acBuf), 0);
    if (lRead < 0 || static_cast<size_t>(lRead) == sizeof(acBuf)) {
        return -1;
    }
    pstrText->assign(acBuf, static_cast<size_t>(lRead));
    sodium_memzero(acBuf, sizeof(acBuf));
    return 0;
}

int LoadTrustedKeys(const char *pszDir, std::vector<TRUSTED_KEY_S> *pvecKeys)
{
    pvecKeys->clear();
    std::unique_ptr<DIR, int (*)(DIR *)> pDir(opendir(pszDir), closedir);
    if (pDir == nullptr) {
        return errno == ENOENT ? 0 : -1;
    }
    std::vector<std::string> vecNames;
    while (const dirent *pstEnt = readdir(pDir.get())) {
        std::string strName = pstEnt->d_name;
        if (strName.size() > 4 && strName.compare(strName.size() - 4, 4, ".pem") == 0) {
            vecNames.push_back(strName);
        }
    }
    std::sort(vecNames.begin(), vecNames.end());
    for (const std::string &strName : vecNames) {
        std::string strPath = std::string(pszDir) + "/" + strName;
        std::string strPem;
        TRUSTED_KEY_S stKey{};
        if (ReadKeyFile(strPath.c_str(), &strPem) != 0 || ParsePublicKeyPem(strPem, stKey.aucPublic) != 0) {
            UPDATE_LOG_PRINT("update: trusted key %s is unreadable\n", strPath.c_str());
            return -1;
        }
        SigKeyId(stKey.aucPublic, stKey.aucKeyId);
        pvecKeys->push_back(stKey);
    }
    return static_cast<int>(pvecKeys->size());
}

SIG_RESULT_E CheckPassSignature(const PACKET_PASS_S &stPass, const std::vector<TRUSTED_KEY_S> &vecKeys,
                                const TRUSTED_KEY_S **ppstKey)
{
    *ppstKey = nullptr;
    if (!stPass.bSigned) {
        return SIG_UNSIGNED;
    }
    for (const TRUSTED_KEY_S &stKey : vecKeys) {
        if (memcmp(stKey.aucKeyId, stPass.stBlock.aucKeyId, SIG_KEY_ID_LEN) != 0) {
            continue;
        }
        *ppstKey = &stKey;
        return crypto_sign_ed25519_verify_detached(stPass.stBlock.aucSignature, stPass.aucDigest, SIG_DIGEST_LEN,
                                                   stKey.aucPublic) == 0
                   ? SIG_OK
                   : SIG_MISMATCH;
    }
    return SIG_UNKNOWN_KEY;
}

int SignPacketBlock(int lFd, const uint8_t *pucSeed, SIG_BLOCK_S *pstBlock)
{
    uint8_t aucPublic[crypto_sign_ed25519_PUBLICKEYBYTES];
    uint8_t aucSecret[crypto_sign_ed25519_SECRETKEYBYTES];
    if (!Initialised() || crypto_sign_ed25519_seed_keypair(aucPublic, aucSecret, pucSeed) != 0) {
        return -1;
    }
    // The key id is signed: it goes into the block before the digest.
    SigKeyId(aucPublic, pstBlock->aucKeyId);
    uint8_t aucDigest[SIG_DIGEST_LEN];
    uint32_t ulCrc = 0;
    int lRet = RunPass(lFd, true, pstBlock->ullCovered, *pstBlock, &ulCrc, aucDigest) == 0 &&
                       crypto_sign_ed25519_detached(pstBlock->aucSignature, nullptr, aucDigest, SIG_DIGEST_LEN,
                                                    aucSecret) == 0
                   ? 0
                   : -1;
    sodium_memzero(aucSecret, sizeof(aucSecret));
    return lRet;
}

const char *SigResultText(SIG_RESULT_E eResult)
{
    switch (eResult) {
    case SIG_OK:
        return "signature ok";
    case SIG_UNSIGNED:
        return "package is not signed";
    case SIG_UNKNOWN_KEY:
        return "signed with unknown key ID";
    case SIG_MISMATCH:
        return "signature does not match";
    default:
        return "package unreadable";
    }
}
