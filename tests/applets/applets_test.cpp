#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "applets/applets.h"
#include "applets/child_run.h"
#include "applets/flashcp.h"

namespace {

const std::string FLASHCP_USAGE = "Usage: flashcp [-v] -g file_offset -l file_length -o flash_offset\n";

std::string ReadFileBytes(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class AppletsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strDir = MakeScratchDir("applets");
        ASSERT_FALSE(m_strDir.empty());
        m_strSrc = m_strDir + "/src.bin";
        WriteFileBytes(m_strSrc, std::string(20000, 's'));
    }
    std::string m_strDir;
    std::string m_strSrc;
};

void ExpectFailure(const ChildResult &stRes, const std::string &strErr)
{
    EXPECT_EQ(stRes.iStatus, 1);
    EXPECT_EQ(stRes.strErr, strErr);
    EXPECT_EQ(stRes.strOut, "");
}

TEST_F(AppletsTest, FlashcpUsageForBadCommandLines)
{
    const std::vector<std::vector<std::string>> vecCases = {
        {"flashcp", "-h"},
        {"flashcp", "-v", m_strSrc, "/dev/null"},         // shown in the usage text, not accepted
        {"flashcp", "-x", m_strSrc, "/dev/null"},         // unknown option
        {"flashcp", m_strSrc, "/dev/null", "-g"},         // option without its value
        {"flashcp", "-g", "0", "-l", "16", "-o", "0"},    // no operands
        {"flashcp", "-g", "0", "-l", "16", m_strSrc},     // device missing
        {"flashcp"},
    };
    for (const auto &vecArgs : vecCases) {
        SCOPED_TRACE(vecArgs.size() > 1 ? vecArgs[1] : "none");
        ExpectFailure(RunUpdate(vecArgs), FLASHCP_USAGE);
    }
}

TEST_F(AppletsTest, FlashcpOptionValues)
{
    // The parsed operands point into the words, so every word list is kept.
    std::list<std::vector<std::string>> lstKeep;
    auto Parse = [&lstKeep](std::vector<std::string> vecIn, FLASHCP_OPTS_S *pstOpts) {
        std::vector<std::string> &vecWords = lstKeep.emplace_back(std::move(vecIn));
        std::vector<char *> vecArgv;
        for (std::string &str : vecWords) {
            vecArgv.push_back(str.data());
        }
        vecArgv.push_back(nullptr);
        return FlashcpParseOptions((int)vecWords.size(), vecArgv.data(), pstOpts);
    };
    FLASHCP_OPTS_S stOpts;
    ASSERT_EQ(Parse({"flashcp", "-g", "0x10", "-l", "010", "-o", "20", "f", "d"}, &stOpts), 0);
    EXPECT_EQ(stOpts.ulFileOffset, 16u);
    EXPECT_EQ(stOpts.ulLength, 8u);
    EXPECT_EQ(stOpts.ulFlashOffset, 20u);
    EXPECT_STREQ(stOpts.pszFile, "f");
    EXPECT_STREQ(stOpts.pszDev, "d");

    // Any order; wide values keep their low 32 bits; a repeated option wins last.
    ASSERT_EQ(Parse({"flashcp", "-o", "0x1FFFFFFFF", "-l", "4294967297", "-g", "0X20", "-g", "0x7", "f", "d"}, &stOpts),
              0);
    EXPECT_EQ(stOpts.ulFlashOffset, 0xFFFFFFFFu);
    EXPECT_EQ(stOpts.ulLength, 1u);
    EXPECT_EQ(stOpts.ulFileOffset, 7u);

    // Without options every value is 0 (length 0 means the file's size).
    ASSERT_EQ(Parse({"flashcp", "f", "d"}, &stOpts), 0);
    EXPECT_EQ(stOpts.ulFileOffset, 0u);
    EXPECT_EQ(stOpts.ulLength, 0u);
    EXPECT_EQ(stOpts.ulFlashOffset, 0u);

    // A value word is taken whatever it looks like; the parse state starts over
    // on every call.
    ASSERT_EQ(Parse({"flashcp", "-l", "-g", "f", "d"}, &stOpts), 0);
    EXPECT_EQ(stOpts.ulLength, 0u);
    EXPECT_EQ(stOpts.ulFileOffset, 0u);
    EXPECT_EQ(Parse({"flashcp", "-l"}, &stOpts), -1);
    EXPECT_EQ(Parse({"flashcp", "only-one"}, &stOpts), -1);
}

TEST_F(AppletsTest, FlashcpRefusesWhatIsNotMtd)
{
    // A regular file as the device: refused before anything is erased or written.
    std::string strDev = m_strDir + "/mtd3";
    std::string strDevBefore(70000, '\x5a');
    WriteFileBytes(strDev, strDevBefore);
    ExpectFailure(RunUpdate({"flashcp", "-g", "0", "-l", "20000", "-o", "0", m_strSrc, strDev}),
                  "update: " + strDev + " is not a MTD flash device\n");
    EXPECT_EQ(ReadFileBytes(strDev), strDevBefore);

    ExpectFailure(RunUpdate({"flashcp", m_strSrc, "/dev/null"}), "update: /dev/null is not a MTD flash device\n");

    std::string strMissing = m_strDir + "/nothing";
    ExpectFailure(RunUpdate({"flashcp", strMissing, strDev}),
                  "update: can't open '" + strMissing + "' (error No such file or directory)\n");
    ExpectFailure(RunUpdate({"flashcp", m_strSrc, strMissing}),
                  "update: can't open '" + strMissing + "' (error No such file or directory)\n");
}

TEST_F(AppletsTest, FlashEraseallRefusesWhatIsNotMtd)
{
    ChildResult stRes = RunUpdate({"flash_eraseall"});
    EXPECT_EQ(stRes.iStatus, 1);
    EXPECT_EQ(stRes.strErr, "Usage: flash_eraseall MTD_DEVICE\n");

    std::string strFile = m_strDir + "/mtd3";
    WriteFileBytes(strFile, std::string(4096, 'f'));
    ExpectFailure(RunUpdate({"flash_eraseall", strFile}), "update: " + strFile + ": not a char device\n");
    EXPECT_EQ(ReadFileBytes(strFile), std::string(4096, 'f'));

    ExpectFailure(RunUpdate({"flash_eraseall", "/dev/null"}),
                  "update: ioctl 0x80204d01 failed (error Inappropriate ioctl for device)\n");

    std::string strMissing = m_strDir + "/nothing";
    ExpectFailure(RunUpdate({"flash_eraseall", strMissing}),
                  "update: can't open '" + strMissing + "' (error No such file or directory)\n");

    // A block device: a node of our own for the first loop device, refused on
    // its file type alone (the check comes before any ioctl).
    std::string strBlock = m_strDir + "/blockdev";
    if (mknod(strBlock.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) {
        GTEST_SKIP() << "cannot create a block device node: " << strerror(errno);
    }
    stRes = RunUpdate({"flash_eraseall", strBlock});
    if (stRes.strErr.find("can't open") != std::string::npos) {
        GTEST_SKIP() << "block device node not usable here: " << stRes.strErr;
    }
    ExpectFailure(stRes, "update: " + strBlock + ": not a char device\n");
}

} // namespace
