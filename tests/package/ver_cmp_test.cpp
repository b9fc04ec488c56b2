#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "package/ver_cmp.h"

namespace {

// "valid longForm type value cflag" of a version string.
std::string Parse(const char *s)
{
    char value[VER_VALUE_BUF] = {}, type[VER_TYPE_BUF] = {};
    uint32_t cflag = 0, longForm = 0;
    int valid = ParseVersion(s, value, type, &cflag, &longForm);
    return std::to_string(valid) + " " + std::to_string(longForm) + " " + type + " " + value + " " +
           std::to_string(cflag);
}

}  // namespace

TEST(VersionParse, CodesAndRejections)
{
    struct {
        const char *s, *expect;
    } cases[] = {
        {"R1234", "1 0 12000 434000000 0"},
        {"R1234P01", "1 0 12000 434010000 0"},
        {"R1234L02", "1 0 12000 434000200 0"},
        {"R1234C56789", "1 0 12567 434000089 1"},
        {"R1234P01L02C56789", "1 0 12567 434010289 0"},
        {"R12345P01C56789", "1 1 123567 445010089 1"},
        {"R1234X", "1 1 123000 44X000000 0"},
        {"D1234P01C56789", "1 0 12567 034010089 1"},
        {"F12345L07", "1 1 123000 545000700 0"},
        {"R12", "1 0 12000 4 0"},  // short strings end their codes early
        {"R1234L02C56789trailing", "1 0 12567 434000289 0"},  // C after L: codes, no flag
        {"R1216P00L", "1 0 12000 41600 0"},  // an L part of NULs ends the value at the threshold
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Parse(c.s), c.expect) << c.s;
    }
    for (const char *s : {"X1234", "R123456", "", "Unknown", "R1234P01X", "R1234L01P02", "R1234P01L02X",
                          "R1234QQ", "r1234"}) {
        EXPECT_EQ(Parse(s)[0], '0') << s;
    }
}

TEST(VersionCompare, ThresholdAndCFlagChooseTheComparison)
{
    struct {
        const char *img, *dev;
        int expect;
    } cases[] = {
        {"R1235", "R1234", 1},
        {"R1234P02", "R1234P01", 1},
        {"A1234", "R1234", -1},
        {"R1334", "R1234", -1},
        {"R1234", "R1234", 0},
        {"R1234T", "R9999", 1},
        {"X1", "R1234T", 1},
        {"R12345", "R1234", -1},  // long form image against a short device: platforms differ
        {"R12346", "R12345", 1},
        // Device at the threshold: full comparison, the C characters of the type decide.
        {"R1216P02C00102", "R1216P01", -1},
        {"R1216P01C00102", "R1216P00L", -1},
        {"R1216C00102", "R1216", -1},
        // Just below it: short comparison, the P part decides.
        {"R1215P02C00102", "R1215P01", 1},
        {"R1216C00102", "R1215P99", 1},
        {"R1215C00102", "R1215C00101", 0},
        // Device with a direct C part and an image without: short comparison.
        {"R1216P01", "R1216C00101", 1},
        {"R1216", "R1216C00101", 0},
        // Both with direct C parts: full comparison, type and C value count.
        {"R1216P01C00101", "R1216C00101", 1},
        {"R1216C00201", "R1216C00101", -1},
        {"R1216C00102", "R1216C00101", 1},
        {"R1216C00199", "R1216C00101", 1},
        // A C part after an L part does not count as direct.
        {"R1216L01C00102", "R1216", -1},
        {"R1216L01", "R1216L01C00102", -1},
        // Short comparison ignores the C value digits (positions 7-8).
        {"R1210C00199", "R1210C00101", 0},
        // Long-form device below the threshold compares three platform characters only.
        {"R12345C99901", "R12315", 1},
        {"R12445", "R12315", -1},
    };
    std::string dir = TestDir();
    for (const auto &c : cases) {
        EXPECT_EQ(Printed(dir, [&] { return CompareVersion(c.img, c.dev); }).first, c.expect) << c.img << " vs " << c.dev;
    }
    EXPECT_EQ(CompareVersion(nullptr, "R1234"), -1);
    EXPECT_EQ(CompareVersion("R1234", nullptr), -1);

    EXPECT_EQ(Printed(dir, [] { return CompareVersion("R1235", "R1234"); }).second,
              "Image version R1235 (Type 12000, Value 435000000, C 0), "
              "Board version R1234 (Type 12000, Value 434000000, C 0)\n");
    EXPECT_EQ(Printed(dir, [] { return CompareVersion("X1234", "R1234"); }), Result(0, "Invalid img version X1234\n"));
    EXPECT_EQ(Printed(dir, [] { return CompareVersion("R1234", ""); }), Result(0, "Invalid board version \n"));
}
