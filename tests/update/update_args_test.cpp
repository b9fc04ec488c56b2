#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/flash_layout.h"
#include "include/text_util.h"
#include "update/update_args.h"

#include <cstring>

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

TEST(ParseUpdateArgs, DefaultsAndTransferOptions)
{
    Parsed st = Parse({"-tftp", "10.0.0.1", "all"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_EQ(st.stReq.usTransType, TRANS_TYPE_TFTP);
    EXPECT_STREQ(st.stReq.szRemote, "10.0.0.1");
    EXPECT_STREQ(st.stReq.szUser, "admin");
    EXPECT_STREQ(st.stReq.szPassword, "qzvrk");
    EXPECT_EQ(st.stReq.usRebootFlag, 1);
    EXPECT_EQ(st.stReq.usShowInfo, SHOW_INFO_HELP);
    // "all" on this layout grants 0xA3, and the hand-over bit is added.
    EXPECT_EQ(st.stReq.usUpdateType, 0xA3 | 0x40);

    st = Parse({"-ftp", "1.2.3.4", "program", "-u", "bob", "-password", "pw", "-wait", "-force", "-check", "-P", "dir"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_EQ(st.stReq.usTransType, TRANS_TYPE_FTP);
    EXPECT_STREQ(st.stReq.szUser, "bob");
    EXPECT_STREQ(st.stReq.szPassword, "pw");
    EXPECT_EQ(st.stReq.usRebootFlag, 0);
    EXPECT_EQ(st.stReq.usForceFlag, 1);
    EXPECT_EQ(st.stReq.usCheckFlag, 1);
    EXPECT_EQ(st.stReq.usPathFlag, 1);
    EXPECT_STREQ(st.stReq.szPath, "dir");
    EXPECT_EQ(st.stReq.usUpdateType, 0x02 | 0x40);

    // "-local" sets the reboot flag again; the last of -reboot/-wait/-local decides.
    st = Parse({"-local", "/mnt/usb", "-w", "uImage"});
    EXPECT_EQ(st.stReq.usRebootFlag, 0);
    st = Parse({"-w", "-local", "/mnt/usb", "uImage"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_EQ(st.stReq.usTransType, TRANS_TYPE_LOCAL);
    EXPECT_EQ(st.stReq.usRebootFlag, 1);
    EXPECT_STREQ(st.stReq.szPath, "/mnt/usb");

    st = Parse({"-mycloud", "http://127.0.0.1/x", "all"});
    EXPECT_EQ(st.stReq.usTransType, TRANS_TYPE_CLOUD);
    EXPECT_STREQ(st.stReq.szUrl, "http://127.0.0.1/x");

    // No count rule when argv[1] is a type word.
    st = Parse({"all", "-tftp", "10.0.0.1"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_STREQ(st.stReq.szRemote, "10.0.0.1");
}

TEST(ParseUpdateArgs, CountRules)
{
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1"}).lRet, -1);
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1", "all"}).lRet, 0);
    Parsed st = Parse({"-tftp", "1.1.1.1", "a", "b", "c", "d", "e", "f", "g", "h"});  // 10 words
    EXPECT_EQ(st.lRet, -1);
    EXPECT_EQ(st.strExtra, "");  // the rule fails before any word is looked at
    std::vector<std::string> ftp = {"-ftp", "1.1.1.1"};
    for (int i = 0; i < 11; ++i) {
        ftp.push_back("all");
    }
    EXPECT_EQ(Parse(ftp).lRet, 0);  // 13 words
    ftp.push_back("all");
    EXPECT_EQ(Parse(ftp).lRet, -1);  // 14 words
    EXPECT_EQ(Parse({"-fix", "1"}).stReq.usFixFlag, 1);
    EXPECT_EQ(Parse({"-fix", "1"}).stReq.usFixValue, 1);
    EXPECT_EQ(Parse({"-fix", "1", "x"}).lRet, -1);
    EXPECT_EQ(Parse({"-web"}).lRet, -1);
    // "-web" passes its count rule but is no word of this parser.
    st = Parse({"-web", "x"});
    EXPECT_EQ(st.lRet, -1);
    EXPECT_EQ(st.strExtra, "-web x ");
    EXPECT_EQ(Parse({"-mycloud", "u"}).lRet, -1);
}

TEST(ParseUpdateArgs, InformationAndTypeWords)
{
    Parsed st = Parse({"-v"});
    EXPECT_EQ(st.lRet, 0);
    EXPECT_EQ(st.stReq.usUpdateType, 0);
    EXPECT_EQ(st.stReq.usShowInfo, SHOW_INFO_FULL);
    EXPECT_EQ(Parse({"-i"}).stReq.usShowInfo, SHOW_INFO_INNER);
    EXPECT_EQ(Parse({"-loop"}).stReq.usUpdateType, 0);
    EXPECT_EQ(Parse({"-loop"}).stReq.usShowInfo, SHOW_INFO_HELP);
    // A type word after an information option takes the update path again.
    EXPECT_EQ(Parse({"-v", "all"}).stReq.usUpdateType, 0xA3);
    EXPECT_EQ(Parse({"all", "-v"}).stReq.usUpdateType, 0);
    // Components this layout lacks add nothing; the hand-over bit comes anyway.
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1", "tvconfig"}).stReq.usUpdateType, 0x40);
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1", "slaveuboot", "slavekernel", "slaveprogram"}).stReq.usUpdateType, 0x40);
    EXPECT_EQ(Parse({"-tftp", "10.0.0.1", "u-boot.bin", "config.img", "activex.img", "uImage"}).stReq.usUpdateType,
              0x04 | 0x08 | 0x20 | 0x01 | 0x40);
    // Words are case-sensitive.
    st = Parse({"-tftp", "10.0.0.1", "All", "newoption"});
    EXPECT_EQ(st.lRet, -1);
    EXPECT_EQ(st.strExtra, "All newoption ");
    EXPECT_EQ(st.stReq.usUpdateType, 0x40);
}

TEST(ParseUpdateArgs, CutsAndBounds)
{
    const std::string strLong(40, 'u');
    Parsed st = Parse({"-ftp", "10.0.0.1", "all", "-u", strLong, "-p", std::string(100, 'p')});
    EXPECT_EQ(std::string(st.stReq.szUser), strLong.substr(0, 31));
    EXPECT_EQ(std::string(st.stReq.szPassword), std::string(31, 'p'));
    st = Parse({"-tftp", std::string(50, '1'), "all"});
    EXPECT_EQ(std::string(st.stReq.szRemote), std::string(31, '1'));
    st = Parse({"-local", std::string(600, 'd'), "all"});
    EXPECT_EQ(std::string(st.stReq.szPath), std::string(511, 'd'));
    st = Parse({"-mycloud", std::string(300, 'h'), "all"});
    EXPECT_EQ(std::string(st.stReq.szUrl), std::string(255, 'h'));

    // A value option standing last is refused, never read past the vector.
    st = Parse({"all", "-u"});
    EXPECT_EQ(st.lRet, -1);
    EXPECT_EQ(st.strExtra, "-u ");
    EXPECT_STREQ(st.stReq.szUser, "admin");

    // Unknown words fill the extra buffer whole; one that does not fit is left out.
    std::vector<std::string> words = {"-local", "/x"};
    for (int i = 0; i < 10; ++i) {
        words.push_back(std::string(60, static_cast<char>('a' + i)));
    }
    st = Parse(words);
    EXPECT_EQ(st.lRet, -1);
    EXPECT_EQ(st.strExtra.size(), 8u * 61u);
    EXPECT_EQ(st.strExtra.substr(7 * 61), std::string(60, 'h') + " ");
}

TEST(CheckIpAddr, Groups)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckIpAddr("10.0.0.1"), 0);
    EXPECT_EQ(CheckIpAddr("999.1.1.1"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckIpAddr("10.0.1"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ip address  error(i)\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckIpAddr("10..0.1"), -1);
    EXPECT_EQ(CheckIpAddr("1000.0.0.1"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ip address  error(j)\nip address  error(j)\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckIpAddr("10.0.0.1a"), -1);
    EXPECT_EQ(CheckIpAddr("10.0.0.1.2"), -1);
    EXPECT_EQ(CheckIpAddr("10.0.0.1234"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ip address  error(i)\nip address  error(i)\n");

    UPDATE_REQ_S stReq{};
    stReq.usTransType = TRANS_TYPE_LOCAL;
    EXPECT_EQ(CheckRemoteAddr(&stReq), 0);
    stReq.usTransType = TRANS_TYPE_TFTP2;
    testing::internal::CaptureStdout();
    CopyText(stReq.szRemote, "host.example");
    EXPECT_EQ(CheckRemoteAddr(&stReq), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "invalid remote address: host.example\n");
    stReq.szRemote[0] = '\0';
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckRemoteAddr(&stReq), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Update v2.01\n", 0), 0u);
}

TEST(GetPacketFileName, PathFlagAndTransfer)
{
    UPDATE_REQ_S stReq{};
    char szRemote[CMD_BUF_LEN];
    char szLocal[CMD_BUF_LEN];
    GetPacketFileName(&stReq, szRemote, szLocal);
    EXPECT_STREQ(szRemote, "Program.bin");
    EXPECT_STREQ(szLocal, "/tmp/Program.bin");
    stReq.usPathFlag = 1;
    CopyText(stReq.szPath, "fw/v2");
    GetPacketFileName(&stReq, szRemote, szLocal);
    EXPECT_STREQ(szRemote, "fw/v2/Program.bin");
    EXPECT_STREQ(szLocal, "/tmp/Program.bin");
    stReq.usTransType = TRANS_TYPE_LOCAL;
    GetPacketFileName(&stReq, szRemote, szLocal);
    EXPECT_STREQ(szLocal, "fw/v2/Program.bin");
    stReq.usPathFlag = 0;
    stReq.usTransType = TRANS_TYPE_CLOUD;
    GetPacketFileName(&stReq, szRemote, szLocal);
    EXPECT_STREQ(szRemote, "/tmp/Program.bin");
    stReq.usPathFlag = 1;
    memset(stReq.szPath, 'd', sizeof(stReq.szPath) - 1);
    GetPacketFileName(&stReq, szRemote, szLocal);
    EXPECT_EQ(strlen(szRemote), CMD_BUF_LEN - 1);
}

TEST(EncodeRelaunchArgs, Words)
{
    char sz[CMD_BUF_LEN] = {};
    AppendTypeWord(0x0001, 0, sz);
    AppendTypeWord(0x00A3, 0, sz);
    AppendTypeWord(0x0400, 0, sz);
    AppendTypeWord(0x0003, 0, sz);  // a combination is not encoded bit by bit
    AppendTypeWord(0x0003, 1, sz);
    AppendTypeWord(0x0010, 1, sz);
    EXPECT_STREQ(sz, "uImage all slaveprogram all ");
    sz[0] = '\0';
    AppendRebootWords(1, 1, sz);
    AppendRebootWords(0, 0, sz);
    EXPECT_STREQ(sz, " -f -r -w");

    UPDATE_REQ_S stReq{};
    stReq.usUpdateType = 0xA3 | 0x40;
    stReq.usForceFlag = 1;
    stReq.usRebootFlag = 0;
    sz[0] = '\0';
    EncodeRelaunchArgs(&stReq, "newoption ", sz);
    EXPECT_STREQ(sz, "all -f -w newoption ");
    stReq.usUpdateType = 0x40;
    stReq.usForceFlag = 0;
    stReq.usRebootFlag = 1;
    sz[0] = '\0';
    EncodeRelaunchArgs(&stReq, "", sz);
    EXPECT_STREQ(sz, "");
}
