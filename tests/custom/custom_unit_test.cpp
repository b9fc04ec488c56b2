// The archive's manufacturing-information adapter and the language
// configuration, on real files in a scratch directory of the build tree.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "custom/custom.h"
#include "custom/language.h"

namespace {

std::vector<std::string> g_vecScratch;

// Removes every scratch directory once all tests have run.
class ScratchCleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        for (const std::string &sDir : g_vecScratch) {
            std::error_code ec;
            std::filesystem::remove_all(sDir, ec);
        }
    }
};
const auto *g_pCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

std::string ScratchDir()
{
    std::string sDir = std::string(UPDATE_BINARY_DIR) + "/scratch";
    mkdir(sDir.c_str(), 0755);
    char szTemplate[512];
    snprintf(szTemplate, sizeof(szTemplate), "%s/custom-XXXXXX", sDir.c_str());
    const char *psz = mkdtemp(szTemplate);
    if (psz == nullptr) {
        ADD_FAILURE() << "mkdtemp " << szTemplate;
        return sDir;
    }
    g_vecScratch.emplace_back(psz);
    return psz;
}

void WriteFile(const std::string &sPath, const std::string &sData)
{
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out << sData;
}

std::string ReadFile(const std::string &sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Stands in for "cat /proc/env | grep KEY": the first line containing the key.
struct FAKE_ENV_S {
    std::string sEnv;
    int lCalls = 0;
};

int FakeEnvLookup(const char *pszKey, char *pszLine, size_t ulSize, void *pCtx)
{
    auto *pstEnv = static_cast<FAKE_ENV_S *>(pCtx);
    ++pstEnv->lCalls;
    std::istringstream in(pstEnv->sEnv);
    std::string sLine;
    while (std::getline(in, sLine)) {
        if (sLine.find(pszKey) != std::string::npos) {
            snprintf(pszLine, ulSize, "%s\n", sLine.c_str());
            return 0;
        }
    }
    return -1;
}

class AdaptTest : public ::testing::Test {
protected:
    std::string Adapt(const std::string &sSrc, FAKE_ENV_S &stEnv, int *plRet = nullptr)
    {
        std::string sDir = ScratchDir();
        WriteFile(sDir + "/src", sSrc);
        FILE *pSrc = fopen((sDir + "/src").c_str(), "r");
        int lFd = open((sDir + "/dst").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_TRUE(pSrc != nullptr && lFd >= 0);
        int lRet = AdaptManuInfoStream(pSrc, lFd, FakeEnvLookup, &stEnv);
        fclose(pSrc);
        close(lFd);
        if (plRet != nullptr) {
            *plRet = lRet;
        } else {
            EXPECT_EQ(lRet, 0);
        }
        return ReadFile(sDir + "/dst");
    }
};

TEST_F(AdaptTest, IdentityLinesComeFromTheDeviceAndTheRestStaysByteForByte)
{
    FAKE_ENV_S stEnv {"bootdelay=1\nDEVICE_SERIAL_NUMBER:DEV-0042\nMAC_ADDRESS:00:11:22:33:44:55\n"
                      "BOARD_SERIAL_NUMBER:B77\n"};
    std::string sSrc = "PRODUCT:NVR8\r\n"
                       "DEVICE_SERIAL_NUMBER:PKG-1\n"
                       "MAC_ADDRESS:ff:ff:ff:ff:ff:ff\n"
                       "VENDOR:x:y:MAC_ADDRESS\n"
                       "BOARD_SERIAL_NUMBER:PKG-B\n"
                       "\n"
                       "TAIL:no line end";
    std::string sOut = Adapt(sSrc, stEnv);
    EXPECT_EQ(sOut, "PRODUCT:NVR8\r\n"
                    "DEVICE_SERIAL_NUMBER:DEV-0042\n"
                    "MAC_ADDRESS:00:11:22:33:44:55\n"
                    "VENDOR:x:y:MAC_ADDRESS\n"
                    "BOARD_SERIAL_NUMBER:B77\n"
                    "\n"
                    "TAIL:no line end");
    EXPECT_EQ(stEnv.lCalls, 3);
}

TEST_F(AdaptTest, PrefixMatchMissingEntriesAndBinaryBytes)
{
    // MAC_ADDRESS2 begins with MAC_ADDRESS and is replaced by the device's
    // first MAC line; no BOARD entry on the device keeps the package's line;
    // a key that only contains a name further in is left alone.
    FAKE_ENV_S stEnv {"MAC_ADDRESS=aa:bb\nMAC_ADDRESS2=cc:dd\n"};
    std::string sSrc = std::string("MAC_ADDRESS2:1\n") + "BOARD_SERIAL_NUMBER:keep\n" + "X_MAC_ADDRESS:keep\n" +
                       std::string("BIN:\0\x01\xff\n", 8) + "DEVICE_SERIAL:short name stays\n";
    std::string sOut = Adapt(sSrc, stEnv);
    EXPECT_EQ(sOut, std::string("MAC_ADDRESS=aa:bb\n") + "BOARD_SERIAL_NUMBER:keep\n" + "X_MAC_ADDRESS:keep\n" +
                        std::string("BIN:\0\x01\xff\n", 8) + "DEVICE_SERIAL:short name stays\n");
    EXPECT_EQ(stEnv.lCalls, 2);
}

TEST_F(AdaptTest, LinesLongerThanTheBufferAreNeverSplitIntoKeys)
{
    FAKE_ENV_S stEnv {"MAC_ADDRESS:device\n"};
    // The second 511-byte piece of a long line starts with an identity name:
    // it is part of the line, not a line of its own.
    std::string sLong = "NOTE:" + std::string(506, 'a') + "MAC_ADDRESS:not a key" + std::string(700, 'b') + "\n";
    // An identity line longer than the buffer is replaced as a whole.
    std::string sLongKey = "MAC_ADDRESS:" + std::string(1200, 'c') + "\n";
    std::string sOut = Adapt(sLong + sLongKey + "END:1\n", stEnv);
    EXPECT_EQ(sOut, sLong + "MAC_ADDRESS:device\n" + "END:1\n");
    EXPECT_EQ(stEnv.lCalls, 1);
}

TEST_F(AdaptTest, DeviceLineWithoutLineEndOrTooLongKeepsLinesApart)
{
    FAKE_ENV_S stEnv {"MAC_ADDRESS:" + std::string(600, 'm') + "\n"};
    std::string sOut = Adapt("MAC_ADDRESS:pkg\nNEXT:1\n", stEnv);
    ASSERT_EQ(sOut.size(), 511U + 7U);
    EXPECT_EQ(sOut.substr(0, 510), ("MAC_ADDRESS:" + std::string(600, 'm')).substr(0, 510));
    EXPECT_EQ(sOut.substr(510), "\nNEXT:1\n");
}

TEST_F(AdaptTest, WriteFailureIsReported)
{
    FAKE_ENV_S stEnv;
    std::string sDir = ScratchDir();
    WriteFile(sDir + "/src", "A:1\n");
    FILE *pSrc = fopen((sDir + "/src").c_str(), "r");
    ASSERT_NE(pSrc, nullptr);
    int lFd = open("/dev/full", O_WRONLY);
    ASSERT_GE(lFd, 0);
    EXPECT_EQ(AdaptManuInfoStream(pSrc, lFd, FakeEnvLookup, &stEnv), -1);
    close(lFd);
    fclose(pSrc);
}

TEST(AdaptManuInfo, MissingSourceAndUnwritableDestinationFail)
{
    std::string sDir = ScratchDir();
    EXPECT_EQ(UPDATE_AdaptManuInfo((sDir + "/none.txt").c_str(), (sDir + "/out.txt").c_str()), -1);
    EXPECT_NE(access((sDir + "/out.txt").c_str(), F_OK), 0);
    WriteFile(sDir + "/in.txt", "A:1\n");
    EXPECT_EQ(UPDATE_AdaptManuInfo((sDir + "/in.txt").c_str(), (sDir + "/no/such/dir/out.txt").c_str()), -1);
}

TEST(AdaptManuInfo, LinkAtTheDestinationIsReplacedNotWrittenThrough)
{
    std::string sDir = ScratchDir();
    WriteFile(sDir + "/in.txt", "PRODUCT:1\n");
    WriteFile(sDir + "/victim", "untouched");
    ASSERT_EQ(symlink((sDir + "/victim").c_str(), (sDir + "/out.txt").c_str()), 0);
    EXPECT_EQ(UPDATE_AdaptManuInfo((sDir + "/in.txt").c_str(), (sDir + "/out.txt").c_str()), 0);
    EXPECT_EQ(ReadFile(sDir + "/victim"), "untouched");
    EXPECT_EQ(ReadFile(sDir + "/out.txt"), "PRODUCT:1\n");
}

TEST(Language, TableNamesAndBits)
{
    EXPECT_STREQ(GetLanguageName(0), "ZH");
    EXPECT_STREQ(GetLanguageName(1), "EN");
    EXPECT_STREQ(GetLanguageName(23), "DU");
    EXPECT_STREQ(GetLanguageName(33), "KK");
    EXPECT_STREQ(GetLanguageName(35), "PT_BR");
    EXPECT_STREQ(GetLanguageName(36), "");
    EXPECT_STREQ(GetLanguageName(127), "");
    EXPECT_STREQ(GetLanguageName(255), "");

    const uint32_t aulSet[LANG_WORDS] = {0x3, 0x2, 0, 0x80000000U};
    EXPECT_EQ(LangBitIsSet(aulSet, 0), 1);
    EXPECT_EQ(LangBitIsSet(aulSet, 1), 1);
    EXPECT_EQ(LangBitIsSet(aulSet, 2), 0);
    EXPECT_EQ(LangBitIsSet(aulSet, 33), 1);
    EXPECT_EQ(LangBitIsSet(aulSet, 32), 0);
    EXPECT_EQ(LangBitIsSet(aulSet, 127), 1);
    const uint32_t aulAll[LANG_WORDS] = {~0U, ~0U, ~0U, ~0U};
    EXPECT_EQ(LangBitIsSet(aulAll, 128), 0);
    EXPECT_EQ(LangBitIsSet(aulAll, 255), 0);

    EXPECT_EQ(IsAllZero(aulSet, 0), 1);
    const uint32_t aulZero[LANG_WORDS] = {};
    EXPECT_EQ(IsAllZero(aulZero, LANG_WORDS), 1);
    EXPECT_EQ(IsAllZero(aulSet, 1), 0);
    const uint32_t aulLast[LANG_WORDS] = {0, 0, 0, 1};
    EXPECT_EQ(IsAllZero(aulLast, 3), 1);
    EXPECT_EQ(IsAllZero(aulLast, 4), 0);
}

TEST(Language, ParseNumList)
{
    uint32_t aul[LANG_WORDS] = {};
    ParseNumList("3,0,7,9,11", LANG_WORDS, aul);
    EXPECT_EQ(aul[0], 3U);
    EXPECT_EQ(aul[2], 7U);
    EXPECT_EQ(aul[3], 9U);

    uint32_t aulSkip[LANG_WORDS] = {};
    ParseNumList(",,5,,4294967295,", LANG_WORDS, aulSkip);
    EXPECT_EQ(aulSkip[0], 5U);
    EXPECT_EQ(aulSkip[1], 4294967295U);
    EXPECT_EQ(aulSkip[2], 0U);

    uint32_t aulBig[2] = {};
    ParseNumList("99999999999999999999999,4294967296", 2, aulBig);
    EXPECT_EQ(aulBig[0], 0xFFFFFFFFU);
    EXPECT_EQ(aulBig[1], 0xFFFFFFFFU);

    uint32_t aulMax[3] = {7, 7, 7};
    ParseNumList("1,2,3", 2, aulMax);
    EXPECT_EQ(aulMax[2], 7U);
    ParseNumList(nullptr, 2, aulMax);
    ParseNumList("1", 2, nullptr);
    EXPECT_EQ(aulMax[0], 1U);
}

class XmlTest : public ::testing::Test {
protected:
    int Read(const std::string &sXml, uint32_t aulSupport[LANG_WORDS], uint8_t *pucDefault)
    {
        std::string sPath = ScratchDir() + "/devcap.xml";
        WriteFile(sPath, sXml);
        FILE *pFile = fopen(sPath.c_str(), "r");
        EXPECT_NE(pFile, nullptr);
        int lRet = ReadXmlLanguage(pFile, aulSupport, pucDefault);
        fclose(pFile);
        return lRet;
    }
    static std::string Doc(const std::string &sSupport, const std::string &sCurrent)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DevCap>\n <Video Channels=\"8\"/>\n"
               " <Custom><ACustomCfg Vendor=\"x\" SupportLanguage=\"" +
               sSupport + "\"/></Custom>\n <Ui><CurLanguage>" + sCurrent + "</CurLanguage></Ui>\n</DevCap>\n";
    }
};

TEST_F(XmlTest, AcceptedDefaults)
{
    struct {
        const char *pszSupport;
        const char *pszCurrent;
        uint32_t aulWords[LANG_WORDS];
        uint8_t ucDefault;
    } astCases[] = {
        {"3,0,0,0", "1", {3, 0, 0, 0}, 1},
        {"0,2", "33", {0, 2, 0, 0}, 33},
        {"1", "256", {1, 0, 0, 0}, 0},
        {"0,0,1", " 64 ", {0, 0, 1, 0}, 64},
        {"0,0,0,2147483648", "127", {0, 0, 0, 0x80000000U}, 127},
    };
    for (const auto &stCase : astCases) {
        SCOPED_TRACE(stCase.pszSupport);
        uint32_t aulOut[LANG_WORDS] = {9, 9, 9, 9};
        uint8_t ucOut = 200;
        ASSERT_EQ(Read(Doc(stCase.pszSupport, stCase.pszCurrent), aulOut, &ucOut), 0);
        EXPECT_EQ(ucOut, stCase.ucDefault);
        for (unsigned i = 0; i < LANG_WORDS; ++i) {
            EXPECT_EQ(aulOut[i], stCase.aulWords[i]);
        }
    }
}

TEST_F(XmlTest, RefusedDocumentsLeaveTheOutputsAlone)
{
    const std::string astDocs[] = {
        Doc("3", "33"),                          // default not supported
        Doc("3", ""),                            // empty default stays 255
        Doc("", "1"),                            // empty set
        "<?xml version=\"1.0\"?><DevCap><Other/></DevCap>",  // neither node
        "<?xml version=\"1.0\"?><DevCap><ACustomCfg/><CurLanguage/></DevCap>",
        "",                                      // no document at all
        "<<<not xml",
        std::string(4096, '<'),
    };
    for (const std::string &sDoc : astDocs) {
        SCOPED_TRACE(sDoc.substr(0, 60));
        uint32_t aulOut[LANG_WORDS] = {9, 9, 9, 9};
        uint8_t ucOut = 200;
        EXPECT_EQ(Read(sDoc, aulOut, &ucOut), -1);
        EXPECT_EQ(ucOut, 200);
        EXPECT_EQ(aulOut[0], 9U);
    }
}

TEST_F(XmlTest, ElementsAtTheTopOfADocumentWithoutDeclaration)
{
    uint32_t aulOut[LANG_WORDS] = {};
    uint8_t ucOut = 0;
    ASSERT_EQ(Read("<ACustomCfg SupportLanguage=\"0,,2\"/>\n<CurLanguage>\n 33 \n</CurLanguage>", aulOut, &ucOut), 0);
    EXPECT_EQ(ucOut, 33);
    EXPECT_EQ(aulOut[1], 2U);
}

TEST_F(XmlTest, DeepNestingDoesNotCrash)
{
    std::string sDoc = "<?xml version=\"1.0\"?>";
    for (int i = 0; i < 20000; ++i) {
        sDoc += "<a>";
    }
    sDoc += "<ACustomCfg SupportLanguage=\"2\"/><CurLanguage>1</CurLanguage>";
    for (int i = 0; i < 20000; ++i) {
        sDoc += "</a>";
    }
    uint32_t aulOut[LANG_WORDS] = {};
    uint8_t ucOut = 0;
    EXPECT_EQ(Read(sDoc, aulOut, &ucOut), 0);
    EXPECT_EQ(ucOut, 1);
}

TEST(LanguageCfg, FileTextWithCrLf)
{
    struct {
        uint32_t aulWords[LANG_WORDS];
        uint8_t ucDefault;
        const char *pszText;
    } astCases[] = {
        {{3, 0, 0, 0}, 1, "@@\r\nE_CONFIG_VER:1.00\r\nDEFAULT_LANGUAGE:EN\r\nSUPPORT_LANGUAGE:3,0,0,0\r\n$$\r\n"},
        {{0, 2, 0, 0}, 33, "@@\r\nE_CONFIG_VER:1.00\r\nDEFAULT_LANGUAGE:KK\r\nSUPPORT_LANGUAGE:0,2,0,0\r\n$$\r\n"},
        {{0, 0, 0, 0x80000000U}, 127,
         "@@\r\nE_CONFIG_VER:1.00\r\nDEFAULT_LANGUAGE:\r\nSUPPORT_LANGUAGE:0,0,0,80000000\r\n$$\r\n"},
        {{0xABCDEF01U, 0, 0, 0}, 255, "@@\r\nE_CONFIG_VER:1.00\r\nSUPPORT_LANGUAGE:abcdef01,0,0,0\r\n$$\r\n"},
        {{0, 0, 0, 0}, 35, "@@\r\nE_CONFIG_VER:1.00\r\nDEFAULT_LANGUAGE:PT_BR\r\n$$\r\n"},
    };
    for (const auto &stCase : astCases) {
        char szBuf[256] = {};
        FILE *pMem = fmemopen(szBuf, sizeof(szBuf), "w");
        ASSERT_NE(pMem, nullptr);
        EXPECT_EQ(WriteLanguageCfg(pMem, stCase.aulWords, stCase.ucDefault), 0);
        fclose(pMem);
        EXPECT_STREQ(szBuf, stCase.pszText);
    }
}

} // namespace
