// Acceptance checks against the device's fixed paths. Runs only inside the
// host sandbox: every file is written under $SANDBOX_DIR, which the sandbox
// shows at /program and /proc; nothing here writes a fixed path itself.
// Newer, same-version, forced and other-board packages are proven by the
// updater on the simulated board, the list rules by compat_test and the
// board files' reading by "update -v".
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

// The head and list as the retrieval step hands them over: fixed fields.
Result Check(uint32_t force, const std::string &head, const std::string &list)
{
    std::vector<char> h(PACKET_HEAD_LEN, '\0'), l(PACKET_COMPAT_LEN, '\0');
    memcpy(h.data(), head.data(), head.size());
    memcpy(l.data(), list.data(), list.size());
    uint32_t crc = 7;
    return Printed(Board(""), [&] { return CheckUpdateValid(force, h.data(), l.data(), &crc); });
}

}  // namespace

TEST(InSandbox, ForceSkipsOnlyTheVersionTest)
{
    ASSERT_NE(getenv("SANDBOX_DIR"), nullptr) << "run through tests/sandbox/sandbox.sh";
    ASSERT_TRUE(SameFile("/program", Board("program"))) << "/program is not the sandbox's";
    WriteFile(Board("proc/board_type"), "NVR-BOARD-X\n");
    WriteFile(Board("program/.version"), "PUB:R1234\nINN:INN-LOCAL\n");
    ASSERT_TRUE(SameFile("/proc/board_type", Board("proc/board_type")));

    EXPECT_EQ(Check(0, "I$t$R1234$1", "NVR-BOARD-X"),
              Result(-2, "Image version R1234 (Type 12000, Value 434000000, C 0), Board version R1234 (Type 12000, "
                         "Value 434000000, C 0)\nLocal version bigger than or equal as update version, not need update!\n"));
    EXPECT_EQ(Check(0, "I$t$X1235$1", "NVR-BOARD-X").first, -2);  // invalid image version: not newer

    // A version file without PUB: the device version is empty, hence invalid.
    WriteFile(Board("program/.version"), "INN:X\n");
    EXPECT_EQ(Check(0, "I$t$R1299$1", "NVR-BOARD-X").first, -2);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X").first, 0);

    // No version file at all: refused even when forced.
    ASSERT_EQ(unlink(Board("program/.version").c_str()), 0);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X"), Result(-2, "open version file error\n"));
}
