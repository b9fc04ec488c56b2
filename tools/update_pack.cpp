// update-pack: builds, inspects, verifies and unpacks firmware packages with
// the very readers the updater runs.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "include/flash_layout.h"
#include "include/owners.h"
#include "include/packet.h"
#include "include/text_util.h"
#include "package/packet.h"
#include "package/signature.h"
#include "update/update_log.h"

namespace {

constexpr int EXIT_USAGE = 2;
// Above this a declared count must come with --short-table: the tool will not
// write gigabytes of empty records.
constexpr uint64_t MAX_WRITTEN_RECORDS = 100000;

const char *const HELP_TEXT =
    "Usage: update-pack [-v] COMMAND ...\n"
    "\n"
    "Builds and inspects firmware packages (Program.bin) for the updater.\n"
    "  -v, --verbose   send the updater's log lines to standard error\n"
    "  -h, --help      this text\n"
    "\n"
    "Commands:\n"
    "  create OUT [options]   write a package to OUT\n"
    "  info PKG               print head, both checksums (in the head, computed),\n"
    "                         board list and sub-image table\n"
    "  verify PKG             check the package checksum exactly as the updater does;\n"
    "                         exit 0 when it matches the head, 1 otherwise\n"
    "  extract PKG POS OUT    write the sub-image at table position POS to OUT\n"
    "                         (the readers' messages go to standard error)\n"
    "  sign PKG --key KEY.pem sign PKG with an Ed25519 private key (PEM); the\n"
    "                         checksum text is rewritten as ten digits\n"
    "  verify PKG --key PUB.pem | --keys DIR\n"
    "                         check checksum and signature exactly as an updater\n"
    "                         with these trusted public keys does\n"
    "  create OUT ... --sign KEY.pem   create, then sign\n"
    "\n"
    "Positions (POS): a table index (0, 1, ...) or the name of a layout entry of\n"
    "this build: uboot, logo-zh, config, kernel, program, spare, activex,\n"
    "backenv, logo-en, logo-non, slave-uboot, slave-kernel, slave-program,\n"
    "tvconfig; or updater (program position + 4) or custom (program + 6).\n"
    "The updater's own words name the same positions: uImage (kernel), u-boot,\n"
    "program, config, activex, tvconfig, slaveuboot, slavekernel, slaveprogram.\n"
    "\n"
    "create options:\n"
    "  --inner TEXT          head field 0: image inner version\n"
    "  --text TEXT           head field 1: free text\n"
    "  --pub TEXT            head field 2: image public version\n"
    "  --head RAW            the whole head text as is (up to 256 bytes; exactly 256\n"
    "                        leaves no NUL); replaces --inner/--text/--pub/--crc\n"
    "  --board NAME          add a board type to the list (repeatable, joined by $);\n"
    "                        a package that lists no board is refused everywhere\n"
    "  --boards RAW          the whole board list as is (up to 1792 bytes)\n"
    "  --image POS=FILE      place FILE's bytes at table position POS (repeatable)\n"
    "  --updater FILE        same as --image updater=FILE\n"
    "  --custom FILE         same as --image custom=FILE (the customisation zip)\n"
    "  --name POS=NAME       record name (default: FILE's base name; 128 characters\n"
    "                        fill the field without a NUL)\n"
    "  --flash-offset POS=N  record's flash offset (default 0)\n"
    "\n"
    "create options for deliberately broken packages (tests):\n"
    "  --crc wrong|TEXT      head field 3: the computed checksum plus one (wrong), or\n"
    "                        TEXT as is, instead of the computed checksum (auto)\n"
    "  --no-crc              leave out head field 3 (the updater then expects 0)\n"
    "  --length POS=N        record's length instead of FILE's size\n"
    "  --offset POS=N        record's file offset instead of where FILE was placed\n"
    "  --count N             declared number of table records (default: highest\n"
    "                        position + 1, at least 1); 0 makes a zero-count package;\n"
    "                        records for higher positions are still written after\n"
    "                        the declared table\n"
    "  --short-table K       end the file after K table records (no image data)\n"
    "  --data-start N        offset of the first image's data (default 4096, or the\n"
    "                        end of the table when that is later)\n"
    "  --truncate N          cut the finished package to N bytes after the head\n"
    "                        checksum was computed (a broken download)\n"
    "Numbers accept decimal or 0x hex. Images are stored one after the other in\n"
    "position order, byte for byte. create ends with one line on standard output:\n"
    "the file, its size, the number of images and the computed checksum.\n"
    "\n"
    "Exit status: 0 success, 1 failure or checksum mismatch, 2 usage error.\n";

struct IMAGE_ARG_S {
    std::string strFile;
    std::optional<std::string> strName;
    std::optional<uint32_t> ulLength;
    std::optional<uint32_t> ulOffset;
    uint32_t ulFlashOffset = 0;
};

struct CREATE_OPTS_S {
    std::string strInner, strText, strPub;
    std::string strCrcMode = "auto";
    bool bNoCrc = false;
    std::optional<std::string> strRawHead;
    std::vector<std::string> vecBoards;
    std::optional<std::string> strRawBoards;
    std::map<uint64_t, IMAGE_ARG_S> mapImages;
    std::optional<uint64_t> ullCount;
    std::optional<uint64_t> ullShortTable;
    std::optional<uint64_t> ullDataStart;
    std::optional<uint64_t> ullTruncate;
};

struct ENTRY_NAME_S {
    const char *pszName;
    unsigned ulEntry;
};

constexpr ENTRY_NAME_S ENTRY_NAMES[] = {
    {"uboot", IMAGE_ENTRY_UBOOT},
    {"logo-zh", IMAGE_ENTRY_LOGO_ZH},
    {"config", IMAGE_ENTRY_CONFIG},
    {"kernel", IMAGE_ENTRY_KERNEL},
    {"program", IMAGE_ENTRY_PROGRAM},
    {"spare", IMAGE_ENTRY_SPARE},
    {"activex", IMAGE_ENTRY_ACTIVEX},
    {"backenv", IMAGE_ENTRY_BACKENV},
    {"logo-en", IMAGE_ENTRY_LOGO_EN},
    {"logo-non", IMAGE_ENTRY_LOGO_NON},
    {"slave-uboot", IMAGE_ENTRY_SLAVEUBOOT},
    {"slave-kernel", IMAGE_ENTRY_SLAVEKERNEL},
    {"slave-program", IMAGE_ENTRY_SLAVEPROGRAM},
    {"tvconfig", IMAGE_ENTRY_TVCONFIG},
};

// The updater's command words, so that a user who types the word the updater
// takes gets the position it installs from.
struct POS_ALIAS_S {
    const char *pszWord;
    const char *pszEntry;
};

constexpr POS_ALIAS_S POS_ALIASES[] = {
    {"uImage", "kernel"},           {"u-boot", "uboot"},           {"u-boot.bin", "uboot"},
    {"program.img", "program"},     {"config.img", "config"},      {"activex.img", "activex"},
    {"tvconfig.img", "tvconfig"},   {"slaveuboot", "slave-uboot"}, {"slavekernel", "slave-kernel"},
    {"slaveprogram", "slave-program"},
};


bool ParseNumber(const char *pszText, uint64_t *pullValue)
{
    if (pszText == nullptr || *pszText == '\0' || *pszText == '-') {
        return false;
    }
    errno = 0;
    char *pszEnd = nullptr;
    unsigned long long ullValue = strtoull(pszText, &pszEnd, 0);
    if (errno != 0 || *pszEnd != '\0') {
        return false;
    }
    *pullValue = ullValue;
    return true;
}

bool ParseNumber32(const char *pszText, uint32_t *pulValue)
{
    uint64_t ullValue = 0;
    if (!ParseNumber(pszText, &ullValue) || ullValue > UINT32_MAX) {
        return false;
    }
    *pulValue = static_cast<uint32_t>(ullValue);
    return true;
}

bool ParsePosition(const std::string &strWord, uint64_t *pullPos)
{
    if (ParseNumber(strWord.c_str(), pullPos)) {
        return true;
    }
    std::string strPos = strWord;
    for (const POS_ALIAS_S &st : POS_ALIASES) {
        if (strWord == st.pszWord) {
            strPos = st.pszEntry;
        }
    }
    if (strPos == "updater") {
        *pullPos = GetUpdateImagePos(g_pstFlashLayout);
        return true;
    }
    if (strPos == "custom") {
        *pullPos = GetCustomImagePos(g_pstFlashLayout);
        return true;
    }
    for (const ENTRY_NAME_S &st : ENTRY_NAMES) {
        if (strPos == st.pszName) {
            if (g_pstFlashLayout->astImageDev[st.ulEntry].pszDevName == nullptr) {
                fprintf(stderr, "update-pack: the layout of this build has no %s image\n", st.pszName);
                return false;
            }
            *pullPos = GetImagePos(g_pstFlashLayout, st.ulEntry);
            return true;
        }
    }
    fprintf(stderr, "update-pack: bad position '%s' (see --help)\n", strWord.c_str());
    return false;
}

// "POS=VALUE" into a position and the value text.
bool SplitPosArg(const char *pszArg, const char *pszOpt, uint64_t *pullPos, std::string *pstrValue)
{
    const char *pszEq = strchr(pszArg, '=');
    if (pszEq == nullptr) {
        fprintf(stderr, "update-pack: %s wants POS=VALUE, got '%s'\n", pszOpt, pszArg);
        return false;
    }
    if (!ParsePosition(std::string(pszArg, pszEq), pullPos)) {
        return false;
    }
    *pstrValue = pszEq + 1;
    return true;
}

// Printable form of a fixed field: at most ulMax bytes, stopping at a NUL,
// with control and non-ASCII bytes escaped.
std::string Printable(const char *pszField, size_t ulMax)
{
    std::string strOut;
    size_t ulLen = strnlen(pszField, ulMax);
    for (size_t i = 0; i < ulLen; i++) {
        unsigned char c = static_cast<unsigned char>(pszField[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            strOut += static_cast<char>(c);
        } else {
            char szEsc[8];
            snprintf(szEsc, sizeof(szEsc), "\\x%02x", c);
            strOut += szEsc;
        }
    }
    return strOut;
}

int WriteAll(int lFd, const void *pData, size_t ulLen, uint64_t ullOffset)
{
    const auto *puc = static_cast<const uint8_t *>(pData);
    while (ulLen > 0) {
        ssize_t lRet = pwrite(lFd, puc, ulLen, static_cast<off_t>(ullOffset));
        if (lRet < 0 && errno == EINTR) {
            continue;
        }
        if (lRet <= 0) {
            return -1;
        }
        puc += lRet;
        ulLen -= static_cast<size_t>(lRet);
        ullOffset += static_cast<uint64_t>(lRet);
    }
    return 0;
}

// Appends the file's bytes at ullOffset; its length, or -1.
int64_t CopyFileInto(int lOutFd, const std::string &strFile, uint64_t ullOffset)
{
    FdOwner fdIn(open(strFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (fdIn.Get() < 0) {
        fprintf(stderr, "update-pack: cannot open %s: %s\n", strFile.c_str(), strerror(errno));
        return -1;
    }
    std::unique_ptr<uint8_t[]> pucBuf(new (std::nothrow) uint8_t[PACKET_IO_CHUNK]);
    if (pucBuf == nullptr) {
        fprintf(stderr, "update-pack: out of memory\n");
        return -1;
    }
    int64_t llTotal = 0;
    for (;;) {
        ssize_t lRead = read(fdIn.Get(), pucBuf.get(), PACKET_IO_CHUNK);
        if (lRead < 0 && errno == EINTR) {
            continue;
        }
        if (lRead < 0) {
            fprintf(stderr, "update-pack: cannot read %s: %s\n", strFile.c_str(), strerror(errno));
            return -1;
        }
        if (lRead == 0) {
            return llTotal;
        }
        if (WriteAll(lOutFd, pucBuf.get(), static_cast<size_t>(lRead), ullOffset + static_cast<uint64_t>(llTotal)) !=
            0) {
            fprintf(stderr, "update-pack: write failed: %s\n", strerror(errno));
            return -1;
        }
        llTotal += lRead;
    }
}

std::string BaseName(const std::string &strPath)
{
    size_t ulSlash = strPath.rfind('/');
    return ulSlash == std::string::npos ? strPath : strPath.substr(ulSlash + 1);
}

int ParseCreateArgs(int argc, char *argv[], CREATE_OPTS_S *pstOpts)
{
    enum : int {
        OPT_INNER = 1000, OPT_TEXT, OPT_PUB, OPT_CRC, OPT_NO_CRC, OPT_HEAD, OPT_BOARD, OPT_BOARDS, OPT_IMAGE,
        OPT_UPDATER, OPT_CUSTOM, OPT_NAME, OPT_FLASH, OPT_LENGTH, OPT_OFFSET, OPT_COUNT, OPT_SHORT, OPT_DATA,
        OPT_TRUNC,
    };
    static const option astLong[] = {
        {"inner", required_argument, nullptr, OPT_INNER},
        {"text", required_argument, nullptr, OPT_TEXT},
        {"pub", required_argument, nullptr, OPT_PUB},
        {"crc", required_argument, nullptr, OPT_CRC},
        {"no-crc", no_argument, nullptr, OPT_NO_CRC},
        {"head", required_argument, nullptr, OPT_HEAD},
        {"board", required_argument, nullptr, OPT_BOARD},
        {"boards", required_argument, nullptr, OPT_BOARDS},
        {"image", required_argument, nullptr, OPT_IMAGE},
        {"updater", required_argument, nullptr, OPT_UPDATER},
        {"custom", required_argument, nullptr, OPT_CUSTOM},
        {"name", required_argument, nullptr, OPT_NAME},
        {"flash-offset", required_argument, nullptr, OPT_FLASH},
        {"length", required_argument, nullptr, OPT_LENGTH},
        {"offset", required_argument, nullptr, OPT_OFFSET},
        {"count", required_argument, nullptr, OPT_COUNT},
        {"short-table", required_argument, nullptr, OPT_SHORT},
        {"data-start", required_argument, nullptr, OPT_DATA},
        {"truncate", required_argument, nullptr, OPT_TRUNC},
        {nullptr, 0, nullptr, 0},
    };
    // Record options may come before the --image they refine.
    std::vector<std::pair<int, std::string>> vecRecordOpts;
    // getopt would name OUT, its argv[0], in its messages (the leading ':'
    // silences them): ours name the tool.
    optind = 1;
    int lOpt;
    while ((lOpt = getopt_long(argc, argv, ":", astLong, nullptr)) != -1) {
        uint64_t ullPos = 0;
        uint64_t ullValue = 0;
        std::string strValue;
        switch (lOpt) {
        case OPT_INNER:
            pstOpts->strInner = optarg;
            break;
        case OPT_TEXT:
            pstOpts->strText = optarg;
            break;
        case OPT_PUB:
            pstOpts->strPub = optarg;
            break;
        case OPT_CRC:
            pstOpts->strCrcMode = optarg;
            break;
        case OPT_NO_CRC:
            pstOpts->bNoCrc = true;
            break;
        case OPT_HEAD:
            pstOpts->strRawHead = optarg;
            break;
        case OPT_BOARD:
            pstOpts->vecBoards.emplace_back(optarg);
            break;
        case OPT_BOARDS:
            pstOpts->strRawBoards = optarg;
            break;
        case OPT_IMAGE:
        case OPT_UPDATER:
        case OPT_CUSTOM:
            if (lOpt == OPT_IMAGE) {
                if (!SplitPosArg(optarg, "--image", &ullPos, &strValue)) {
                    return EXIT_USAGE;
                }
                // Every image gets a written record, so its position bounds the table.
                if (ullPos >= MAX_WRITTEN_RECORDS) {
                    fprintf(stderr, "update-pack: image position %" PRIu64 " is beyond the %" PRIu64
                            " records the tool writes\n", ullPos, MAX_WRITTEN_RECORDS);
                    return EXIT_USAGE;
                }
            } else {
                ullPos = lOpt == OPT_UPDATER ? GetUpdateImagePos(g_pstFlashLayout) : GetCustomImagePos(g_pstFlashLayout);
                strValue = optarg;
            }
            pstOpts->mapImages[ullPos].strFile = strValue;
            break;
        case OPT_NAME:
        case OPT_FLASH:
        case OPT_LENGTH:
        case OPT_OFFSET:
            vecRecordOpts.emplace_back(lOpt, optarg);
            break;
        case OPT_COUNT:
        case OPT_SHORT:
        case OPT_DATA:
        case OPT_TRUNC:
            if (!ParseNumber(optarg, &ullValue)) {
                fprintf(stderr, "update-pack: bad number '%s'\n", optarg);
                return EXIT_USAGE;
            }
            (lOpt == OPT_COUNT ? pstOpts->ullCount
                               : lOpt == OPT_SHORT ? pstOpts->ullShortTable
                                                   : lOpt == OPT_DATA ? pstOpts->ullDataStart : pstOpts->ullTruncate) =
                ullValue;
            break;
        case ':':
            fprintf(stderr, "update-pack: option '%s' needs a value\n", argv[optind - 1]);
            return EXIT_USAGE;
        default:
            fprintf(stderr, "update-pack: unknown option '%s' (see --help)\n", argv[optind - 1]);
            return EXIT_USAGE;
        }
    }
    if (optind != argc) {
        fprintf(stderr, "update-pack: unexpected argument '%s'\n", argv[optind]);
        return EXIT_USAGE;
    }
    for (const auto &[lKind, strArg] : vecRecordOpts) {
        uint64_t ullPos = 0;
        std::string strValue;
        if (!SplitPosArg(strArg.c_str(), "record option", &ullPos, &strValue)) {
            return EXIT_USAGE;
        }
        auto it = pstOpts->mapImages.find(ullPos);
        if (it == pstOpts->mapImages.end()) {
            fprintf(stderr, "update-pack: no --image at position %" PRIu64 "\n", ullPos);
            return EXIT_USAGE;
        }
        uint32_t ulValue = 0;
        if (lKind != OPT_NAME && !ParseNumber32(strValue.c_str(), &ulValue)) {
            fprintf(stderr, "update-pack: bad 32-bit number '%s'\n", strValue.c_str());
            return EXIT_USAGE;
        }
        if (lKind == OPT_NAME) {
            if (strValue.size() > SUB_IMAGE_NAME_LEN) {
                fprintf(stderr, "update-pack: a name holds at most %u bytes\n", SUB_IMAGE_NAME_LEN);
                return EXIT_USAGE;
            }
            it->second.strName = strValue;
        } else if (lKind == OPT_FLASH) {
            it->second.ulFlashOffset = ulValue;
        } else if (lKind == OPT_LENGTH) {
            it->second.ulLength = ulValue;
        } else {
            it->second.ulOffset = ulValue;
        }
    }
    return 0;
}

int BuildHead(const CREATE_OPTS_S &stOpts, uint32_t ulCrc, char *pszHead)
{
    memset(pszHead, 0, PACKET_HEAD_LEN);
    std::string strHead;
    if (stOpts.strRawHead) {
        strHead = *stOpts.strRawHead;
    } else {
        strHead = stOpts.strInner + HEAD_SEPARATOR + stOpts.strText + HEAD_SEPARATOR + stOpts.strPub;
        if (!stOpts.bNoCrc) {
            strHead += HEAD_SEPARATOR;
            if (stOpts.strCrcMode == "auto") {
                strHead += std::to_string(ulCrc);
            } else if (stOpts.strCrcMode == "wrong") {
                strHead += std::to_string(static_cast<uint32_t>(ulCrc + 1));
            } else {
                strHead += stOpts.strCrcMode;
            }
        }
    }
    if (strHead.size() > PACKET_HEAD_LEN) {
        fprintf(stderr, "update-pack: the head text is %zu bytes, at most %u fit\n", strHead.size(), PACKET_HEAD_LEN);
        return -1;
    }
    memcpy(pszHead, strHead.data(), strHead.size());
    return 0;
}

int CmdCreate(const char *pszOut, int argc, char *argv[])
{
    CREATE_OPTS_S stOpts;
    int lRet = ParseCreateArgs(argc, argv, &stOpts);
    if (lRet != 0) {
        return lRet;
    }
    // Refuse a head that cannot fit before anything is written; the widest
    // checksum text has ten digits.
    if (BuildHead(stOpts, 4294967294u, std::vector<char>(PACKET_HEAD_LEN).data()) != 0) {
        return EXIT_USAGE;
    }
    uint64_t ullSlots = stOpts.mapImages.empty() ? 1 : stOpts.mapImages.rbegin()->first + 1;
    uint64_t ullCount = stOpts.ullCount.value_or(ullSlots);
    if (ullCount > UINT32_MAX) {
        fprintf(stderr, "update-pack: --count does not fit 32 bits\n");
        return EXIT_USAGE;
    }
    uint64_t ullRecords = ullCount > ullSlots ? ullCount : ullSlots;
    if (stOpts.ullShortTable) {
        ullRecords = *stOpts.ullShortTable;
    }
    if (ullRecords > MAX_WRITTEN_RECORDS) {
        fprintf(stderr, "update-pack: %" PRIu64 " records is too many to write; use --short-table\n", ullRecords);
        return EXIT_USAGE;
    }
    PACKET_HEAD_S stHead{};
    std::string strBoards;
    if (stOpts.strRawBoards) {
        strBoards = *stOpts.strRawBoards;
    } else {
        for (size_t i = 0; i < stOpts.vecBoards.size(); i++) {
            strBoards += (i == 0 ? "" : "$") + stOpts.vecBoards[i];
        }
    }
    if (strBoards.size() > PACKET_COMPAT_LEN) {
        fprintf(stderr, "update-pack: the board list is %zu bytes, at most %u fit\n", strBoards.size(),
                PACKET_COMPAT_LEN);
        return EXIT_USAGE;
    }
    if (strBoards.empty()) {
        fprintf(stderr, "update-pack: warning: %s lists no board; the updater refuses it on every device\n", pszOut);
    }
    memcpy(stHead.szCompatList, strBoards.data(), strBoards.size());
    stHead.ulSubImageCount = static_cast<uint32_t>(ullCount);

    FdOwner fdOut(open(pszOut, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fdOut.Get() < 0) {
        fprintf(stderr, "update-pack: cannot create %s: %s\n", pszOut, strerror(errno));
        return 1;
    }
    uint64_t ullTableEnd = PACKET_TABLE_OFFSET + ullRecords * sizeof(SUB_IMAGE_S);
    std::vector<SUB_IMAGE_S> vecTable(static_cast<size_t>(ullRecords));
    if (!stOpts.ullShortTable) {
        uint64_t ullData = stOpts.ullDataStart.value_or(ullTableEnd > PACKET_CRC_START ? ullTableEnd : PACKET_CRC_START);
        for (const auto &[ullPos, stImage] : stOpts.mapImages) {
            int64_t llLen = CopyFileInto(fdOut.Get(), stImage.strFile, ullData);
            if (llLen < 0) {
                return 1;
            }
            if (ullData > UINT32_MAX || static_cast<uint64_t>(llLen) > UINT32_MAX) {
                fprintf(stderr, "update-pack: %s does not fit the 32-bit offsets of a package\n",
                        stImage.strFile.c_str());
                return 1;
            }
            SUB_IMAGE_S &stRec = vecTable[static_cast<size_t>(ullPos)];
            std::string strName = stImage.strName.value_or(BaseName(stImage.strFile).substr(0, SUB_IMAGE_NAME_LEN - 1));
            memcpy(stRec.szFileName, strName.data(), strName.size());
            stRec.ulFileLength = stImage.ulLength.value_or(static_cast<uint32_t>(llLen));
            stRec.ulFileOffset = stImage.ulOffset.value_or(static_cast<uint32_t>(ullData));
            stRec.ulFlashOffset = stImage.ulFlashOffset;
            ullData += static_cast<uint64_t>(llLen);
        }
        // Empty space between the table and the first image stays zero.
        if (ftruncate(fdOut.Get(), static_cast<off_t>(ullData > PACKET_CRC_START ? ullData : PACKET_CRC_START)) != 0) {
            fprintf(stderr, "update-pack: cannot size %s: %s\n", pszOut, strerror(errno));
            return 1;
        }
    } else if (ftruncate(fdOut.Get(), static_cast<off_t>(ullTableEnd)) != 0) {
        fprintf(stderr, "update-pack: cannot size %s: %s\n", pszOut, strerror(errno));
        return 1;
    }
    // Records are stored little-endian, the byte order of the host.
    if (WriteAll(fdOut.Get(), &stHead.ulSubImageCount, sizeof(stHead.ulSubImageCount), PACKET_COUNT_OFFSET) != 0 ||
        WriteAll(fdOut.Get(), stHead.szCompatList, PACKET_COMPAT_LEN, PACKET_HEAD_LEN) != 0 ||
        (!vecTable.empty() &&
         WriteAll(fdOut.Get(), vecTable.data(), vecTable.size() * sizeof(SUB_IMAGE_S), PACKET_TABLE_OFFSET) != 0)) {
        fprintf(stderr, "update-pack: write failed: %s\n", strerror(errno));
        return 1;
    }
    // The table may reach into the covered range, so the checksum comes last.
    uint32_t ulCrc = 0;
    if (CountPacketCrc(fdOut.Get(), &ulCrc) != 0) {
        return 1;
    }
    if (BuildHead(stOpts, ulCrc, stHead.szHead) != 0 ||
        WriteAll(fdOut.Get(), stHead.szHead, PACKET_HEAD_LEN, 0) != 0) {
        return 1;
    }
    if (stOpts.ullTruncate && ftruncate(fdOut.Get(), static_cast<off_t>(*stOpts.ullTruncate)) != 0) {
        fprintf(stderr, "update-pack: cannot truncate %s: %s\n", pszOut, strerror(errno));
        return 1;
    }
    struct stat stSt {};
    if (fstat(fdOut.Get(), &stSt) != 0) {
        fprintf(stderr, "update-pack: cannot stat %s: %s\n", pszOut, strerror(errno));
        return 1;
    }
    printf("%s: %jd bytes, %zu image%s, checksum %u\n", pszOut, static_cast<intmax_t>(stSt.st_size),
           stOpts.mapImages.size(), stOpts.mapImages.size() == 1 ? "" : "s", ulCrc);
    return 0;
}

int ReadHead(const char *pszPath, PACKET_HEAD_S *pstHead)
{
    memset(pstHead, 0, sizeof(*pstHead));
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        fprintf(stderr, "update-pack: cannot open %s: %s\n", pszPath, strerror(errno));
        return -1;
    }
    ssize_t lRead = pread(fd.Get(), pstHead, sizeof(*pstHead), 0);
    if (lRead < 0) {
        fprintf(stderr, "update-pack: cannot read %s: %s\n", pszPath, strerror(errno));
        return -1;
    }
    if (static_cast<size_t>(lRead) < sizeof(*pstHead)) {
        fprintf(stderr, "update-pack: %s is %zd bytes, shorter than a package head\n", pszPath, lRead);
    }
    return 0;
}

void PrintSigBlock(const char *pszPath);

std::string RolesOf(uint64_t ullPos)
{
    std::string strRoles;
    for (const ENTRY_NAME_S &st : ENTRY_NAMES) {
        if (g_pstFlashLayout->astImageDev[st.ulEntry].pszDevName != nullptr &&
            GetImagePos(g_pstFlashLayout, st.ulEntry) == ullPos) {
            strRoles += strRoles.empty() ? "" : ",";
            strRoles += st.pszName;
        }
    }
    if (ullPos == GetUpdateImagePos(g_pstFlashLayout)) {
        strRoles += strRoles.empty() ? "updater" : ",updater";
    }
    if (ullPos == GetCustomImagePos(g_pstFlashLayout)) {
        strRoles += strRoles.empty() ? "custom" : ",custom";
    }
    return strRoles;
}

int CmdInfo(const char *pszPath)
{
    PACKET_HEAD_S stHead;
    if (ReadHead(pszPath, &stHead) != 0) {
        return 1;
    }
    printf("head: %s\n", Printable(stHead.szHead, PACKET_HEAD_LEN).c_str());
    char szHead[PACKET_HEAD_LEN];
    memcpy(szHead, stHead.szHead, PACKET_HEAD_LEN);
    PACKET_HEAD_INFO_S stInfo;
    SplitPacketHead(szHead, &stInfo);
    printf("inner version: %s\n", Printable(stInfo.szInnerVersion, HEAD_VERSION_LEN).c_str());
    printf("free text: %s\n", Printable(stInfo.szFreeText, HEAD_TEXT_LEN).c_str());
    printf("public version: %s\n", Printable(stInfo.szPubVersion, HEAD_VERSION_LEN).c_str());
    if (stInfo.ulFieldCount > HEAD_FIELD_CRC) {
        printf("checksum in head: %u (text '%s')\n", stInfo.ulCrc, Printable(stInfo.szCrcSum, HEAD_CRC_LEN).c_str());
    } else {
        printf("checksum in head: 0 (no checksum field)\n");
    }
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    uint32_t ulCrc = 0;
    if (fd.Get() >= 0 && CountPacketCrc(fd.Get(), &ulCrc) == 0) {
        printf("checksum computed: %u%s\n", ulCrc, ulCrc == stInfo.ulCrc ? "" : " (mismatch)");
    } else {
        printf("checksum computed: unreadable (mismatch)\n");
    }
    size_t ulListLen = strnlen(stHead.szCompatList, PACKET_COMPAT_LEN);
    std::vector<std::string> vecBoards;
    size_t ulStart = 0;
    for (;;) {
        size_t ulEnd = ulStart;
        while (ulEnd < ulListLen && stHead.szCompatList[ulEnd] != HEAD_SEPARATOR) {
            ulEnd++;
        }
        vecBoards.push_back(Printable(stHead.szCompatList + ulStart, ulEnd - ulStart));
        if (ulEnd >= ulListLen) {
            break;
        }
        ulStart = ulEnd + 1;
    }
    printf("boards: %zu\n", ulListLen == 0 ? 0 : vecBoards.size());
    for (size_t i = 0; ulListLen != 0 && i < vecBoards.size(); i++) {
        printf("  board %zu: %s%s\n", i, vecBoards[i].c_str(), i >= COMPAT_ENTRY_MAX ? " (not examined)" : "");
    }
    printf("declared count: %u\n", stHead.ulSubImageCount);
    PrintSigBlock(pszPath);
    fflush(stdout);
    uint32_t ulHeld = 0;
    SubImageTablePtr pstTable(GetSubImageTable(pszPath, &ulHeld));
    if (pstTable == nullptr) {
        return 1;
    }
    if (ulHeld < stHead.ulSubImageCount) {
        printf("the file holds only %u of the records; the rest read as absent\n", ulHeld);
    }
    printf("%-4s %-10s %-10s %-10s %-16s %s\n", "pos", "length", "offset", "flash", "role", "name");
    for (uint32_t i = 0; i < ulHeld; i++) {
        const SUB_IMAGE_S *pst = SubImageAt(pstTable.get(), ulHeld, i);
        std::string strRole = RolesOf(i);
        printf("%-4u %-10u 0x%08x 0x%08x %-16s %s\n", i, pst->ulFileLength, pst->ulFileOffset, pst->ulFlashOffset,
               strRole.empty() ? "-" : strRole.c_str(), Printable(pst->szFileName, SUB_IMAGE_NAME_LEN).c_str());
    }
    return 0;
}

int CmdVerify(const char *pszPath)
{
    PACKET_HEAD_S stHead;
    if (ReadHead(pszPath, &stHead) != 0) {
        return 1;
    }
    PACKET_HEAD_INFO_S stInfo;
    SplitPacketHead(stHead.szHead, &stInfo);
    if (CheckPacketCrc(stInfo.ulCrc, pszPath) == 0) {
        printf("checksum ok: %u\n", stInfo.ulCrc);
        return 0;
    }
    // Only a mismatch pays for a second pass to show what the file holds.
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    uint32_t ulCrc = 0;
    if (fd.Get() >= 0 && CountPacketCrc(fd.Get(), &ulCrc) == 0) {
        printf("checksum mismatch: head %u, file %u\n", stInfo.ulCrc, ulCrc);
    } else {
        printf("checksum mismatch: head %u, file unreadable\n", stInfo.ulCrc);
    }
    return 1;
}

int CmdExtract(const char *pszPath, const char *pszPos, const char *pszOut)
{
    // The updater's readers report on standard output; here it is kept for
    // what the user asked for, so their lines go with the errors.
    fflush(stdout);
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        fprintf(stderr, "update-pack: cannot redirect standard output: %s\n", strerror(errno));
        return 1;
    }
    uint64_t ullPos = 0;
    if (!ParsePosition(pszPos, &ullPos)) {
        return EXIT_USAGE;
    }
    uint32_t ulHeld = 0;
    SubImageTablePtr pstTable(GetSubImageTable(pszPath, &ulHeld));
    if (pstTable == nullptr) {
        return 1;
    }
    if (ullPos >= ulHeld) {
        fprintf(stderr, "update-pack: position %" PRIu64 " is outside the table\n", ullPos);
        return 1;
    }
    const SUB_IMAGE_S *pst = SubImageAt(pstTable.get(), ulHeld, ullPos);
    return UnpackSubImage(pszPath, pst->ulFileOffset, pst->ulFileLength, pszOut) == 0 ? 0 : 1;
}

// Signing rewrites the checksum text with a fixed width, so that writing the
// checksum after the signature leaves every signed byte where it was.
int SetCrcText(char *pszHead, uint32_t ulCrc)
{
    uint32_t ulStart = 0;
    uint32_t ulLen = 0;
    HeadCrcSpan(pszHead, &ulStart, &ulLen);
    std::string strHead(pszHead, strnlen(pszHead, PACKET_HEAD_LEN));
    char szCrc[16];
    snprintf(szCrc, sizeof(szCrc), "%010u", ulCrc);
    if (ulStart != 0) {
        strHead.replace(ulStart, ulLen, szCrc);
    } else if (std::count(strHead.begin(), strHead.end(), HEAD_SEPARATOR) == 2) {
        strHead += std::string(1, HEAD_SEPARATOR) + szCrc;
    } else {
        fprintf(stderr, "update-pack: the head needs three fields before the checksum to be signed\n");
        return -1;
    }
    if (strHead.size() > PACKET_HEAD_LEN) {
        fprintf(stderr, "update-pack: no room in the head for the checksum text\n");
        return -1;
    }
    memset(pszHead, 0, PACKET_HEAD_LEN);
    memcpy(pszHead, strHead.data(), strHead.size());
    return 0;
}

int SignPackage(const char *pszPath, const char *pszKey)
{
    std::string strPem;
    uint8_t aucSeed[SIG_SEED_LEN];
    if (ReadKeyFile(pszKey, &strPem) != 0 || ParsePrivateKeyPem(strPem, aucSeed) != 0) {
        fprintf(stderr, "update-pack: %s is not an Ed25519 private key in PEM\n", pszKey);
        return 1;
    }
    FdOwner fd(open(pszPath, O_RDWR | O_CLOEXEC));
    struct stat st;
    char szHead[PACKET_HEAD_LEN];
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0 ||
        pread(fd.Get(), szHead, sizeof(szHead), 0) != static_cast<ssize_t>(sizeof(szHead))) {
        fprintf(stderr, "update-pack: cannot read the package %s\n", pszPath);
        return 1;
    }
    // Signing again replaces the old block.
    PACKET_PASS_S stOld;
    uint64_t ullLen = static_cast<uint64_t>(st.st_size);
    if (CountPacketPass(fd.Get(), &stOld) == 0 && stOld.bSigned) {
        ullLen = stOld.stBlock.ullCovered;
    }
    SIG_BLOCK_S stBlock{};
    stBlock.ullCovered = ullLen;
    stBlock.ucVersion = SIG_FORMAT_VERSION;
    stBlock.ucAlgorithm = SIG_ALG_ED25519_SHA512;
    stBlock.usBlockLen = SIG_BLOCK_LEN;
    memcpy(stBlock.acMagic, SIG_MAGIC, sizeof(SIG_MAGIC));
    uint32_t ulCrc = 0;
    int lRet = SetCrcText(szHead, 0) == 0 && ftruncate(fd.Get(), static_cast<off_t>(ullLen)) == 0 &&
                       WriteAll(fd.Get(), szHead, sizeof(szHead), 0) == 0 &&
                       SignPacketBlock(fd.Get(), aucSeed, &stBlock) == 0 &&
                       WriteAll(fd.Get(), &stBlock, sizeof(stBlock), ullLen) == 0 &&
                       CountPacketCrc(fd.Get(), &ulCrc) == 0 && SetCrcText(szHead, ulCrc) == 0 &&
                       WriteAll(fd.Get(), szHead, sizeof(szHead), 0) == 0
                   ? 0
                   : 1;
    memset(aucSeed, 0, sizeof(aucSeed));
    if (lRet != 0) {
        fprintf(stderr, "update-pack: signing %s failed\n", pszPath);
        return 1;
    }
    // Replaces what a create summary said: signing changed size and checksum.
    printf("signed with key ID %s: %" PRIu64 " bytes, checksum %u\n", SigKeyIdText(stBlock.aucKeyId).c_str(),
           ullLen + SIG_BLOCK_LEN, ulCrc);
    return 0;
}

void PrintSigBlock(const char *pszPath)
{
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    struct stat st;
    uint8_t aucTail[SIG_BLOCK_LEN];
    SIG_BLOCK_S stBlock;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0 || st.st_size < static_cast<off_t>(SIG_BLOCK_LEN) ||
        pread(fd.Get(), aucTail, sizeof(aucTail), st.st_size - static_cast<off_t>(SIG_BLOCK_LEN)) !=
            static_cast<ssize_t>(SIG_BLOCK_LEN) ||
        !ParseSigBlock(aucTail, sizeof(aucTail), static_cast<uint64_t>(st.st_size), &stBlock)) {
        printf("signature: none\n");
        return;
    }
    char szSig[SIG_LEN * 2 + 1];
    sodium_bin2hex(szSig, sizeof(szSig), stBlock.aucSignature, SIG_LEN);
    printf("signature: format %u, Ed25519 over SHA-512, key ID %s, covers %" PRIu64 " bytes before the block\n",
           stBlock.ucVersion, SigKeyIdText(stBlock.aucKeyId).c_str(), stBlock.ullCovered);
    printf("signature bytes: %s\n", szSig);
}

// Checksum, then signature, with the messages the updater logs.
int CmdVerifySigned(const char *pszPath, const char *pszOpt, const char *pszArg)
{
    std::vector<TRUSTED_KEY_S> vecKeys;
    if (strcmp(pszOpt, "--keys") == 0) {
        if (LoadTrustedKeys(pszArg, &vecKeys) <= 0) {
            fprintf(stderr, "update-pack: no readable public keys in %s\n", pszArg);
            return 1;
        }
    } else if (strcmp(pszOpt, "--key") == 0) {
        std::string strPem;
        TRUSTED_KEY_S stKey{};
        if (ReadKeyFile(pszArg, &strPem) != 0 || ParsePublicKeyPem(strPem, stKey.aucPublic) != 0) {
            fprintf(stderr, "update-pack: %s is not an Ed25519 public key in PEM\n", pszArg);
            return 1;
        }
        SigKeyId(stKey.aucPublic, stKey.aucKeyId);
        vecKeys.push_back(stKey);
    } else {
        fprintf(stderr, "update-pack: bad command line (see --help)\n");
        return EXIT_USAGE;
    }
    // One pass for both, as on the device.
    PACKET_HEAD_S stHead;
    FdOwner fd(open(pszPath, O_RDONLY | O_CLOEXEC));
    PACKET_PASS_S stPass;
    if (ReadHead(pszPath, &stHead) != 0 || fd.Get() < 0 || CountPacketPass(fd.Get(), &stPass) != 0) {
        fprintf(stderr, "update-pack: cannot read %s\n", pszPath);
        return 1;
    }
    PACKET_HEAD_INFO_S stInfo;
    SplitPacketHead(stHead.szHead, &stInfo);
    const int lCrc = stPass.ulCrc == stInfo.ulCrc ? 0 : 1;
    if (lCrc == 0) {
        printf("checksum ok: %u\n", stInfo.ulCrc);
    } else {
        printf("checksum mismatch: head %u, file %u\n", stInfo.ulCrc, stPass.ulCrc);
    }
    const TRUSTED_KEY_S *pstKey = nullptr;
    SIG_RESULT_E eSig = CheckPassSignature(stPass, vecKeys, &pstKey);
    puts(SigResultText(eSig));
    if (eSig == SIG_OK) {
        printf("key ID %s\n", SigKeyIdText(pstKey->aucKeyId).c_str());
    }
    return lCrc == 0 && eSig == SIG_OK ? 0 : 1;
}

// "create OUT ... --sign KEY": the option is taken out before the create
// options are read.
int CmdCreateSigned(int argc, char *argv[])
{
    const char *pszKey = nullptr;
    std::vector<char *> vecArgs;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--sign") == 0 && i + 1 < argc) {
            pszKey = argv[++i];
        } else {
            vecArgs.push_back(argv[i]);
        }
    }
    vecArgs.push_back(nullptr);
    int lRet = CmdCreate(vecArgs[0], static_cast<int>(vecArgs.size() - 1), vecArgs.data());
    return lRet != 0 || pszKey == nullptr ? lRet : SignPackage(vecArgs[0], pszKey);
}

}  // namespace

int main(int argc, char *argv[])
{
    if (GetFlashLayout(&g_pstFlashLayout) != 0) {
        fprintf(stderr, "update-pack: no flash layout in this build\n");
        return 1;
    }
    int lArg = 1;
    while (lArg < argc && argv[lArg][0] == '-') {
        if (strcmp(argv[lArg], "-h") == 0 || strcmp(argv[lArg], "--help") == 0) {
            fputs(HELP_TEXT, stdout);
            return 0;
        }
        if (strcmp(argv[lArg], "-v") == 0 || strcmp(argv[lArg], "--verbose") == 0) {
            g_pUpdateLogFile = stderr;
            lArg++;
            continue;
        }
        fprintf(stderr, "update-pack: unknown option '%s' (see --help)\n", argv[lArg]);
        return EXIT_USAGE;
    }
    if (lArg >= argc) {
        fputs(HELP_TEXT, stderr);
        return EXIT_USAGE;
    }
    std::string strCmd = argv[lArg];
    int lRest = argc - lArg - 1;
    char **ppszRest = argv + lArg + 1;
    if (strCmd == "help") {
        fputs(HELP_TEXT, stdout);
        return 0;
    }
    if (strCmd == "sign" && lRest == 3 && strcmp(ppszRest[1], "--key") == 0) {
        return SignPackage(ppszRest[0], ppszRest[2]);
    }
    if (strCmd == "verify" && lRest == 3) {
        return CmdVerifySigned(ppszRest[0], ppszRest[1], ppszRest[2]);
    }
    if (strCmd == "create" && lRest >= 1) {
        if (std::find_if(ppszRest, ppszRest + lRest, [](const char *psz) { return strcmp(psz, "--sign") == 0; }) !=
            ppszRest + lRest) {
            return CmdCreateSigned(lRest, ppszRest);
        }
        // getopt sees the options after OUT, with OUT as its program name.
        return CmdCreate(ppszRest[0], lRest, ppszRest);
    }
    if (strCmd == "info" && lRest == 1) {
        return CmdInfo(ppszRest[0]);
    }
    if (strCmd == "verify" && lRest == 1) {
        return CmdVerify(ppszRest[0]);
    }
    if (strCmd == "extract" && lRest == 3) {
        return CmdExtract(ppszRest[0], ppszRest[1], ppszRest[2]);
    }
    if (strCmd == "create" || strCmd == "info" || strCmd == "verify" || strCmd == "extract") {
        fprintf(stderr, "update-pack: %s: wrong number of arguments (see --help)\n", strCmd.c_str());
    } else {
        fprintf(stderr, "update-pack: unknown command '%s' (see --help)\n", strCmd.c_str());
    }
    return EXIT_USAGE;
}
