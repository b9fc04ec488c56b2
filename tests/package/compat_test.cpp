#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "include/packet.h"
#include "package/compat.h"

namespace {

// The list as the package holds it: a fixed field, NUL-padded, no byte beyond.
std::vector<char> Field(const std::string &list)
{
    std::vector<char> v(list.begin(), list.end());
    v.resize(PACKET_COMPAT_LEN, '\0');
    return v;
}

std::string NumberedList(int entries)
{
    std::string s;
    for (int i = 0; i < entries; i++) {
        s += (i ? "$BOARD-" : "BOARD-") + std::to_string(i);
    }
    return s;
}

}  // namespace

TEST(BoardList, First64EntriesAndNineteenCharacters)
{
    struct {
        std::string list;
        const char *board;
        int expect;
    } cases[] = {
        {"A$B$NVR-X1$C", "NVR-X1", 0},
        {NumberedList(70), "BOARD-63", 0},
        {NumberedList(70), "BOARD-64", -1},
        {"", "", 0},
        {"", "NVR", -1},
        {"NVR$", "", 0},  // the empty entry after a trailing "$"
        {"NVR-ABCDEFGHIJKLMNO", "NVR-ABCDEFGHIJKLMNOPQRS", 0},     // its first 19
        {"NVR-ABCDEFGHIJKLMNOxyz", "NVR-ABCDEFGHIJKLMNOPQRS", 0},  // same 19, differs after
        {"NVR-ABCDEFGHIJKLMNX", "NVR-ABCDEFGHIJKLMNOPQRS", -1},    // differs at the 19th
        {"NVR-ABCDEFGHIJKLMN", "NVR-ABCDEFGHIJKLMNOPQRS", -1},     // only 18
        {"NVR", "NVR-1", -1},
    };
    std::string dir = TestDir();
    for (const auto &c : cases) {
        std::vector<char> field = Field(c.list);
        EXPECT_EQ(Printed(dir, [&] { return CheckBoardCompatible(field.data(), c.board); }).first, c.expect)
            << c.list << " / " << c.board;
    }
    EXPECT_EQ(Printed(dir, [] { return CheckBoardCompatible(Field("A$B").data(), "X"); }).second,
              "Board type is not compatible.\n");
}

TEST(BoardList, SplitsInPlaceAndStaysInsideAListWithoutNul)
{
    std::string dir = TestDir();
    // The last entry runs to the end of the field: no terminator anywhere.
    std::vector<char> list = Field("A$B$" + std::string(PACKET_COMPAT_LEN - 4, 'Q'));
    EXPECT_EQ(Printed(dir, [&] { return CheckBoardCompatible(list.data(), std::string(19, 'Q').c_str()); }).first, 0);
    EXPECT_EQ(list[1], '\0');
    EXPECT_EQ(list[3], '\0');
    std::vector<char> all(PACKET_COMPAT_LEN, 'Q');
    EXPECT_EQ(Printed(dir, [&] { return CheckBoardCompatible(all.data(), "NVR"); }).first, -1);
}
