// Package signatures: an Ed25519 signature over a SHA-512 digest of the
// package, kept in a block at the very end of the file.
//
// Placement: the last SIG_BLOCK_LEN bytes of the file. Images are found by
// table position and their records' offsets, so bytes after the last image
// are read by nothing but the checksum pass: an updater that does not know
// signatures installs a signed package exactly like an unsigned one, on every
// layout (the 16-record tables leave no room before byte 4096, and a block
// at the end needs no table position and moves no image).
//
// Covered bytes, in this order, hashed with SHA-512:
//   1. bytes 0 .. L-1 of the file, L being the block's offset (the file's
//      length minus SIG_BLOCK_LEN), with the characters of head field 3
//      (the checksum text) read as zero bytes: the checksum covers the block
//      and is written after signing;
//   2. the block's bytes after the signature (key id, covered length,
//      version, algorithm, block length, reserved, magic);
//   3. the start and the length of head field 3, 32-bit little-endian each.
// The block records L, and the block must end the file: appended or cut
// bytes fail. The signature is Ed25519 (RFC 8032, pure) over the 64-byte
// digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t SIG_BLOCK_LEN = 96;
constexpr size_t SIG_LEN = 64;
constexpr size_t SIG_KEY_ID_LEN = 8;
constexpr size_t SIG_PUBLIC_KEY_LEN = 32;
constexpr size_t SIG_SEED_LEN = 32;
constexpr size_t SIG_DIGEST_LEN = 64;
constexpr uint8_t SIG_FORMAT_VERSION = 1;
constexpr uint8_t SIG_ALG_ED25519_SHA512 = 1;
constexpr char SIG_MAGIC[8] = {'\x7f', 'U', 'P', 'D', 'S', 'I', 'G', '\n'};

// The block as stored (little-endian numbers).
struct SIG_BLOCK_S {
    uint8_t aucSignature[SIG_LEN];
    uint8_t aucKeyId[SIG_KEY_ID_LEN];
    uint64_t ullCovered;  // offset of the block: file bytes before it
    uint8_t ucVersion;
    uint8_t ucAlgorithm;
    uint16_t usBlockLen;
    uint32_t ulReserved;
    char acMagic[sizeof(SIG_MAGIC)];
};
static_assert(sizeof(SIG_BLOCK_S) == SIG_BLOCK_LEN);

enum SIG_RESULT_E {
    SIG_OK = 0,
    SIG_UNSIGNED,     // no block, or one this updater cannot read
    SIG_UNKNOWN_KEY,  // well-formed block, key id not trusted
    SIG_MISMATCH,     // trusted key, signature does not verify
    SIG_READ_ERROR,
};

struct TRUSTED_KEY_S {
    uint8_t aucPublic[SIG_PUBLIC_KEY_LEN];
    uint8_t aucKeyId[SIG_KEY_ID_LEN];
};

// Result of the one pass over a package: its checksum and, when the file
// ends in a readable block, the block and the digest of the covered bytes.
struct PACKET_PASS_S {
    uint32_t ulCrc;
    bool bSigned;
    SIG_BLOCK_S stBlock;
    uint8_t aucDigest[SIG_DIGEST_LEN];
};

// Reads a block from the last SIG_BLOCK_LEN bytes of a file of ullFileSize
// bytes: true when magic, version, algorithm, length and the covered length
// all fit.
bool ParseSigBlock(const uint8_t *pucBytes, size_t ulLen, uint64_t ullFileSize, SIG_BLOCK_S *pstBlock);

// Where head field 3 lies in the 256-byte head (start 0 and length 0 when the
// head has fewer than four fields).
void HeadCrcSpan(const char *pszHead, uint32_t *pulStart, uint32_t *pulLen);

// One read of the open package from its first byte: the checksum from byte
// 4096 and the digest, in the 256 KiB chunks of the checksum pass. 0 or -1.
int CountPacketPass(int lFd, PACKET_PASS_S *pstPass);

// Key id: the first eight bytes of SHA-256 of the raw public key.
void SigKeyId(const uint8_t *pucPublic, uint8_t *pucKeyId);
std::string SigKeyIdText(const uint8_t *pucKeyId);

// PEM as openssl writes Ed25519 keys: "PUBLIC KEY" (SubjectPublicKeyInfo) and
// "PRIVATE KEY" (PKCS#8 holding the 32-byte seed). 0 or -1.
int ParsePublicKeyPem(const std::string &strPem, uint8_t *pucPublic);
int ParsePrivateKeyPem(const std::string &strPem, uint8_t *pucSeed);
int ReadKeyFile(const char *pszPath, std::string *pstrText);

// Every "*.pem" public key in the folder, in name order. A missing folder
// holds no key. The count, or -1 when the folder or a key in it is unreadable.
int LoadTrustedKeys(const char *pszDir, std::vector<TRUSTED_KEY_S> *pvecKeys);

// Checks a finished pass against the trusted keys; *ppstKey names the key
// that verified.
SIG_RESULT_E CheckPassSignature(const PACKET_PASS_S &stPass, const std::vector<TRUSTED_KEY_S> &vecKeys,
                                const TRUSTED_KEY_S **ppstKey);

// The log line of a result: "package is not signed", "signed with unknown
// key ID", "signature does not match".
const char *SigResultText(SIG_RESULT_E eResult);

// Signs the open package, which holds everything but the block: fills the
// block's key id (from the seed's public key) and then its signature. 0 or -1.
int SignPacketBlock(int lFd, const uint8_t *pucSeed, SIG_BLOCK_S *pstBlock);
