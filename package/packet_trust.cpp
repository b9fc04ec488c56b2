#include "package/packet_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "include/owners.h"
#include "include/update_types.h"
#include "package/signature.h"
#include "update/update_log.h"

namespace {

const char *g_pszKeyDir = nullptr;

// What the verifying pass read: the file is known by its identity, never by
// its path alone.
struct VERIFIED_S {
    bool bValid;
    dev_t ulDev;
    ino_t ulIno;
    off_t llSize;
    timespec stMtime;
    timespec stCtime;
    uint32_t ulCrc;
};
VERIFIED_S g_stVerified{};

bool SameFile(const struct stat &st)
{
    return g_stVerified.bValid && st.st_dev == g_stVerified.ulDev && st.st_ino == g_stVerified.ulIno &&
           st.st_size == g_stVerified.llSize && st.st_mtim.tv_sec == g_stVerified.stMtime.tv_sec &&
           st.st_mtim.tv_nsec == g_stVerified.stMtime.tv_nsec && st.st_ctim.tv_sec == g_stVerified.stCtime.tv_sec &&
           st.st_ctim.tv_nsec == g_stVerified.stCtime.tv_nsec;
}

int Refuse(const char *pszWhy, const char *pszPath)
{
    UPDATE_LOG_PRINT("%s: %s\n", pszWhy, pszPath);
    return UPDATE_ERR_SIGNATURE;
}

}  // namespace

void SetTrustedKeyDir(const char *pszDir)
{
    g_pszKeyDir = pszDir;
    g_stVerified = {};
}

bool PacketsMustBeSigned()
{
    std::vector<TRUSTED_KEY_S> vecKeys;
    return g_pszKeyDir != nullptr && LoadTrustedKeys(g_pszKeyDir, &vecKeys) != 0;
}

int VerifyPacketSignature(const char *pszPath)
{
    g_stVerified = {};
    std::vector<TRUSTED_KEY_S> vecKeys;
    int lKeys = g_pszKeyDir == nullptr ? 0 : LoadTrustedKeys(g_pszKeyDir, &vecKeys);
    if (lKeys == 0) {
        return 0;
    }
    if (lKeys < 0) {
        return Refuse("trusted keys unreadable, no package is accepted", g_pszKeyDir);
    }
    FdOwner fd(open(pszPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0) {
        return Refuse(errno == ELOOP ? "package is a link, refused" : "package unreadable", pszPath);
    }
    // Anyone else who could write the file could change it after the check.
    // Owner and mode decide that, not the number of names: the hand-over
    // keeps a second name of the package while the updater it launches
    // checks the same file again.
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Refuse("package is not a file only root can write, refused", pszPath);
    }
    PACKET_PASS_S stPass;
    if (CountPacketPass(fd.Get(), &stPass) != 0) {
        return Refuse("package unreadable", pszPath);
    }
    const TRUSTED_KEY_S *pstKey = nullptr;
    SIG_RESULT_E eResult = CheckPassSignature(stPass, vecKeys, &pstKey);
    if (eResult != SIG_OK) {
        UPDATE_LOG_PRINT("%s\n", SigResultText(eResult));
        return UPDATE_ERR_SIGNATURE;
    }
    struct stat stAfter;
    if (fstat(fd.Get(), &stAfter) != 0 || stAfter.st_size != st.st_size || stAfter.st_mtim.tv_sec != st.st_mtim.tv_sec ||
        stAfter.st_mtim.tv_nsec != st.st_mtim.tv_nsec) {
        return Refuse("package changed while it was checked", pszPath);
    }
    g_stVerified = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, stPass.ulCrc};
    UPDATE_LOG_PRINT("signature ok, key ID %s\n", SigKeyIdText(pstKey->aucKeyId).c_str());
    return 0;
}

bool VerifiedPacketCrc(int lFd, uint32_t *pulCrc)
{
    struct stat st;
    if (!g_stVerified.bValid || fstat(lFd, &st) != 0 || !SameFile(st)) {
        return false;
    }
    *pulCrc = g_stVerified.ulCrc;
    return true;
}

int CheckVerifiedPacket(const char *pszPath)
{
    if (!g_stVerified.bValid) {
        return 0;
    }
    struct stat st;
    if (lstat(pszPath, &st) != 0 || !S_ISREG(st.st_mode) || !SameFile(st)) {
        UPDATE_LOG_PRINT("package %s is no longer the verified file, refused\n", pszPath);
        return -1;
    }
    return 0;
}
