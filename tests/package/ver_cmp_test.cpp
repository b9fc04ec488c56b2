#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "include/text_util.h"
#include "package/ver_cmp.h"
#include "test_files.h"

namespace {

struct Parsed {
    int valid;
    std::string type, value;
    uint32_t cflag, longForm;
};

Parsed Parse(const char *s)
{
    char value[VER_VALUE_BUF] = {};
    char type[VER_TYPE_BUF] = {};
    Parsed p{};
    p.valid = ParseVersion(s, value, type, &p.cflag, &p.longForm);
    p.type = type;
    p.value = value;
    return p;
}

int Compare(const char *img, const char *dev, std::string *out = nullptr)
{
    testing::internal::CaptureStdout();
    int r = CompareVersion(img, dev);
    std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr) {
        *out = text;
    }
    return r;
}

}  // namespace

TEST(VersionParse, WorkedExamples)
{
    struct {
        const char *s;
        uint32_t longForm;
        const char *type, *value;
        uint32_t cflag;
    } cases[] = {
        {"R1234", 0, "12000", "434000000", 0},
        {"R1234P01", 0, "12000", "434010000", 0},
        {"R1234L02", 0, "12000", "434000200", 0},
        {"R1234C56789", 0, "12567", "434000089", 1},
        {"R1234P01L02C56789", 0, "12567", "434010289", 0},
        {"R12345P01C56789", 1, "123567", "445010089", 1},
        {"R1234X", 1, "123000", "44X000000", 0},
        {"D1234P01C56789", 0, "12567", "034010089", 1},
        {"F12345L07", 1, "123000", "545000700", 0},
        {"B1234P01L02", 0, "12000", "434010200", 0},
    };
    for (const auto &c : cases) {
        Parsed p = Parse(c.s);
        EXPECT_EQ(p.valid, 1) << c.s;
        EXPECT_EQ(p.longForm, c.longForm) << c.s;
        EXPECT_EQ(p.type, c.type) << c.s;
        EXPECT_EQ(p.value, c.value) << c.s;
        EXPECT_EQ(p.cflag, c.cflag) << c.s;
    }
    // Release letters map to their digits.
    const char *letters = "DATCBREF";
    const char *digits = "01234455";
    for (int i = 0; i < 8; i++) {
        std::string s = std::string(1, letters[i]) + "1234";
        EXPECT_EQ(Parse(s.c_str()).value[0], digits[i]) << s;
    }
}

TEST(VersionParse, Rejections)
{
    for (const char *s : {"X1234", "R123456", "", "Unknown", "R1234P01X", "R1234L01P02", "R1234P01L02X",
                          "R1234QQ", "r1234"}) {
        EXPECT_EQ(Parse(s).valid, 0) << s;
    }
    // Short strings end their codes early rather than reading on.
    Parsed p = Parse("R12");
    EXPECT_EQ(p.valid, 1);
    EXPECT_EQ(p.type, "12000");
    EXPECT_EQ(p.value, "4");
    // C after L carries codes but no flag; anything after a C part is ignored.
    p = Parse("R1234L02C56789trailing");
    EXPECT_EQ(p.valid, 1);
    EXPECT_EQ(p.cflag, 0u);
    EXPECT_EQ(p.type, "12567");
}

TEST(VersionCompare, EdgeTable)
{
    struct {
        const char *img, *dev;
        int expect;
    } cases[] = {
        {"R1235", "R1234", 1},
        {"R1234P02", "R1234P01", 1},
        {"R1216P01", "R1216", 1},
        {"A1234", "R1234", -1},
        {"R1334", "R1234", -1},
        {"R1216C00102", "R1216", -1},
        {"R1216", "R1216C00101", 0},
        {"R1215C00102", "R1215C00101", 0},
        {"R1234T", "R9999", 1},
        {"garbageT", "R1234", 1},
        {"X1", "R1234T", 1},
        {"R1234", "R1234", 0},
        {"R1233", "R1234", -1},
        {"R12345", "R1234", -1},  // long form image against a short device: platforms differ
        {"R12346", "R12345", 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Compare(c.img, c.dev), c.expect) << c.img << " vs " << c.dev;
    }
    EXPECT_EQ(CompareVersion(nullptr, "R1234"), -1);
    EXPECT_EQ(CompareVersion("R1234", nullptr), -1);
}

TEST(VersionCompare, ThresholdAndCFlagChooseTheComparison)
{
    // Device at the threshold: full comparison, the C characters of the type decide.
    EXPECT_EQ(Compare("R1216P02C00102", "R1216P01"), -1);
    // Just below it: short comparison, the P part decides.
    EXPECT_EQ(Compare("R1215P02C00102", "R1215P01"), 1);
    EXPECT_EQ(Compare("R1216C00102", "R1215P99"), 1);
    EXPECT_EQ(Compare("R1216C00102", "R1216"), -1);
    // A device value code of exactly "41600" (an L part of NULs ends it) is at the threshold.
    EXPECT_EQ(Parse("R1216P00L").value, "41600");
    EXPECT_EQ(Compare("R1216P01C00102", "R1216P00L"), -1);

    // Device with a direct C part and an image without: short comparison.
    EXPECT_EQ(Compare("R1216P01", "R1216C00101"), 1);
    // Both with direct C parts: full comparison, type and C value count.
    EXPECT_EQ(Compare("R1216P01C00101", "R1216C00101"), 1);
    EXPECT_EQ(Compare("R1216C00201", "R1216C00101"), -1);
    EXPECT_EQ(Compare("R1216C00102", "R1216C00101"), 1);
    // A C part after an L part does not count as direct: the device stays on full comparison.
    EXPECT_EQ(Compare("R1216L01C00102", "R1216"), -1);
    EXPECT_EQ(Compare("R1216L01", "R1216L01C00102"), -1);
    // Short comparison ignores the C value digits (positions 7-8).
    EXPECT_EQ(Compare("R1216C00199", "R1216C00101"), 1);
    EXPECT_EQ(Compare("R1210C00199", "R1210C00101"), 0);
    // Long-form device below the threshold compares three platform characters only.
    EXPECT_EQ(Compare("R12345C99901", "R12315"), 1);
    EXPECT_EQ(Compare("R12445", "R12315"), -1);
}

TEST(VersionCompare, Messages)
{
    std::string out;
    EXPECT_EQ(Compare("R1235", "R1234", &out), 1);
    EXPECT_EQ(out, "Image version R1235 (Type 12000, Value 435000000, C 0), "
                   "Board version R1234 (Type 12000, Value 434000000, C 0)\n");
    EXPECT_EQ(Compare("X1234", "R1234", &out), 0);
    EXPECT_EQ(out, "Invalid img version X1234\n");
    EXPECT_EQ(Compare("R1234", "Unknown", &out), 0);
    EXPECT_EQ(out, "Invalid board version Unknown\n");
    EXPECT_EQ(Compare("R1234", "", &out), 0);
    EXPECT_EQ(out, "Invalid board version \n");
}

TEST(VersionFile, LinesAndLimits)
{
    ScratchDir dir;
    std::string path = dir.File("version");
    std::string longInner(200, 'i');
    std::string text = "PUB:R1234 extra\nNEW:R1300\nINN:" + longInner +
                       "\nother:line\nBUILD:2023-07-05-and-more 12:34:56789\nNEW:R1301\n";
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    char pub[VERSION_BUF_LEN] = "init", nw[VERSION_BUF_LEN] = "init", inn[VERSION_BUF_LEN] = "init";
    char date[BUILD_DATE_BUF_LEN] = "", tm[BUILD_TIME_BUF_LEN] = "";
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    ReadVersionLines(f, pub, nw, inn, date, tm);
    fclose(f);
    EXPECT_STREQ(pub, "R1234");
    EXPECT_STREQ(nw, "R1301");  // a repeated key keeps the later value
    // The over-long INN line is read as 127 characters; its tail is no key line.
    EXPECT_EQ(std::string(inn), std::string(123, 'i'));
    EXPECT_STREQ(date, "2023-07-05");
    EXPECT_STREQ(tm, "12:34:56");

    text = "NEW:R1\n";
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    ReadVersionLines(f, pub, nw, inn, date, tm);
    fclose(f);
    EXPECT_STREQ(pub, "R1234");  // absent key: the caller's value stays
}

TEST(VersionFile, BuildDateSuffix)
{
    char buf[BUILD_SUFFIX_BUF_LEN];
    char ver[VERSION_BUF_LEN] = "R1234";
    FormatBuildDate("2023-07-05", buf, ver);
    EXPECT_STREQ(ver, "R1234.230705");
    CopyText(ver, "Unknown");
    FormatBuildDate("", buf, ver);
    EXPECT_STREQ(ver, "Unknown.000000");
    CopyText(ver, "V");
    FormatBuildDate("1999-12-31", buf, ver);
    EXPECT_STREQ(ver, "V.991231");
    CopyText(ver, "V");
    FormatBuildDate("2023-7", buf, ver);
    EXPECT_STREQ(ver, "V.230700");
    // A full version buffer is cut, never overrun.
    std::string nearlyFull(125, 'v');
    CopyText(ver, nearlyFull.c_str());
    FormatBuildDate("2023-07-05", buf, ver);
    EXPECT_EQ(strlen(ver), VERSION_BUF_LEN - 1);
    EXPECT_EQ(std::string(ver).substr(125), ".2");
}
