// Acceptance checks against the device's fixed paths. Runs only inside the
// host sandbox: every file is written under $SANDBOX_DIR, which the sandbox
// shows at /program and /proc; nothing here writes a fixed path itself.
// Newer, same-version, forced and other-board packages are proven by the
// updater on the simulated board, the list rules by compat_test and the
// board files' reading by "update -v".
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/sandbox_run.h"
#include "include/packet.h"
#include "package/compat.h"

namespace {

std::string Board(const std::string &rel)
{
    const char *dir = getenv("SANDBOX_DIR");
    return std::string(dir != nullptr ? dir : "") + "/" + rel;
}

// The head and list as the retrieval step hands them over: fixed fields.
Result Check(uint32_t force, const std::string &head, const std::string &list)
{
    std::vector<char> h(PACKET_HEAD_LEN, '\0'), l(PACKET_COMPAT_LEN, '\0');
    memcpy(h.data(), head.data(), head.size());
    memcpy(l.data(), list.data(), list.size());
    uint32_t crc = 7;
    return Printed([&] { return CheckUpdateValid(force, h.data(), l.data(), &crc); });
}

}  // namespace

TEST(InSandbox, ForceSkipsOnlyTheVersionTest)
{
    ASSERT_NE(getenv("SANDBOX_DIR"), nullptr) << "run through tests/sandbox/sandbox.sh";
    WriteFile(Board("proc/board_type"), "NVR-BOARD-X\n");
    WriteFile(Board("program/.version"), "PUB:R1234\nINN:INN-LOCAL\n");
    ASSERT_EQ(ReadFile("/program/.version") + ReadFile("/proc/board_type"), "PUB:R1234\nINN:INN-LOCAL\nNVR-BOARD-X\n")
        << "/program or /proc is not the sandbox's";

    EXPECT_EQ(Check(0, "I$t$R1234$1", "NVR-BOARD-X"),
              Result(-2, "Image version R1234 (Type 12000, Value 434000000, C 0), Board version R1234 (Type 12000, "
                         "Value 434000000, C 0)\nLocal version bigger than or equal as update version, not need update!\n"));

    // A version file without PUB: the device version is empty, hence invalid.
    WriteFile(Board("program/.version"), "INN:X\n");
    EXPECT_EQ(Check(0, "I$t$R1299$1", "NVR-BOARD-X").first, -2);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X").first, 0);

    // No version file at all: refused even when forced.
    ASSERT_EQ(unlink(Board("program/.version").c_str()), 0);
    EXPECT_EQ(Check(1, "I$t$R1299$1", "NVR-BOARD-X"), Result(-2, "open version file error\n"));
}
