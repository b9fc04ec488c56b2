#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

#include "applets/child_run.h"

namespace {

TEST(AppletsTest, BadCommandLinesAndWhatIsNotMtdAreRefused)
{
    std::string strDir = TestDir();
    std::string strSrc = strDir + "/src.bin";
    std::string strFile = strDir + "/mtd3";
    std::string strMissing = strDir + "/nothing";
    std::string strNoFile = "update: can't open '" + strMissing + "' (error No such file or directory)\n";
    std::string strUsage = "Usage: flashcp [-v] -g file_offset -l file_length -o flash_offset\n";
    WriteFile(strSrc, std::string(20000, 's'));
    WriteFile(strFile, std::string(70000, '\x5a'));
    const std::vector<std::pair<std::vector<std::string>, std::string>> vecCases = {
        {{"flashcp", "-h"}, strUsage},
        {{"flashcp", "-v", "src", "/dev/null"}, strUsage}, // shown in the usage text, not accepted
        {{"flashcp", "-x", "src", "/dev/null"}, strUsage},
        {{"flashcp", "src", "/dev/null", "-g"}, strUsage}, // option without its value
        {{"flashcp", "-g", "0", "-l", "16", "-o", "0"}, strUsage},
        {{"flashcp", "-g", "0", "-l", "16", "src"}, strUsage},
        {{"flashcp"}, strUsage},
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
        SCOPED_TRACE(::testing::PrintToString(vecArgs));
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
