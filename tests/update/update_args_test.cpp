// The command line, the address check, the package name and the words of a relaunch.
#include <cstring>
#include <map>
#include <sstream>

#include "include/flash_layout.h"
#include "include/text_util.h"
#include "support/sandbox_run.h"
#include "update/update_args.h"

namespace {
// Parses "update WORDS..." and gives the fields named in want ("key=value;"
// each, as the numbers or texts of the request) in the same form.
std::string Fields(std::vector<std::string> words, const std::string &want)
{
    EXPECT_EQ(GetFlashLayout(&g_pstFlashLayout), 0);
    words.insert(words.begin(), "update");
    UPDATE_REQ_S st {};
    char szExtra[EXTRA_ARGS_LEN] = {};
    const int lRet = ParseUpdateArgs(static_cast<int>(words.size()), Argv(words).data(), &st, szExtra);
    const std::map<std::string, std::string> fields = {
        {"ret", std::to_string(lRet)}, {"type", std::to_string(st.usUpdateType)},
        {"trans", std::to_string(st.usTransType)}, {"show", std::to_string(st.usShowInfo)},
        {"force", std::to_string(st.usForceFlag)}, {"reboot", std::to_string(st.usRebootFlag)},
        {"check", std::to_string(st.usCheckFlag)}, {"fix", std::to_string(st.usFixValue)}, {"remote", st.szRemote},
        {"user", st.szUser}, {"password", st.szPassword}, {"path", st.szPath}, {"url", st.szUrl}, {"extra", szExtra}};
    std::string out;
    std::istringstream in(want);
    for (std::string item; std::getline(in, item, ';');) {
        const std::string key = item.substr(0, item.find('='));
        out += key + "=" + fields.at(key) + ";";
    }
    return out;
}
} // namespace

// -tftp, -ftp, -u, -p, -wait, -check, -f, -P, -local and -mycloud with their
// values are proven by the board's runs; the defaults, long forms, count
// rules, type words and cuts are not. A refusal by a count rule comes before
// any word is looked at (nothing extra).
TEST(ParseUpdateArgs, OptionsCountRulesTypeWordsAndCuts)
{
    std::vector<std::string> ftp13 = {"-ftp", "1.1.1.1"}, many = {"-local", "/x"};
    ftp13.resize(13, "all");
    std::vector<std::string> ftp14 = ftp13;
    ftp14.push_back("all");
    // Unknown words that do not all fit the extra buffer are refused, none left out.
    for (char c = 'a'; c < 'k'; ++c) {
        many.push_back(std::string(60, c));
    }
    const std::pair<std::vector<std::string>, std::string> astCases[] = {
        {{"-tftp", "10.0.0.1", "all"}, "ret=0;user=admin;password=qzvrk;"},
        {{"-ftp", "1.2.3.4", "program", "-username", "bob", "-password", "pw", "-force", "-c", "-path", "d"},
         "ret=0;user=bob;password=pw;force=1;check=1;path=d;type=66;"},
        // The last of -wait and -local decides the reboot flag.
        {{"-local", "/mnt", "-w", "uImage"}, "reboot=0;"},
        {{"-w", "-local", "/mnt", "uImage"}, "trans=" + std::to_string(TRANS_TYPE_LOCAL) + ";reboot=1;path=/mnt;"},
        {{"all", "-tftp", "10.0.0.1"}, "remote=10.0.0.1;"},  // no count rule when argv[1] is a type word
        {{"-tftp", "10.0.0.1"}, "ret=-1;extra=;"},
        {{"-tftp", "1.1.1.1", "a", "b", "c", "d", "e", "f", "g", "h"}, "ret=-1;extra=;"},
        {ftp13, "ret=0;"},
        {ftp14, "ret=-1;extra=;"},
        {{"-fix", "1"}, "ret=0;fix=1;"},
        {{"-fix", "1", "x"}, "ret=-1;extra=;"},
        {{"-web"}, "ret=-1;extra=;"},
        {{"-web", "x"}, "extra=-web x ;"},  // passes its count rule but is no word of this parser
        {{"-mycloud", "u"}, "ret=-1;extra=;"},
        {{"-v"}, "show=" + std::to_string(SHOW_INFO_FULL) + ";"},
        {{"-i"}, "show=" + std::to_string(SHOW_INFO_INNER) + ";"},
        {{"-loop"}, "type=0;"},
        {{"-v", "all"}, "type=163;"},  // an update, not a report
        {{"all", "-v"}, "type=0;"},
        // Components this layout lacks add nothing; the hand-over bit comes anyway.
        {{"-tftp", "10.0.0.1", "tvconfig", "slaveuboot", "slavekernel", "slaveprogram"}, "type=64;"},
        {{"-tftp", "10.0.0.1", "u-boot.bin", "config.img", "activex.img", "uImage"}, "type=109;"},
        {{"-tftp", "10.0.0.1", "All", "newoption"}, "ret=-1;extra=All newoption ;"},  // case-sensitive
        {{"-ftp", std::string(50, '1'), "all", "-u", std::string(40, 'u'), "-P", std::string(600, 'd')},
         "remote=" + std::string(31, '1') + ";user=" + std::string(31, 'u') + ";path=" + std::string(511, 'd') + ";"},
        {{"-mycloud", std::string(300, 'h'), "all"}, "url=" + std::string(255, 'h') + ";"},
        // A value option standing last is refused outright, never read past the vector.
        {{"-tftp", "10.0.0.1", "all", "-p"}, "ret=" + std::to_string(ARGS_REFUSED) + ";extra=;password=qzvrk;"},
        {many, "ret=" + std::to_string(ARGS_REFUSED) + ";extra=;"},
    };
    for (const auto &[words, want] : astCases) {
        EXPECT_EQ(Fields(words, want), want) << words.size() << " words after " << words[0];
    }
}

TEST(CheckIpAddr, GroupsAndMessages)
{
    const std::tuple<const char *, int, const char *> astCases[] = {  // address, result, output
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
    for (const auto &[pszAddr, lRet, pszOut] : astCases) {
        EXPECT_EQ(Printed([&] { return CheckIpAddr(pszAddr); }), Result(lRet, pszOut)) << pszAddr;
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
    AppendTypeWord(0x0800, 0, sz);
    EXPECT_STREQ(sz, "uImage slaveprogram all tvconfig ");
    sz[0] = '\0';
    AppendRebootWords(1, 1, sz);
    AppendRebootWords(0, 0, sz);
    EXPECT_STREQ(sz, " -f -r -w");

    UPDATE_REQ_S stReq {};
    stReq.usUpdateType = 0xA3 | 0x40;
    stReq.usForceFlag = 1;
    sz[0] = '\0';
    EXPECT_EQ(EncodeRelaunchArgs(&stReq, "newoption ", sz), 0);
    EXPECT_STREQ(sz, "all -f -w newoption ");
    // What does not fit is refused, never cut. (That every component asked for
    // and -check go along is the fuzz target's round trip.)
    EXPECT_EQ(EncodeRelaunchArgs(&stReq, std::string(500, 'x').c_str(), sz), -1);
    EXPECT_STREQ(sz, "all -f -w newoption ");
}
