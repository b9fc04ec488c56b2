// Fuzz target for the command line and the words of a relaunch. The first two
// bytes are the board's mask of supported components; the rest, split at NUL
// bytes, are the words after the program name. Whatever the parser takes,
// the relaunched updater must read back the type, force, reboot and check choice
// and every word handed on, and the shell must see no unquoted metacharacter.
#include <utility>

#include "fuzz/fuzz_util.h"
#include "include/flash_layout.h"
#include "update/update_args.h"

namespace {

FLASH_LAYOUT_S s_stLayout {};
char s_szName[] = "update";

// Cuts the text in place into the words sh makes of it: outside quotes only
// plain characters, blanks and the escaped quote of the quoting may appear.
std::vector<char *> ShellWords(char *pszIn)
{
    std::vector<char *> vWords;
    char *pszOut = pszIn;
    bool bWord = false, bQuoted = false;
    for (; *pszIn != '\0'; ++pszIn) {
        if (!bQuoted && *pszIn == ' ') {
            *pszOut = '\0';
            pszOut += std::exchange(bWord, false);
            continue;
        }
        if (!std::exchange(bWord, true)) {
            vWords.push_back(pszOut);
        }
        if (*pszIn == '\'') {
            bQuoted = !bQuoted;
        } else if (bQuoted) {
            *pszOut++ = *pszIn;
        } else {
            Check(isalnum(static_cast<unsigned char>(*pszIn)) || strchr("/._-:@%+,=\\", *pszIn) != nullptr);
            Check(*pszIn != '\\' || pszIn[1] == '\'');
            *pszOut++ = *(pszIn += *pszIn == '\\');
        }
    }
    Check(!bQuoted);
    *pszOut = '\0';
    return vWords;
}

int Parse(std::vector<char *> vArgv, UPDATE_REQ_S *pstReq, char *pszExtra)
{
    vArgv.push_back(nullptr);
    return ParseUpdateArgs(static_cast<int>(vArgv.size()) - 1, vArgv.data(), pstReq, pszExtra);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize < 2) {
        return 0;
    }
    g_pstFlashLayout = &s_stLayout;
    s_stLayout.ulImageMask = pData[0] | pData[1] << 8;
    // An empty word is lost in the shell, as it always was: the words here are never empty.
    auto vPieces = Split(pData + 2, ulSize - 2, '\0', 63);
    std::vector<char *> vArgv {s_szName};
    for (auto &pszWord : vPieces) {
        if (pszWord[0] != '\0') {
            vArgv.push_back(pszWord.get());
        }
    }
    UPDATE_REQ_S stReq {};
    char szExtra[EXTRA_ARGS_LEN] = {};
    int lRet = Parse(vArgv, &stReq, szExtra);
    for (const char *psz : {stReq.szRemote, stReq.szUser, stReq.szPassword}) {
        Check(strnlen(psz, sizeof(stReq.szRemote)) < sizeof(stReq.szRemote));
    }
    char szArgs[CMD_BUF_LEN] = {};
    // The launch line adds about 60 characters: a longer text is refused before it runs.
    if (lRet == ARGS_REFUSED || EncodeRelaunchArgs(&stReq, szExtra, szArgs) != 0 || strlen(szArgs) > CMD_BUF_LEN - 64) {
        return 0;
    }
    std::string sLine = "update -local /tmp/ " + std::string(szArgs) + " -loop";
    UPDATE_REQ_S stAgain {};
    char szAgain[EXTRA_ARGS_LEN] = {};
    int lAgain = Parse(ShellWords(sLine.data()), &stAgain, szAgain);
    Check(lAgain == (szExtra[0] != '\0' ? -1 : 0) && strcmp(szAgain, szExtra) == 0 &&
          stAgain.usUpdateType == (stReq.usUpdateType & ~static_cast<unsigned>(UPDATE_TYPE_UPDATE)) &&
          stAgain.usForceFlag == stReq.usForceFlag && stAgain.usRebootFlag == stReq.usRebootFlag &&
          stAgain.usCheckFlag == stReq.usCheckFlag);
    return 0;
}
