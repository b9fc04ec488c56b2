#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "include/packet.h"
#include "package/compat.h"
#include "test_files.h"

namespace {

int Check(std::string list, const char *board, std::string *out = nullptr)
{
    std::vector<char> buf(PACKET_COMPAT_LEN, '\0');
    memcpy(buf.data(), list.data(), std::min(list.size(), buf.size()));
    testing::internal::CaptureStdout();
    int r = CheckBoardCompatible(buf.data(), board);
    std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr) {
        *out = text;
    }
    return r;
}

std::string NumberedList(int entries)
{
    std::string s;
    for (int i = 0; i < entries; i++) {
        s += (i ? "$" : "") + std::string("BOARD-") + std::to_string(i);
    }
    return s;
}

}  // namespace

TEST(BoardList, MatchesWithinTheFirst64Entries)
{
    std::string out;
    EXPECT_EQ(Check("A$B$NVR-X1$C", "NVR-X1"), 0);
    EXPECT_EQ(Check("A$B", "NVR-X1", &out), -1);
    EXPECT_EQ(out, "Board type is not compatible.\n");
    EXPECT_EQ(Check(NumberedList(70), "BOARD-63"), 0);
    EXPECT_EQ(Check(NumberedList(70), "BOARD-64"), -1);
    EXPECT_EQ(Check(NumberedList(70), "BOARD-69"), -1);
    EXPECT_EQ(Check("", ""), 0);
    EXPECT_EQ(Check("", "NVR"), -1);
    EXPECT_EQ(Check("$NVR", ""), 0);
    EXPECT_EQ(Check("NVR$", ""), 0);  // the empty entry after a trailing "$"
}

TEST(BoardList, ComparesNineteenCharacters)
{
    const char *board = "NVR-ABCDEFGHIJKLMNOPQRS";  // 23 characters
    EXPECT_EQ(Check("NVR-ABCDEFGHIJKLMNO", board), 0);        // its first 19
    EXPECT_EQ(Check("NVR-ABCDEFGHIJKLMNOxyz", board), 0);     // same 19, differs after
    EXPECT_EQ(Check("NVR-ABCDEFGHIJKLMNX", board), -1);       // differs at 19th
    EXPECT_EQ(Check("NVR-ABCDEFGHIJKLMN", board), -1);        // only 18
    EXPECT_EQ(Check("NVR", "NVR-1"), -1);
}

TEST(BoardList, SplitsInPlaceAndStaysInsideAListWithoutNul)
{
    std::vector<char> buf(PACKET_COMPAT_LEN, 'Q');
    const char *first = "A$B$";
    memcpy(buf.data(), first, 4);
    // The last entry runs to the end of the field: no terminator anywhere.
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckBoardCompatible(buf.data(), std::string(19, 'Q').c_str()), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(buf[1], '\0');
    EXPECT_EQ(buf[3], '\0');

    std::vector<char> all(PACKET_COMPAT_LEN, 'Q');
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckBoardCompatible(all.data(), "NVR"), -1);
    testing::internal::GetCapturedStdout();
}

TEST(BoardList, LogsEachEntry)
{
    ScratchDir dir;
    LogCapture log(dir.File("update.log"));
    EXPECT_EQ(Check("ONE$NVR-ABCDEFGHIJKLMNOPQ", "NVR-ABCDEFGHIJKLMNOPQ"), 0);
    std::string text = log.Text();
    EXPECT_NE(text.find("Get compatible board type: ONE, pszBoardType: NVR-ABCDEFGHIJKLMNOPQ\n"), std::string::npos);
    EXPECT_NE(text.find("Get compatible board type: NVR-ABCDEFGHIJKLMNO, pszBoardType: NVR-ABCDEFGHIJKLMNOPQ\n"),
              std::string::npos);
    EXPECT_NE(text.find("Board Compatible\n"), std::string::npos);
}
