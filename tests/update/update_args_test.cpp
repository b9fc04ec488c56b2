#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "include/flash_layout.h"
#include "include/text_util.h"
#include "update/update_args.h"

namespace {
struct Parsed {
    int lRet;
    UPDATE_REQ_S stReq;
    std::string strExtra;
};

Parsed Parse(std::vector<std::string> words)
{
    EXPECT_EQ(GetFlashLayout(&g_pstFlashLayout), 0);
    words.insert(words.begin(), "update");
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    Parsed st{};
    char szExtra[EXTRA_ARGS_LEN] = {};
    st.lRet = ParseUpdateArgs(static_cast<int>(words.size()), argv.data(), &st.stReq, szExtra);
    st.strExtra = szExtra;
    return st;
}
} // namespace

// -tftp, -ftp, -u, -p, -wait, -check, -f, -P, -local and -mycloud with their
// values are proven by the board's runs; the defaults and long forms are not.
TEST(ParseUpdateArgs, OptionsAndDefaults)
{
    Parsed st = Parse({"-tftp", "10.0.0.1", "all"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_STREQ(st.stReq.szUser, "admin");
    EXPECT_STREQ(st.stReq.szPassword, "qzvrk");

    st = Parse({"-ftp", "1.2.3.4", "program", "-username", "bob", "-password", "pw", "-force", "-c", "-path", "d"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_STREQ(st.stReq.szUser, "bob");
    EXPECT_STREQ(st.stReq.szPassword, "pw");
    EXPECT_EQ(st.stReq.usForceFlag, 1);
    EXPECT_EQ(st.stReq.usCheckFlag, 1);
    EXPECT_STREQ(st.stReq.szPath, "d");
    EXPECT_EQ(st.stReq.usUpdateType, 0x02 | 0x40);

    // The last of -wait and -local decides the reboot flag.
    EXPECT_EQ(Parse({"-local", "/mnt", "-w", "uImage"}).stReq.usRebootFlag, 0);
    st = Parse({"-w", "-local", "/mnt", "uImage"});
    EXPECT_EQ(st.stReq.usTransType, TRANS_TYPE_LOCAL);
    EXPECT_EQ(st.stReq.usRebootFlag, 1);
    EXPECT_STREQ(st.stReq.szPath, "/mnt");
    // No count rule when argv[1] is a type word.
    EXPECT_STREQ(Parse({"all", "-tftp", "10.0.0.1"}).stReq.szRemote, "10.0.0.1");
}

TEST(ParseUpdateArgs, CountRules)
{
    std::vector<std::string> ftp13 = {"-ftp", "1.1.1.1"};
    ftp13.resize(13, "all");
    std::vector<std::string> ftp14 = ftp13;
    ftp14.push_back("all");
    const struct {
        std::vector<std::string> words;
        int lRet;
    } astCases[] = {
        {{"-tftp", "10.0.0.1"}, -1},
        {{"-tftp", "1.1.1.1", "a", "b", "c", "d", "e", "f", "g", "h"}, -1},
        {ftp13, 0},
        {ftp14, -1},
        {{"-fix", "1"}, 0},
        {{"-fix", "1", "x"}, -1},
        {{"-web"}, -1},
        {{"-mycloud", "u"}, -1},
    };
    for (const auto &stCase : astCases) {
        Parsed st = Parse(stCase.words);
        EXPECT_EQ(st.lRet, stCase.lRet) << stCase.words.size() << " words after " << stCase.words[0];
        if (st.lRet != 0) {
            EXPECT_EQ(st.strExtra, "");  // the rule fails before any word is looked at
        }
    }
    EXPECT_EQ(Parse({"-fix", "1"}).stReq.usFixValue, 1);
    // "-web" passes its count rule but is no word of this parser.
    EXPECT_EQ(Parse({"-web", "x"}).strExtra, "-web x ");
}

TEST(ParseUpdateArgs, InformationAndTypeWords)
{
    EXPECT_EQ(Parse({"-v"}).stReq.usShowInfo, SHOW_INFO_FULL);
    EXPECT_EQ(Parse({"-i"}).stReq.usShowInfo, SHOW_INFO_INNER);
    EXPECT_EQ(Parse({"-loop"}).stReq.usUpdateType, 0);
    EXPECT_EQ(Parse({"-v", "all"}).stReq.usUpdateType, 0xA3);  // an update, not a report
    EXPECT_EQ(Parse({"all", "-v"}).stReq.usUpdateType, 0);
    // Components this layout lacks add nothing; the hand-over bit comes anyway.
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1", "tvconfig", "slaveuboot", "slavekernel", "slaveprogram"}).stReq.usUpdateType,
              0x40);
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1", "u-boot.bin", "config.img", "activex.img", "uImage"}).stReq.usUpdateType,
              0x04 | 0x08 | 0x20 | 0x01 | 0x40);
    Parsed st = Parse({"-tftp", "10.0.0.1", "All", "newoption"});  // case-sensitive
    EXPECT_EQ(st.lRet, -1);
    EXPECT_EQ(st.strExtra, "All newoption ");
}

TEST(ParseUpdateArgs, CutsAndBounds)
{
    Parsed st = Parse({"-ftp", std::string(50, '1'), "all", "-u", std::string(40, 'u'), "-P", std::string(600, 'd')});
    EXPECT_EQ(std::string(st.stReq.szRemote), std::string(31, '1'));
    EXPECT_EQ(std::string(st.stReq.szUser), std::string(31, 'u'));
    EXPECT_EQ(std::string(st.stReq.szPath), std::string(511, 'd'));
    EXPECT_EQ(std::string(Parse({"-mycloud", std::string(300, 'h'), "all"}).stReq.szUrl), std::string(255, 'h'));

    // A value option standing last is refused outright, never read past the vector.
    st = Parse({"-tftp", "10.0.0.1", "all", "-p"});
    EXPECT_EQ(st.lRet, ARGS_REFUSED);
    EXPECT_EQ(st.strExtra, "");
    EXPECT_STREQ(st.stReq.szPassword, "qzvrk");

    // Unknown words fill the extra buffer whole; one that does not fit is left out.
    std::vector<std::string> words = {"-local", "/x"};
    for (int i = 0; i < 10; ++i) {
        words.push_back(std::string(60, static_cast<char>('a' + i)));
    }
    st = Parse(words);
    EXPECT_EQ(st.strExtra.size(), 8u * 61u);
    EXPECT_EQ(st.strExtra.substr(7 * 61), std::string(60, 'h') + " ");
}

TEST(CheckIpAddr, GroupsAndMessages)
{
    const struct {
        const char *pszAddr;
        int lRet;
        const char *pszOut;
    } astCases[] = {
        {"10.0.0.1", 0, ""},
        {"999.1.1.1", 0, ""},
        {"10.0.1", -1, "ip address  error(i)\n"},
        {"10.0.0.1.2", -1, "ip address  error(i)\n"},
        {"10.0.0.1234", -1, "ip address  error(i)\n"},
        {"10..0.1", -1, "ip address  error(j)\n"},
        {"1000.0.0.1", -1, "ip address  error(j)\n"},
        {"10.0.0.1a", -1, ""},
        {"host.example", -1, ""},
    };
    for (const auto &stCase : astCases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(CheckIpAddr(stCase.pszAddr), stCase.lRet) << stCase.pszAddr;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), stCase.pszOut) << stCase.pszAddr;
    }
}

// The plain names are proven by the board's TFTP, -P, -local and cloud runs.
TEST(GetPacketFileName, CloudWithOverlongPathIsCut)
{
    UPDATE_REQ_S stReq{};
    stReq.usTransType = TRANS_TYPE_CLOUD;
    stReq.usPathFlag = 1;
    memset(stReq.szPath, 'd', sizeof(stReq.szPath) - 1);
    char szRemote[CMD_BUF_LEN];
    char szLocal[CMD_BUF_LEN];
    GetPacketFileName(&stReq, szRemote, szLocal);
    EXPECT_EQ(strlen(szRemote), CMD_BUF_LEN - 1);
    EXPECT_STREQ(szLocal, szRemote);
}

TEST(EncodeRelaunchArgs, Words)
{
    char sz[CMD_BUF_LEN] = {};
    AppendTypeWord(0x0001, 0, sz);
    AppendTypeWord(0x0400, 0, sz);
    AppendTypeWord(0x0003, 0, sz);  // a combination is not encoded bit by bit
    AppendTypeWord(0x0003, 1, sz);
    EXPECT_STREQ(sz, "uImage slaveprogram all ");
    sz[0] = '\0';
    AppendRebootWords(1, 1, sz);
    AppendRebootWords(0, 0, sz);
    EXPECT_STREQ(sz, " -f -r -w");

    UPDATE_REQ_S stReq{};
    stReq.usUpdateType = 0xA3 | 0x40;
    stReq.usForceFlag = 1;
    sz[0] = '\0';
    EncodeRelaunchArgs(&stReq, "newoption ", sz);
    EXPECT_STREQ(sz, "all -f -w newoption ");
}
