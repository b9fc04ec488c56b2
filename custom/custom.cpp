#include "custom/custom.h"
#include "applets/xio.h"
#include "include/owners.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "include/text_util.h"
#include "include/update_types.h"
#include "update/update_exec.h"
#include "update/update_device.h"
#include "update/update_log.h"

namespace {

// The device's identity keys, in the order they are tried. Only the name's
// own length is compared, so MAC_ADDRESS2 counts as MAC_ADDRESS.
constexpr const char *IDENTITY_KEYS[] = {
    "DEVICE_SERIAL_NUMBER",
    "MAC_ADDRESS",
    "BOARD_SERIAL_NUMBER",
};

// Formats a command line into the fixed buffer; false when it would be cut,
// since a cut command line could run something else than intended.
bool FormatCmd(char (&szCmd)[CMD_BUF_LEN], const char *pszFmt, ...) __attribute__((format(printf, 2, 3)));
bool FormatCmd(char (&szCmd)[CMD_BUF_LEN], const char *pszFmt, ...)
{
    va_list args;
    va_start(args, pszFmt);
    int lLen = vsnprintf(szCmd, sizeof(szCmd), pszFmt, args);
    va_end(args);
    if (lLen < 0 || static_cast<size_t>(lLen) >= sizeof(szCmd)) {
        szCmd[0] = '\0';
        UPDATE_LOG("command line too long\n");
        return false;
    }
    return true;
}

// A quoted value sized for one command line.
struct QUOTED_S {
    char sz[CMD_BUF_LEN];
};

bool Quote(const char *pszValue, QUOTED_S &stOut)
{
    if (ShellQuote(pszValue, stOut.sz) != 0) {
        UPDATE_LOG("value too long for a command line: %.64s\n", pszValue);
        return false;
    }
    return true;
}

// 0 when the part is missing, 1 for a regular file, -1 for anything else:
// the archive may carry symbolic links, and following one would hand some
// other file of the device to its storage tool.
int CheckPart(const char *pszPath)
{
    struct stat stInfo {};
    if (lstat(pszPath, &stInfo) != 0) {
        return 0;
    }
    if (!S_ISREG(stInfo.st_mode)) {
        UPDATE_LOG("%s is not a regular file.\n", pszPath);
        return -1;
    }
    return 1;
}

// Reads one line, or the first ulSize - 1 bytes of a longer one, keeping any
// NUL bytes it holds. Returns the byte count (0 at the end of the stream).
size_t ReadLinePiece(FILE *pSrc, char *pBuf, size_t ulSize)
{
    size_t ulLen = 0;
    while (ulLen + 1 < ulSize) {
        int c = getc(pSrc);
        if (c == EOF) {
            break;
        }
        pBuf[ulLen++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    pBuf[ulLen] = '\0';
    return ulLen;
}

bool WriteAll(int lFd, const char *pBuf, size_t ulLen)
{
    return FullWrite(lFd, pBuf, ulLen) == static_cast<ssize_t>(ulLen);
}

const char *MatchIdentityKey(std::string_view svLine)
{
    for (const char *pszKey : IDENTITY_KEYS) {
        if (svLine.starts_with(pszKey)) {
            return pszKey;
        }
    }
    return nullptr;
}

} // namespace

int ReadProcEnvLine(const char *pszKey, char *pszLine, size_t ulSize, void * /*pCtx*/)
{
    if (pszKey == nullptr || pszLine == nullptr || ulSize == 0) {
        return -1;
    }
    pszLine[0] = '\0';
    QUOTED_S stKey;
    char szCmd[CMD_BUF_LEN];
    if (!Quote(pszKey, stKey) || !FormatCmd(szCmd, "cat /proc/env | grep %s", stKey.sz)) {
        return -1;
    }
    fflush(stdout);
    PipeOwner pPipe(popen(szCmd, "r"));
    if (!pPipe) {
        UPDATE_LOG("popen %s failed: %s\n", szCmd, strerror(errno));
        return -1;
    }
    if (fgets(pszLine, static_cast<int>(ulSize), pPipe.get()) == nullptr) {
        pszLine[0] = '\0';
        return -1;
    }
    return 0;
}

int AdaptManuInfoStream(FILE *pSrc, int lDstFd, MANU_LOOKUP_PF pfLookup, void *pCtx)
{
    char szLine[MANU_LINE_LEN];
    char szDevice[MANU_LINE_LEN];
    bool bLineStart = true;
    bool bDropRest = false;
    for (;;) {
        size_t ulLen = ReadLinePiece(pSrc, szLine, sizeof(szLine));
        if (ulLen == 0) {
            break;
        }
        bool bLineEnds = szLine[ulLen - 1] == '\n';
        bool bPieceStartsLine = bLineStart;
        bLineStart = bLineEnds;

        if (!bPieceStartsLine) {
            // The rest of a line longer than the buffer: never taken for a
            // key of its own; dropped when its start was replaced.
            if (bDropRest) {
                bDropRest = !bLineEnds;
                continue;
            }
            if (!WriteAll(lDstFd, szLine, ulLen)) {
                return -1;
            }
            continue;
        }

        const char *pWrite = szLine;
        size_t ulWrite = ulLen;
        if (!bLineEnds && ulLen + 1 == sizeof(szLine)) {
            UPDATE_LOG("MaunInfoFile line longer than %u characters\n", static_cast<unsigned>(sizeof(szLine) - 1));
        }
        const char *pszKey = MatchIdentityKey(std::string_view(szLine, ulLen));
        if (pszKey != nullptr && pfLookup != nullptr) {
            if (pfLookup(pszKey, szDevice, sizeof(szDevice), pCtx) == 0) {
                size_t ulDevLen = strnlen(szDevice, sizeof(szDevice) - 1);
                if (ulDevLen > 0) {
                    // Keep the following line a line of its own even when the
                    // device's entry came without a line end or was cut.
                    if (szDevice[ulDevLen - 1] != '\n') {
                        if (ulDevLen + 1 >= sizeof(szDevice)) {
                            --ulDevLen;
                        }
                        szDevice[ulDevLen++] = '\n';
                        szDevice[ulDevLen] = '\0';
                    }
                    pWrite = szDevice;
                    ulWrite = ulDevLen;
                    bDropRest = !bLineEnds;
                }
            }
        }
        if (!WriteAll(lDstFd, pWrite, ulWrite)) {
            return -1;
        }
    }
    return ferror(pSrc) ? -2 : 0;
}

int UPDATE_AdaptManuInfo(const char *pszSrc, const char *pszDst)
{
    if (pszSrc == nullptr || pszDst == nullptr) {
        return -1;
    }
    FileOwner pSrc(fopen(pszSrc, "r+"));
    if (!pSrc) {
        UPDATE_LOG_PRINT("Read MaunInfoFile: %s failed\n", pszSrc);
        return -1;
    }
    QUOTED_S stDst;
    char szCmd[CMD_BUF_LEN];
    if (Quote(pszDst, stDst) && FormatCmd(szCmd, "rm -rf %s", stDst.sz)) {
        UpdateSystem(szCmd);
    }
    // O_NOFOLLOW: whatever the archive left at this name is never written through.
    FdOwner dstFd(open(pszDst, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0777));
    if (dstFd.Get() < 0) {
        UPDATE_LOG_PRINT("Write MaunInfoFile: %s failed\n", pszDst);
        return -1;
    }
    int lRet = AdaptManuInfoStream(pSrc.get(), dstFd.Get(), ReadProcEnvLine, nullptr);
    if (lRet == -2) {
        UPDATE_LOG_PRINT("Read MaunInfoFile: %s failed\n", pszSrc);
        return -1;
    }
    if (lRet != 0 || close(dstFd.Release()) != 0) {
        UPDATE_LOG_PRINT("Write MaunInfoFile: %s failed\n", pszDst);
        return -1;
    }
    return 0;
}

int UPDATE_LoadManuInfo(const char *pszFile)
{
    if (pszFile == nullptr) {
        return -1;
    }
    UPDATE_LOG("UPDATE_LoadManuInfo file : %s.\n", pszFile);
    int lPart = CheckPart(pszFile);
    if (lPart <= 0) {
        return lPart;
    }
    int lRet = UPDATE_AdaptManuInfo(pszFile, CUSTOM_MANU_TMP_FILE);
    if (lRet != 0) {
        UPDATE_LOG("UPDATE_AdaptManuInfo file failed: %s.\n", pszFile);
        return lRet;
    }
    QUOTED_S stTmp;
    char szCmd[CMD_BUF_LEN];
    if (!Quote(CUSTOM_MANU_TMP_FILE, stTmp) || !FormatCmd(szCmd, "loadtools %s ManuInfo", stTmp.sz)) {
        return -1;
    }
    UPDATE_LOG("%s\n", szCmd);
    return UpdateSystem(szCmd);
}

int UPDATE_LoadCfgInfo(const char *pszFile)
{
    if (pszFile == nullptr) {
        return -1;
    }
    QUOTED_S stFile;
    char szCmd[CMD_BUF_LEN];
    if (!Quote(pszFile, stFile) || !FormatCmd(szCmd, "loadtools %s CfgInfo", stFile.sz)) {
        return -1;
    }
    int lPart = CheckPart(pszFile);
    if (lPart <= 0) {
        return lPart;
    }
    UPDATE_LOG("%s\n", szCmd);
    return UpdateSystem(szCmd);
}

namespace {

// Stages a part of /tmp/oem in /tmp, moved as it is or packed into pszPack,
// and writes it with flash_tool.
int FlashOemPart(const char *pszName, const char *pszPack)
{
    if (pszName == nullptr) {
        return -1;
    }
    char szPath[CMD_BUF_LEN];
    snprintf(szPath, sizeof(szPath), "%s/%s", CUSTOM_OEM_DIR, pszName);
    int lPart = CheckPart(szPath);
    if (lPart <= 0) {
        return lPart;
    }
    QUOTED_S stDir;
    QUOTED_S stName;
    QUOTED_S stPack;
    char szCmd[CMD_BUF_LEN];
    if (!Quote(CUSTOM_OEM_DIR, stDir) || !Quote(pszName, stName) ||
        (pszPack != nullptr && !Quote(pszPack, stPack))) {
        return -1;
    }
    bool bStaged = pszPack == nullptr
                       ? FormatCmd(szCmd, "mv %s/%s /tmp/", stDir.sz, stName.sz)
                       : FormatCmd(szCmd, "cd %s;tar zcvf /tmp/%s %s;cd -", stDir.sz, stPack.sz, stName.sz);
    if (bStaged) {
        // tar would write through a link the archive planted at its output.
        if (pszPack != nullptr) {
            char szOut[CMD_BUF_LEN];
            snprintf(szOut, sizeof(szOut), "/tmp/%s", pszPack);
            RemoveTmpTarget(szOut);
        }
        UpdateSystem(szCmd);
    }
    if (!FormatCmd(szCmd, "flash_tool w /tmp/%s", pszPack == nullptr ? stName.sz : stPack.sz)) {
        return -1;
    }
    UPDATE_LOG("%s\n", szCmd);
    return UpdateSystem(szCmd);
}

} // namespace

int UPDATE_LoadLogoFile(const char *pszName)
{
    return FlashOemPart(pszName, nullptr);
}

int UPDATE_LoadResFile(const char *pszName)
{
    return FlashOemPart(pszName, CUSTOM_RES_PACK_NAME);
}

int UPDATE_LoadCustom(const char *pszZipFile)
{
    if (pszZipFile == nullptr) {
        return -1;
    }
    QUOTED_S stOem;
    QUOTED_S stZip;
    QUOTED_S stDir;
    char szCmd[CMD_BUF_LEN];
    int lRet = -1;
    // Info-ZIP unzip strips "../" and leading "/" from entry names and then
    // reports a warning status, so a hostile archive is refused as a whole.
    if (Quote(CUSTOM_OEM_DIR, stOem) && Quote(pszZipFile, stZip) && Quote(CUSTOM_UNZIP_DIR, stDir) &&
        FormatCmd(szCmd, "mkdir -p %s;unzip %s -d %s", stOem.sz, stZip.sz, stDir.sz)) {
        lRet = UpdateSystem(szCmd);
    }
    if (lRet != 0) {
        UPDATE_LOG("tar file %s failed.\n", pszZipFile);
        return lRet;
    }
    if (UPDATE_LoadManuInfo(CUSTOM_MANU_FILE) != 0) {
        UPDATE_LOG("UPDATE_LoadManuInfo failed.\n");
    }
    if (UPDATE_LoadCfgInfo(CUSTOM_CFG_FILE) != 0) {
        UPDATE_LOG("UPDATE_LoadCfgInfo failed.\n");
    }
    if (UPDATE_LoadLogoFile(CUSTOM_LOGO_NAME) != 0) {
        UPDATE_LOG("UPDATE_LoadLogoFile %s failed.\n", CUSTOM_LOGO_NAME);
    }
    if (UPDATE_LoadResFile(CUSTOM_RES_NAME) != 0) {
        UPDATE_LOG("UPDATE_LoadLogoFile %s failed.\n", CUSTOM_RES_NAME);
    }
    return 0;
}
