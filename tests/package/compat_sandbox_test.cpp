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

#include "capture.h"
#include "include/packet.h"
#include "package/compat.h"

namespace {

std::string Board(const std::string &rel)
{
    const char *dir = getenv("SANDBOX_DIR");
    return std::string(dir != nullptr ? dir : "") + "/" + rel;
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
        WriteFile(Board("proc/board_type"), "NVR-BOARD-X\n");
        WriteFile(Board("program/.version"), "PUB:R1234\nINN:INN-LOCAL\n");
        ASSERT_TRUE(SameFile("/proc/board_type", Board("proc/board_type")));
    }

    // The head and list as the retrieval step hands them over: fixed fields.
    Result Check(uint32_t force, const std::string &head, const std::string &list)
    {
        std::vector<char> h(PACKET_HEAD_LEN, '\0'), l(PACKET_COMPAT_LEN, '\0');
        memcpy(h.data(), head.data(), head.size());
        memcpy(l.data(), list.data(), list.size());
        return Printed(Board(""), [&] { return CheckUpdateValid(force, h.data(), l.data(), &crc); });
    }
    uint32_t crc = 7;
};

}  // namespace

TEST_F(InSandbox, AcceptsANewerListedPackage)
{
    EXPECT_EQ(Check(0, "INN-IMAGE$free$R1235$-1", "OTHER$NVR-BOARD-X").first, 0);
    EXPECT_EQ(crc, 0xFFFFFFFFu);
    EXPECT_STREQ(g_szLocalInnerVersion, "INN-LOCAL");
    EXPECT_STREQ(g_szImagePubVersion, "R1235");
    EXPECT_EQ(Check(0, "I$t$R1235", "NVR-BOARD-X").first, 0);
    EXPECT_EQ(crc, 0u);  // no CRC field
}

TEST_F(InSandbox, ForceSkipsOnlyTheVersionTest)
{
    auto [ret, out] = Check(0, "I$t$R1234$1", "NVR-BOARD-X");
    EXPECT_EQ(ret, -2);
    EXPECT_NE(out.find("Local version bigger than or equal as update version, not need update!\n"),
              std::string::npos);
    EXPECT_EQ(Check(1, "I$t$R1234$1", "NVR-BOARD-X").first, 0);
    EXPECT_EQ(Check(0, "I$t$X1235$1", "NVR-BOARD-X").first, -2);  // invalid image version: not newer
    std::tie(ret, out) = Check(1, "I$t$R1299$1", "NVR-A$NVR-B");
    EXPECT_EQ(ret, -3);
    EXPECT_NE(out.find("Board type is not compatible.\n"), std::string::npos);

    // A version file without PUB: the device version is empty, hence invalid.
    WriteFile(Board("program/.version"), "INN:X\n");
    EXPECT_EQ(Check(0, "I$t$R1299$1", "NVR-BOARD-X").first, -2);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X").first, 0);

    // No version file at all: refused even when forced.
    ASSERT_EQ(unlink(Board("program/.version").c_str()), 0);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X"), Result(-2, "open version file error\n"));
}

TEST_F(InSandbox, KernelProbesDropTheLastCharacter)
{
    char buf[BOARD_TYPE_BUF_LEN];
    struct {
        std::string text;
        int ret;
        std::string expect;
    } cases[] = {
        {"NVR-BOARD-X", 0, "NVR-BOARD-"},
        {"\n", 0, ""},
        {"", -1, "Unknown"},
        {std::string(300, 'b') + "\n", 0, std::string(BOARD_TYPE_BUF_LEN - 1, 'b')},
    };
    for (const auto &c : cases) {
        WriteFile(Board("proc/board_type"), c.text);
        EXPECT_EQ(GetBoardType(buf), c.ret) << c.text;
        EXPECT_EQ(buf, c.expect);
    }
    WriteFile(Board("proc/uboot_rev"), "U-1\nsecond\n");
    EXPECT_EQ(GetUbootVersion(buf), 0);
    EXPECT_STREQ(buf, "U-1");
}
