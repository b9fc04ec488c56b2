// Fuzz target for the command line and the words of a relaunch. The first two
// bytes are the board's mask of supported components; the rest, split at NUL
// bytes, are the words after the program name. Whatever the parser takes,
// the relaunched updater must read back the type, force and reboot choice
// and every word handed on, and the shell must see no unquoted metacharacter.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "include/flash_layout.h"
#include "update/update_args.h"

namespace {

FLASH_LAYOUT_S s_stLayout {};
constexpr unsigned ENCODABLE_TYPES[] = {0x1, 0x2, 0x4, 0x8, 0x20, 0xA3, 0x100, 0x200, 0x400};

// The words sh makes of the text: outside quotes only plain characters,
// blanks and the escaped quote of the quoting may appear.
std::vector<std::string> ShellWords(std::string_view sv)
{
    std::vector<std::string> vWords;
    std::string sWord;
    bool bWord = false;
    bool bQuoted = false;
    for (size_t i = 0; i < sv.size(); ++i) {
        char c = sv[i];
        if (bQuoted || c == '\'') {
            bWord = true;
            bQuoted = bQuoted != (c == '\'');
            sWord += c == '\'' ? "" : std::string(1, c);
        } else if (c == ' ') {
            if (bWord) {
                vWords.push_back(sWord);
            }
            sWord.clear();
            bWord = false;
        } else {
            bWord = true;
            Check(isalnum(static_cast<unsigned char>(c)) || strchr("/._-:@%+,=\\", c) != nullptr);
            Check(c != '\\' || (i + 1 < sv.size() && sv[i + 1] == '\''));
            sWord += c == '\\' ? sv[++i] : c;
        }
    }
    Check(!bQuoted);
    if (bWord) {
        vWords.push_back(sWord);
    }
    return vWords;
}

int Parse(std::vector<std::string> &vWords, UPDATE_REQ_S *pstReq, char *pszExtra)
{
    std::vector<char *> vArgv;
    for (std::string &sWord : vWords) {
        vArgv.push_back(sWord.data());
    }
    vArgv.push_back(nullptr);
    return ParseUpdateArgs(static_cast<int>(vWords.size()), vArgv.data(), pstReq, pszExtra);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    g_pstFlashLayout = &s_stLayout;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    if (ulSize < 2) {
        return 0;
    }
    s_stLayout.ulImageMask = pData[0] | pData[1] << 8;
    // An empty word is lost in the shell, as it always was: the words here are never empty.
    std::vector<std::string> vWords {"update"};
    std::string_view svRest(reinterpret_cast<const char *>(pData + 2), ulSize - 2);
    while (!svRest.empty() && vWords.size() < 64) {
        size_t ulEnd = std::min(svRest.find('\0'), svRest.size());
        if (ulEnd > 0) {
            vWords.emplace_back(svRest.substr(0, ulEnd));
        }
        svRest.remove_prefix(std::min(ulEnd + 1, svRest.size()));
    }
    UPDATE_REQ_S stReq {};
    char szExtra[EXTRA_ARGS_LEN] = {};
    int lRet = Parse(vWords, &stReq, szExtra);
    Check(lRet == 0 || lRet == -1 || lRet == ARGS_REFUSED);
    for (const char *psz : {stReq.szRemote, stReq.szUser, stReq.szPassword}) {
        Check(strnlen(psz, sizeof(stReq.szRemote)) < sizeof(stReq.szRemote));
    }
    char szArgs[CMD_BUF_LEN] = {};
    EncodeRelaunchArgs(&stReq, szExtra, szArgs);
    // The launch line adds about 60 characters: a longer (or cut) text is refused before it runs.
    if (lRet == ARGS_REFUSED || strlen(szArgs) > CMD_BUF_LEN - 64) {
        return 0;
    }
    std::vector<std::string> vAgain {"update", "-local", "/tmp/"};
    for (std::string &sWord : ShellWords(szArgs)) {
        vAgain.push_back(sWord);
    }
    vAgain.push_back("-loop");
    UPDATE_REQ_S stAgain {};
    char szAgain[EXTRA_ARGS_LEN] = {};
    int lAgain = Parse(vAgain, &stAgain, szAgain);
    unsigned ulType = stReq.usUpdateType & ~static_cast<unsigned>(UPDATE_TYPE_UPDATE);
    bool bEncodable = std::ranges::find(ENCODABLE_TYPES, ulType) != std::end(ENCODABLE_TYPES);
    Check(lAgain == (szExtra[0] != '\0' ? -1 : 0) && strcmp(szAgain, szExtra) == 0);
    Check(stAgain.usUpdateType == (bEncodable ? ulType : 0));
    Check(stAgain.usForceFlag == stReq.usForceFlag && stAgain.usRebootFlag == stReq.usRebootFlag);
    return 0;
}
