#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <list>

#include "applets/applets.h"
#include "applets/child_run.h"
#include "applets/flashcp.h"

namespace {

TEST(AppletsTest, FlashcpUsageForBadCommandLines)
{
    const std::vector<std::vector<std::string>> vecCases = {
        {"flashcp", "-h"},
        {"flashcp", "-v", "src", "/dev/null"},         // shown in the usage text, not accepted
        {"flashcp", "-x", "src", "/dev/null"},         // unknown option
        {"flashcp", "src", "/dev/null", "-g"},         // option without its value
        {"flashcp", "-g", "0", "-l", "16", "-o", "0"}, // no operands
        {"flashcp", "-g", "0", "-l", "16", "src"},     // device missing
        {"flashcp"},
    };
    for (const auto &vecArgs : vecCases) {
        SCOPED_TRACE(vecArgs.size() > 1 ? vecArgs[1] : "none");
        ExpectFailure(RunUpdate(vecArgs), "Usage: flashcp [-v] -g file_offset -l file_length -o flash_offset\n");
    }
}

TEST(AppletsTest, FlashcpOptionValues)
{
    // The parsed operands point into the words, so every word list is kept.
    std::list<std::vector<std::string>> lstKeep;
    FLASHCP_OPTS_S stOpts;
    auto Parse = [&](std::vector<std::string> vecIn) {
        std::vector<char *> vecArgv;
        for (std::string &str : lstKeep.emplace_back(std::move(vecIn))) {
            vecArgv.push_back(str.data());
        }
        vecArgv.push_back(nullptr);
        return FlashcpParseOptions((int)vecArgv.size() - 1, vecArgv.data(), &stOpts);
    };
    auto Values = [&]() { return std::vector<uint32_t>{stOpts.ulFileOffset, stOpts.ulLength, stOpts.ulFlashOffset}; };
    ASSERT_EQ(Parse({"flashcp", "-g", "0x10", "-l", "010", "-o", "20", "f", "d"}), 0);
    EXPECT_EQ(Values(), (std::vector<uint32_t>{16, 8, 20}));
    EXPECT_STREQ(stOpts.pszFile, "f");
    EXPECT_STREQ(stOpts.pszDev, "d");
    // Any order; wide values keep their low 32 bits; a repeated option wins last.
    ASSERT_EQ(Parse({"flashcp", "-o", "0x1FFFFFFFF", "-l", "4294967297", "-g", "0X20", "-g", "0x7", "f", "d"}), 0);
    EXPECT_EQ(Values(), (std::vector<uint32_t>{7, 1, 0xFFFFFFFFu}));
    // Without options every value is 0 (length 0 means the file's size).
    ASSERT_EQ(Parse({"flashcp", "f", "d"}), 0);
    EXPECT_EQ(Values(), (std::vector<uint32_t>{0, 0, 0}));
    // A value word is taken whatever it looks like; the parse state starts over on every call.
    ASSERT_EQ(Parse({"flashcp", "-l", "-g", "f", "d"}), 0);
    EXPECT_EQ(Values(), (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(Parse({"flashcp", "-l"}), -1);
    EXPECT_EQ(Parse({"flashcp", "only-one"}), -1);
}

TEST(AppletsTest, AppletsRefuseWhatIsNotMtd)
{
    std::string strDir = TestDir();
    std::string strSrc = strDir + "/src.bin";
    std::string strFile = strDir + "/mtd3";
    std::string strMissing = strDir + "/nothing";
    std::string strNoFile = "update: can't open '" + strMissing + "' (error No such file or directory)\n";
    WriteFile(strSrc, std::string(20000, 's'));
    WriteFile(strFile, std::string(70000, '\x5a'));
    const std::vector<std::pair<std::vector<std::string>, std::string>> vecCases = {
        {{"flashcp", "-g", "0", "-l", "20000", "-o", "0", strSrc, strFile},
         "update: " + strFile + " is not a MTD flash device\n"},
        {{"flashcp", strSrc, "/dev/null"}, "update: /dev/null is not a MTD flash device\n"},
        {{"flashcp", strMissing, strFile}, strNoFile},
        {{"flashcp", strSrc, strMissing}, strNoFile},
        {{"flash_eraseall"}, "Usage: flash_eraseall MTD_DEVICE\n"},
        {{"flash_eraseall", strFile}, "update: " + strFile + ": not a char device\n"},
        {{"flash_eraseall", "/dev/null"}, "update: ioctl 0x80204d01 failed (error Inappropriate ioctl for device)\n"},
        {{"flash_eraseall", strMissing}, strNoFile},
    };
    for (const auto &[vecArgs, strErr] : vecCases) {
        SCOPED_TRACE(vecArgs.back());
        ExpectFailure(RunUpdate(vecArgs), strErr);
    }
    EXPECT_EQ(ReadFile(strFile), std::string(70000, '\x5a')); // nothing erased or written

    // A block device (a node of our own for the first loop device) is refused
    // on its file type alone, before any ioctl.
    std::string strBlock = strDir + "/blockdev";
    if (mknod(strBlock.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) {
        GTEST_SKIP() << "cannot create a block device node: " << strerror(errno);
    }
    ChildResult stRes = RunUpdate({"flash_eraseall", strBlock});
    if (stRes.strErr.find("can't open") != std::string::npos) {
        GTEST_SKIP() << "block device node not usable here: " << stRes.strErr;
    }
    ExpectFailure(stRes, "update: " + strBlock + ": not a char device\n");
}

} // namespace
