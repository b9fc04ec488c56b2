#include "update/update_args.h"
#include "update/update_exec.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "include/flash_layout.h"
#include "include/text_util.h"
#include "package/packet_trust.h"
#include "update/update_log.h"

namespace {
enum class ArgAction {
    ShowVersion,
    ShowInner,
    Debug,
    Help,
    Tftp,
    Ftp,
    Local,
    Cloud,
    Check,
    Reboot,
    Wait,
    Force,
    Path,
    Type,
    Loop,
    User,
    Password,
    Fix,
    FixZero,
    FixOne,
};

struct ARG_WORD_S {
    const char *pszWord;
    ArgAction eAction;
    uint16_t usType;  // the component bits of a type word
};

constexpr ARG_WORD_S ARG_WORDS[] = {
    {"-version", ArgAction::ShowVersion, 0},
    {"-ver", ArgAction::ShowVersion, 0},
    {"-v", ArgAction::ShowVersion, 0},
    {"-i", ArgAction::ShowInner, 0},
    {"-innerversion", ArgAction::ShowInner, 0},
    {"-d", ArgAction::Debug, 0},
    {"-debug", ArgAction::Debug, 0},
    {"-help", ArgAction::Help, 0},
    {"-h", ArgAction::Help, 0},
    {"-tftp", ArgAction::Tftp, 0},
    {"-ftp", ArgAction::Ftp, 0},
    {"-local", ArgAction::Local, 0},
    {"-mycloud", ArgAction::Cloud, 0},
    {"-check", ArgAction::Check, 0},
    {"-c", ArgAction::Check, 0},
    {"-reboot", ArgAction::Reboot, 0},
    {"-r", ArgAction::Reboot, 0},
    {"-wait", ArgAction::Wait, 0},
    {"-w", ArgAction::Wait, 0},
    {"-force", ArgAction::Force, 0},
    {"-f", ArgAction::Force, 0},
    {"-path", ArgAction::Path, 0},
    {"-P", ArgAction::Path, 0},
    {"program", ArgAction::Type, UPDATE_TYPE_PROGRAM},
    {"program.img", ArgAction::Type, UPDATE_TYPE_PROGRAM},
    {"u-boot", ArgAction::Type, UPDATE_TYPE_UBOOT},
    {"u-boot.bin", ArgAction::Type, UPDATE_TYPE_UBOOT},
    {"uboot", ArgAction::Type, UPDATE_TYPE_UBOOT},
    {"uImage", ArgAction::Type, UPDATE_TYPE_UIMAGE},
    {"config", ArgAction::Type, UPDATE_TYPE_CONFIG},
    {"config.img", ArgAction::Type, UPDATE_TYPE_CONFIG},
    {"activex", ArgAction::Type, UPDATE_TYPE_ACTIVEX},
    {"activex.img", ArgAction::Type, UPDATE_TYPE_ACTIVEX},
    {"tvconfig", ArgAction::Type, UPDATE_TYPE_TVCONFIG},
    {"tvconfig.img", ArgAction::Type, UPDATE_TYPE_TVCONFIG},
    {"slaveuboot", ArgAction::Type, UPDATE_TYPE_SLAVEUBOOT},
    {"slavekernel", ArgAction::Type, UPDATE_TYPE_SLAVEKERNEL},
    {"slaveprogram", ArgAction::Type, UPDATE_TYPE_SLAVEPROGRAM},
    {"all", ArgAction::Type, UPDATE_TYPE_ALL},
    {"-loop", ArgAction::Loop, 0},
    {"-u", ArgAction::User, 0},
    {"-username", ArgAction::User, 0},
    {"-p", ArgAction::Password, 0},
    {"-password", ArgAction::Password, 0},
    {"-fix", ArgAction::Fix, 0},
    {"0", ArgAction::FixZero, 0},
    {"1", ArgAction::FixOne, 0},
};

bool TakesValue(ArgAction eAction)
{
    switch (eAction) {
    case ArgAction::Tftp:
    case ArgAction::Ftp:
    case ArgAction::Local:
    case ArgAction::Cloud:
    case ArgAction::Path:
    case ArgAction::User:
    case ArgAction::Password:
        return true;
    default:
        return false;
    }
}

struct COUNT_RULE_S {
    const char *pszFirst;
    int lMin;
    int lMax;  // 0: no upper bound
};

constexpr COUNT_RULE_S COUNT_RULES[] = {
    {"-tftp", 4, 10}, {"-ftp", 4, 14}, {"-web", 3, 0}, {"-local", 3, 0}, {"-mycloud", 4, 10}, {"-fix", 3, 3},
};

bool CountRuleFails(int argc, char *argv[])
{
    for (const COUNT_RULE_S &stRule : COUNT_RULES) {
        if (strcmp(argv[1], stRule.pszFirst) != 0) {
            continue;
        }
        return argc < stRule.lMin || (stRule.lMax != 0 && argc > stRule.lMax);
    }
    return false;
}

const ARG_WORD_S *FindArgWord(const char *pszWord)
{
    for (const ARG_WORD_S &stWord : ARG_WORDS) {
        if (strcmp(pszWord, stWord.pszWord) == 0) {
            return &stWord;
        }
    }
    return nullptr;
}

// A word the parser does not know goes to the relaunched updater whole or not
// at all: half a word would change its meaning, and a word left out would
// change the request. False when it does not fit.
bool AppendExtraWord(char *pszExtraArgs, const char *pszWord)
{
    // The words reach the launched updater through the shell: one word each.
    char szQuoted[EXTRA_ARGS_LEN];
    if (ShellQuote(pszWord, szQuoted) != 0) {
        return false;
    }
    size_t ulUsed = strnlen(pszExtraArgs, EXTRA_ARGS_LEN - 1);
    size_t ulWord = strlen(szQuoted);
    if (ulUsed + ulWord + 1 > EXTRA_ARGS_LEN - 1) {
        return false;
    }
    memcpy(pszExtraArgs + ulUsed, szQuoted, ulWord);
    pszExtraArgs[ulUsed + ulWord] = ' ';
    pszExtraArgs[ulUsed + ulWord + 1] = '\0';
    return true;
}

uint16_t SupportedMask(void)
{
    return g_pstFlashLayout != nullptr ? static_cast<uint16_t>(g_pstFlashLayout->ulImageMask) : 0;
}
} // namespace

int ParseUpdateArgs(int argc, char *argv[], UPDATE_REQ_S *pstReq, char *pszExtraArgs)
{
    pstReq->usUpdateType = 0;
    pstReq->usShowInfo = SHOW_INFO_HELP;
    pstReq->usTransType = TRANS_TYPE_TFTP;
    pstReq->usPathFlag = 0;
    pstReq->usCheckFlag = 0;
    pstReq->usRebootFlag = 1;
    pstReq->usDebugFlag = 0;
    CopyText(pstReq->szUser, UPDATE_DEFAULT_USER);
    CopyText(pstReq->szPassword, UPDATE_DEFAULT_PASSWORD);
    pstReq->szRemote[0] = '\0';
    pstReq->szPath[0] = '\0';

    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return -1;
    }
    if (CountRuleFails(argc, argv)) {
        return -1;
    }

    int lResult = 0;
    bool bInfoMark = false;
    const uint16_t usSupported = SupportedMask();
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const ARG_WORD_S *pstWord = FindArgWord(argv[i]);
        if (pstWord == nullptr) {
            if (!AppendExtraWord(pszExtraArgs, argv[i])) {
                UPDATE_LOG_PRINT("update: the words for the package's updater do not fit, nothing is handed over\n");
                pszExtraArgs[0] = '\0';
                return ARGS_REFUSED;
            }
            lResult = -1;
            continue;
        }
        const char *pszValue = nullptr;
        if (TakesValue(pstWord->eAction)) {
            // An option standing last has no value. Handed over, the launched
            // updater would take its next word ("-loop") as the value: refuse.
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                return ARGS_REFUSED;
            }
            pszValue = argv[++i];
        }
        switch (pstWord->eAction) {
        case ArgAction::ShowVersion:
            pstReq->usUpdateType = 0;
            pstReq->usShowInfo = SHOW_INFO_FULL;
            bInfoMark = true;
            break;
        case ArgAction::ShowInner:
            pstReq->usUpdateType = 0;
            pstReq->usShowInfo = SHOW_INFO_INNER;
            bInfoMark = true;
            break;
        case ArgAction::Debug:
            pstReq->usDebugFlag = 1;
            break;
        case ArgAction::Help:
            pstReq->usUpdateType = 0;
            pstReq->usShowInfo = SHOW_INFO_HELP;
            bInfoMark = true;
            break;
        case ArgAction::Tftp:
            pstReq->usTransType = TRANS_TYPE_TFTP;
            CopyText(pstReq->szRemote, pszValue);
            break;
        case ArgAction::Ftp:
            pstReq->usTransType = TRANS_TYPE_FTP;
            CopyText(pstReq->szRemote, pszValue);
            break;
        case ArgAction::Local:
            pstReq->usTransType = TRANS_TYPE_LOCAL;
            pstReq->usRebootFlag = 1;
            pstReq->usPathFlag = 1;
            CopyText(pstReq->szPath, pszValue);
            break;
        case ArgAction::Cloud:
            pstReq->usTransType = TRANS_TYPE_CLOUD;
            CopyText(pstReq->szUrl, pszValue);
            break;
        case ArgAction::Check:
            pstReq->usCheckFlag = 1;
            break;
        case ArgAction::Reboot:
            pstReq->usRebootFlag = 1;
            break;
        case ArgAction::Wait:
            pstReq->usRebootFlag = 0;
            break;
        case ArgAction::Force:
            pstReq->usForceFlag = 1;
            break;
        case ArgAction::Path:
            pstReq->usPathFlag = 1;
            CopyText(pstReq->szPath, pszValue);
            break;
        case ArgAction::Type:
            pstReq->usUpdateType |= static_cast<uint16_t>(usSupported & pstWord->usType);
            break;
        case ArgAction::Loop:
            bInfoMark = true;
            break;
        case ArgAction::User:
            CopyText(pstReq->szUser, pszValue);
            break;
        case ArgAction::Password:
            CopyText(pstReq->szPassword, pszValue);
            break;
        case ArgAction::Fix:
            pstReq->usFixFlag = 1;
            break;
        case ArgAction::FixZero:
            pstReq->usFixValue = 0;
            break;
        case ArgAction::FixOne:
            pstReq->usFixValue = 1;
            break;
        }
    }
    if (!bInfoMark) {
        pstReq->usUpdateType |= UPDATE_TYPE_UPDATE;
    }
    return lResult;
}

void PrintUsage(void)
{
    const uint16_t usSupported = SupportedMask();
    printf("Update %s\n", UPDATE_VERSION_TEXT);
    printf("update software of device.\n\n");
    printf("Usage: update PROTOCOL [remote ip/local path] FILE [OPTION]\n\n");
    printf("Usage: update PROTOCOL [remote ip/local path/url] FILE [OPTION]\n\n");
    printf("PROTOCOL:\n");
    printf("        -tftp           load remote file with tftp protocol\n");
    printf("        -ftp            load remote file with  ftp protocol\n");
    printf("        -local          load file from local path\n");
    printf("        -mycloud        load file from cloud\n");
    printf("FILE:\n");
    printf("        all             update uImage, program and webctrl of device\n");
    printf("        uImage          update uImage  of device\n");
    printf("        program         update program of device\n");
    printf("        config          update config of device\n");
    printf("        u-boot          update u-boot  of device\n");
    printf("        activex         update activex and logo of device\n");
    if (usSupported & UPDATE_TYPE_SLAVEUBOOT) {
        printf("        slaveuboot      update slave uboot of device\n");
    }
    if (usSupported & UPDATE_TYPE_SLAVEKERNEL) {
        printf("        slavekernel     update slave kernel of device\n");
    }
    if (usSupported & UPDATE_TYPE_SLAVEPROGRAM) {
        printf("        slaveprogram    update slave program of device\n");
    }
    printf("OPTION:\n");
    printf("        -username ftp username to be used\n");
    printf("        -password ftp password to be used\n");
    printf("        -reboot   reboot  device after update\n");
    printf("        -wait     not reboot device after update\n");
    printf("        -force    force update and ignore version\n");
    printf("        -path     path of files in tftp or ftp server\n");
    printf("        -help     print help\n");
    if (PacketsMustBeSigned()) {
        // Only a device that requires signatures tells about them: the text
        // stays as it always was for every other.
        printf("        -debug    refused: this device installs signed packages only\n");
        printf("EXIT STATUS: 250 signature missing, unknown or wrong; 252 checksum, 253 board, 254 version\n");
    }
    fflush(stdout);
}

int CheckIpAddr(const char *pszAddr)
{
    if (pszAddr == nullptr) {
        return -1;
    }
    int lDigits = 0;
    int lDots = 0;
    for (const char *p = pszAddr; *p != '\0'; ++p) {
        if (*p == '.') {
            if (lDigits == 0 || lDigits > 3) {
                UPDATE_LOG_PRINT("ip address  error(j)\n");
                return -1;
            }
            lDigits = 0;
            ++lDots;
        } else if (*p >= '0' && *p <= '9') {
            ++lDigits;
        } else {
            return -1;
        }
    }
    if (lDots != 3 || lDigits < 1 || lDigits > 3) {
        UPDATE_LOG_PRINT("ip address  error(i)\n");
        return -1;
    }
    return 0;
}

int CheckRemoteAddr(const UPDATE_REQ_S *pstReq)
{
    if (pstReq->usTransType == TRANS_TYPE_WEB || pstReq->usTransType == TRANS_TYPE_LOCAL ||
        pstReq->usTransType == TRANS_TYPE_CLOUD) {
        return 0;
    }
    if (pstReq->szRemote[0] == '\0') {
        PrintUsage();
        return -1;
    }
    if (CheckIpAddr(pstReq->szRemote) != 0) {
        UPDATE_LOG_PRINT("invalid remote address: %s\n", pstReq->szRemote);
        return -1;
    }
    return 0;
}

void GetPacketFileName(const UPDATE_REQ_S *pstReq, char *pszRemoteFile, char *pszLocalFile)
{
    const bool bLocalName = pstReq->usTransType == TRANS_TYPE_WEB || pstReq->usTransType == TRANS_TYPE_LOCAL ||
                            pstReq->usTransType == TRANS_TYPE_CLOUD;
    if (pstReq->usPathFlag == 1) {
        pszRemoteFile[0] = '\0';
        AppendText(pszRemoteFile, CMD_BUF_LEN, pstReq->szPath);
        AppendText(pszRemoteFile, CMD_BUF_LEN, "/");
        AppendText(pszRemoteFile, CMD_BUF_LEN, PACKET_FILE_NAME);
        CopyText(pszLocalFile, CMD_BUF_LEN, bLocalName ? pszRemoteFile : LOCAL_PACKET_FILE);
    } else if (pstReq->usTransType == TRANS_TYPE_CLOUD) {
        CopyText(pszRemoteFile, CMD_BUF_LEN, LOCAL_PACKET_FILE);
        CopyText(pszLocalFile, CMD_BUF_LEN, LOCAL_PACKET_FILE);
    } else {
        CopyText(pszRemoteFile, CMD_BUF_LEN, PACKET_FILE_NAME);
        CopyText(pszLocalFile, CMD_BUF_LEN, LOCAL_PACKET_FILE);
    }
}

void AppendTypeWord(unsigned ulType, int lNoDefault, char *pszBuf)
{
    const char *pszWord = nullptr;
    switch (ulType) {
    case UPDATE_TYPE_UIMAGE: pszWord = "uImage "; break;
    case UPDATE_TYPE_PROGRAM: pszWord = "program "; break;
    case UPDATE_TYPE_UBOOT: pszWord = "uboot "; break;
    case UPDATE_TYPE_CONFIG: pszWord = "config "; break;
    case UPDATE_TYPE_ACTIVEX: pszWord = "activex "; break;
    case UPDATE_TYPE_ALL: pszWord = "all "; break;
    case UPDATE_TYPE_SLAVEUBOOT: pszWord = "slaveuboot "; break;
    case UPDATE_TYPE_SLAVEKERNEL: pszWord = "slavekernel "; break;
    case UPDATE_TYPE_SLAVEPROGRAM: pszWord = "slaveprogram "; break;
    case UPDATE_TYPE_TVCONFIG: pszWord = "tvconfig "; break;
    default: pszWord = lNoDefault == 0 ? "all " : ""; break;
    }
    AppendText(pszBuf, CMD_BUF_LEN, pszWord);
}

void AppendRebootWords(unsigned ulForce, unsigned ulReboot, char *pszBuf)
{
    if (ulForce == 1) {
        AppendText(pszBuf, CMD_BUF_LEN, " -f");
    }
    AppendText(pszBuf, CMD_BUF_LEN, ulReboot == 1 ? " -r" : " -w");
}

namespace {
// A request for several components has no word of its own: each is named,
// the whole-package kinds together by "all".
void AppendComponentWords(unsigned ulType, char *pszBuf)
{
    const unsigned ulAll = SupportedMask() & UPDATE_TYPE_ALL;
    if (ulAll != 0 && (ulType & UPDATE_TYPE_ALL) == ulAll) {
        AppendText(pszBuf, CMD_BUF_LEN, "all ");
        ulType &= ~ulAll;
    }
    for (unsigned ulBit = UPDATE_TYPE_UIMAGE; ulBit <= UPDATE_TYPE_TVCONFIG; ulBit <<= 1) {
        if ((ulType & ulBit) != 0) {
            AppendTypeWord(ulBit, 1, pszBuf);
        }
    }
}
} // namespace

int EncodeRelaunchArgs(const UPDATE_REQ_S *pstReq, const char *pszExtraArgs, char *pszBuf)
{
    // Everything the launched updater must honour goes along: a check that
    // lost its -check would install and reboot.
    const size_t ulStart = strnlen(pszBuf, CMD_BUF_LEN - 1);
    const unsigned ulType = pstReq->usUpdateType & ~static_cast<unsigned>(UPDATE_TYPE_UPDATE);
    AppendTypeWord(ulType, 1, pszBuf);
    if (ulType != 0 && strnlen(pszBuf, CMD_BUF_LEN - 1) == ulStart) {
        AppendComponentWords(ulType, pszBuf);
    }
    bool bFits = true;
    if (pstReq->usForceFlag == 1) {
        bFits = AppendText(pszBuf, CMD_BUF_LEN, "-f ");
    }
    if (pstReq->usRebootFlag == 0) {
        bFits = AppendText(pszBuf, CMD_BUF_LEN, "-w ") && bFits;
    }
    if (pstReq->usCheckFlag == 1) {
        bFits = AppendText(pszBuf, CMD_BUF_LEN, "-check ") && bFits;
    }
    bFits = AppendText(pszBuf, CMD_BUF_LEN, pszExtraArgs != nullptr ? pszExtraArgs : "") && bFits;
    if (!bFits) {
        // Never a cut text (it may end inside a quoted word).
        pszBuf[ulStart] = '\0';
        return -1;
    }
    return 0;
}
