// Acceptance checks against the device's fixed paths. Runs only inside the
// host sandbox: every file is written under $SANDBOX_DIR, which the sandbox
// shows at /program and /proc; nothing here writes a fixed path itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "include/packet.h"
#include "package/compat.h"
#include "test_files.h"

namespace {

std::string Board(const std::string &rel)
{
    const char *dir = getenv("SANDBOX_DIR");
    return std::string(dir != nullptr ? dir : "") + "/" + rel;
}

void WriteText(const std::string &path, const std::string &text)
{
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool SameFile(const char *a, const std::string &b)
{
    struct stat sa {}, sb {};
    return stat(a, &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

class InSandbox : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX_DIR"), nullptr) << "run through tests/sandbox/sandbox.sh";
        ASSERT_TRUE(SameFile("/program", Board("program"))) << "/program is not the sandbox's";
        WriteText(Board("proc/board_type"), "NVR-BOARD-X\n");
        WriteText(Board("program/.version"), "PUB:R1234\nINN:INN-LOCAL\n");
        ASSERT_TRUE(SameFile("/proc/board_type", Board("proc/board_type")));
    }

    // The head and list as the retrieval step hands them over: fixed fields.
    int Check(uint32_t force, const std::string &head, const std::string &list, uint32_t *crc,
              std::string *out = nullptr)
    {
        std::vector<char> h(PACKET_HEAD_LEN, '\0'), l(PACKET_COMPAT_LEN, '\0');
        memcpy(h.data(), head.data(), head.size());
        memcpy(l.data(), list.data(), list.size());
        testing::internal::CaptureStdout();
        int r = CheckUpdateValid(force, h.data(), l.data(), crc);
        std::string text = testing::internal::GetCapturedStdout();
        if (out != nullptr) {
            *out = text;
        }
        return r;
    }
};

}  // namespace

TEST_F(InSandbox, AcceptsANewerListedPackage)
{
    uint32_t crc = 7;
    EXPECT_EQ(Check(0, "INN-IMAGE$free$R1235$-1", "OTHER$NVR-BOARD-X", &crc), 0);
    EXPECT_EQ(crc, 0xFFFFFFFFu);
    EXPECT_STREQ(g_szLocalInnerVersion, "INN-LOCAL");
    EXPECT_STREQ(g_szImagePubVersion, "R1235");

    EXPECT_EQ(Check(0, "I$t$R1235", "NVR-BOARD-X", &crc), 0);
    EXPECT_EQ(crc, 0u);  // no CRC field
}

TEST_F(InSandbox, ForceSkipsOnlyTheVersionTest)
{
    uint32_t crc = 0;
    std::string out;
    EXPECT_EQ(Check(0, "I$t$R1234$1", "NVR-BOARD-X", &crc, &out), -2);
    EXPECT_NE(out.find("Local version bigger than or equal as update version, not need update!\n"),
              std::string::npos);
    EXPECT_EQ(Check(1, "I$t$R1234$1", "NVR-BOARD-X", &crc), 0);
    EXPECT_EQ(Check(0, "I$t$R1233$1", "NVR-BOARD-X", &crc), -2);
    EXPECT_EQ(Check(0, "I$t$X1235$1", "NVR-BOARD-X", &crc), -2);  // invalid image version: not newer

    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-A$NVR-B", &crc, &out), -3);
    EXPECT_NE(out.find("Board type is not compatible.\n"), std::string::npos);

    // A version file without PUB: the device version is empty, hence invalid.
    WriteText(Board("program/.version"), "INN:X\n");
    EXPECT_EQ(Check(0, "I$t$R1299$1", "NVR-BOARD-X", &crc), -2);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X", &crc), 0);

    // No version file at all: refused even when forced.
    ASSERT_EQ(unlink(Board("program/.version").c_str()), 0);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X", &crc, &out), -2);
    EXPECT_EQ(out, "open version file error\n");
}

TEST_F(InSandbox, KernelProbesDropTheLastCharacter)
{
    char buf[BOARD_TYPE_BUF_LEN];
    WriteText(Board("proc/board_type"), "NVR-BOARD-X");
    EXPECT_EQ(GetBoardType(buf), 0);
    EXPECT_STREQ(buf, "NVR-BOARD-");
    WriteText(Board("proc/board_type"), "\n");
    EXPECT_EQ(GetBoardType(buf), 0);
    EXPECT_STREQ(buf, "");
    WriteText(Board("proc/board_type"), "");
    EXPECT_EQ(GetBoardType(buf), -1);
    EXPECT_STREQ(buf, "Unknown");
    WriteText(Board("proc/board_type"), std::string(300, 'b') + "\n");
    EXPECT_EQ(GetBoardType(buf), 0);
    EXPECT_EQ(strlen(buf), BOARD_TYPE_BUF_LEN - 1);

    WriteText(Board("proc/uboot_rev"), "U-1\nsecond\n");
    EXPECT_EQ(GetUbootVersion(buf), 0);
    EXPECT_STREQ(buf, "U-1");
}
