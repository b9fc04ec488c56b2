// The manufacturing-information adapter and the language configuration on real files.
#include <fcntl.h>
#include <unistd.h>

#include <sstream>

#include "custom/custom.h"
#include "custom/language.h"
#include "support/sandbox_run.h"

namespace {

using namespace std::string_literals;

// Stands in for "cat /proc/env | grep KEY": the first line containing the key.
struct FAKE_ENV_S { std::string sEnv; int lCalls = 0; };

int FakeEnvLookup(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx)
{
    auto *pstEnv = static_cast<FAKE_ENV_S *>(pCtx);
    ++pstEnv->lCalls;
    std::istringstream in(pstEnv->sEnv);
    for (std::string sLine; std::getline(in, sLine);) {
        if (sLine.find(pszKey) != std::string::npos) {
            snprintf(pszLine, ulSize, "%s\n", sLine.c_str());
            return 0;
        }
    }
    return -1;
}

// Adapts sSrc into a file (or pszDst), expects lWant and returns the file's bytes.
std::string Adapt(const std::string &sSrc, FAKE_ENV_S &stEnv, const char *pszDst = nullptr, int lWant = 0)
{
    std::string sDir = TestDir();
    WriteFile(sDir + "/src", sSrc);
    FILE *pSrc = fopen((sDir + "/src").c_str(), "r");
    int lFd = open(pszDst != nullptr ? pszDst : (sDir + "/dst").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_TRUE(pSrc != nullptr && lFd >= 0);
    EXPECT_EQ(AdaptManuInfoStream(pSrc, lFd, FakeEnvLookup, &stEnv), lWant);
    fclose(pSrc);
    close(lFd);
    return ReadFile(sDir + "/dst");
}

// MAC_ADDRESS2 begins with MAC_ADDRESS and gets the device's first MAC line;
// a key holding a name further in and a short name are kept. Lines longer
// than the 511-byte buffer are never split into keys.
TEST(Adapt, IdentityLinesComeFromTheDeviceAndTheRestStaysByteForByte)
{
    const std::string sKept = "VENDOR:x:y:MAC_ADDRESS\nX_MAC_ADDRESS:k\nBIN:\0\x01\xff\nDEVICE_SERIAL:short\n\n"s;
    // The second piece of this line starts with an identity name.
    const std::string sLong = "NOTE:" + std::string(506, 'a') + "MAC_ADDRESS:not a key" + std::string(700, 'b') + "\n";
    const std::tuple<std::string, std::string, std::string, int> astCases[] = {  // device, package, adapted, lookups
        {"DEVICE_SERIAL_NUMBER:DEV-0042\nMAC_ADDRESS:00:11\nMAC_ADDRESS2=cc\nBOARD_SERIAL_NUMBER:B7\n",
         "PRODUCT:NVR8\r\nDEVICE_SERIAL_NUMBER:PKG-1\nMAC_ADDRESS2:ff\n" + sKept + "BOARD_SERIAL_NUMBER:P\nEND",
         "PRODUCT:NVR8\r\nDEVICE_SERIAL_NUMBER:DEV-0042\nMAC_ADDRESS:00:11\n" + sKept + "BOARD_SERIAL_NUMBER:B7\nEND", 3},
        // An identity line longer than the buffer is replaced as a whole.
        {"MAC_ADDRESS:device\n", sLong + "MAC_ADDRESS:" + std::string(1200, 'c') + "\nEND:1\n",
         sLong + "MAC_ADDRESS:device\nEND:1\n", 1},
        // A device line cut at the buffer still ends before the next line.
        {"MAC_ADDRESS:" + std::string(600, 'm') + "\n", "MAC_ADDRESS:pkg\nNEXT:1\n",
         "MAC_ADDRESS:" + std::string(498, 'm') + "\nNEXT:1\n", 1},
    };
    for (const auto &[sDevice, sPackage, sWant, lCalls] : astCases) {
        FAKE_ENV_S stEnv {sDevice};
        EXPECT_EQ(Adapt(sPackage, stEnv), sWant);
        EXPECT_EQ(stEnv.lCalls, lCalls);
    }
}

TEST(Adapt, FailuresAreReportedAndALinkAtTheDestinationIsReplaced)
{
    FAKE_ENV_S stEnv;
    Adapt("A:1\n", stEnv, "/dev/full", -1);

    std::string sDir = TestDir(), sIn = sDir + "/in.txt", sOut = sDir + "/out.txt";
    EXPECT_EQ(UPDATE_AdaptManuInfo((sDir + "/none.txt").c_str(), sOut.c_str()), -1);
    EXPECT_NE(access(sOut.c_str(), F_OK), 0);
    WriteFile(sIn, "PRODUCT:1\n");
    EXPECT_EQ(UPDATE_AdaptManuInfo(sIn.c_str(), (sDir + "/no/such/dir/out.txt").c_str()), -1);

    WriteFile(sDir + "/victim", "untouched");
    ASSERT_EQ(symlink((sDir + "/victim").c_str(), sOut.c_str()), 0);
    EXPECT_EQ(UPDATE_AdaptManuInfo(sIn.c_str(), sOut.c_str()), 0);
    EXPECT_EQ(ReadFile(sDir + "/victim"), "untouched");
    EXPECT_EQ(ReadFile(sOut), "PRODUCT:1\n");
}

TEST(Language, BitsOutOfRangeSaturatingNumbersAndFileText)
{
    const uint32_t aulAll[LANG_WORDS] = {~0U, ~0U, ~0U, ~0U};
    EXPECT_EQ(LangBitIsSet(aulAll, 127), 1);
    EXPECT_EQ(LangBitIsSet(aulAll, 128) | LangBitIsSet(aulAll, 255), 0);
    EXPECT_STREQ(GetLanguageName(255), "");

    uint32_t aul[3] = {7, 7, 7};
    ParseNumList(",99999999999999999999999,4294967296,9", 2, aul);
    EXPECT_EQ(std::vector<uint32_t>(aul, aul + 3), std::vector<uint32_t>({0xFFFFFFFFU, 0xFFFFFFFFU, 7U}));
    // Forty leading zeros do not cut the number short.
    ParseNumList("   0000000000000000000000000000000000000000123,5", 2, aul);
    EXPECT_EQ(std::vector<uint32_t>(aul, aul + 2), std::vector<uint32_t>({123U, 5U}));
    ParseNumList(nullptr, 2, aul);
    ParseNumList("1", 2, nullptr);

    // No default with hexadecimal words, and a default with no words set.
    const uint32_t aulHex[LANG_WORDS] = {0xABCDEF01U, 0, 0, 0}, aulNone[LANG_WORDS] = {};
    for (const auto &[pulWords, ucDefault, pszBody] :
         {std::tuple(aulHex, 255, "SUPPORT_LANGUAGE:abcdef01,0,0,0\r\n"), std::tuple(aulNone, 35, "DEFAULT_LANGUAGE:PT_BR\r\n")}) {
        char szBuf[256] = {};
        FILE *pMem = fmemopen(szBuf, sizeof(szBuf), "w");
        ASSERT_NE(pMem, nullptr);
        EXPECT_EQ(WriteLanguageCfg(pMem, pulWords, ucDefault), 0);
        fclose(pMem);
        EXPECT_EQ(std::string(szBuf), "@@\r\nE_CONFIG_VER:1.00\r\n"s + pszBody + "$$\r\n");
    }
}

std::string Doc(const std::string &sSupport, const std::string &sCurrent)
{
    return "<?xml version=\"1.0\"?>\n<DevCap>\n <Video Channels=\"8\"/>\n <Custom><ACustomCfg Vendor=\"x\" "
           "SupportLanguage=\"" + sSupport + "\"/></Custom>\n <Ui><CurLanguage>" + sCurrent +
           "</CurLanguage></Ui>\n</DevCap>\n";
}

// A default outside the support list, documents without the nodes and
// malformed ones are proven with their messages by the sandboxed system test.
TEST(Xml, DefaultsAndRefusedDocuments)
{
    std::string sOpen, sClose;
    for (int i = 0; i < 20000; ++i) {
        sOpen += "<a>";
        sClose += "</a>";
    }
    // The document, then "result default words" (200 and 9s: left untouched).
    const std::pair<std::string, const char *> astCases[] = {
        {Doc("0,0,1", " 64 "), "0 64 0,0,1,0"},
        {Doc("0,0,0,2147483648", "127"), "0 127 0,0,0,2147483648"},
        {"<ACustomCfg SupportLanguage=\"0,,2\"/>\n<CurLanguage>\n 33 \n</CurLanguage>", "0 33 0,2,0,0"},
        {sOpen + "<ACustomCfg SupportLanguage=\"2\"/><CurLanguage>1</CurLanguage>" + sClose, "0 1 2,0,0,0"},
        {"<?xml version=\"1.0\"?><DevCap><ACustomCfg/><CurLanguage/></DevCap>", "-1 200 9,9,9,9"},
        {"", "-1 200 9,9,9,9"},
    };
    for (const auto &[sDoc, pszWant] : astCases) {
        std::string sPath = TestDir() + "/devcap.xml";
        WriteFile(sPath, sDoc);
        FILE *pFile = fopen(sPath.c_str(), "r");
        ASSERT_NE(pFile, nullptr);
        uint32_t aul[LANG_WORDS] = {9, 9, 9, 9};
        uint8_t ucDefault = 200;
        int lRet = ReadXmlLanguage(pFile, aul, &ucDefault);
        fclose(pFile);
        char szGot[80];
        snprintf(szGot, sizeof(szGot), "%d %u %u,%u,%u,%u", lRet, ucDefault, aul[0], aul[1], aul[2], aul[3]);
        EXPECT_EQ(std::string(szGot), pszWant) << sDoc.substr(0, 100);
    }
}

} // namespace
