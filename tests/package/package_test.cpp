// The package readers (checksum, table, place), the version comparison and
// the board list. The head's bounds and the table's records are the package
// fuzz target's.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "support/sandbox_run.h"
#include "include/packet.h"
#include "package/compat.h"
#include "package/packet.h"
#include "package/ver_cmp.h"

namespace {

// Bit by bit, straight from the polynomial: the reference the table must reproduce.
uint32_t BitwiseCrc(const std::string &s, uint32_t crc = 0xFFFFFFFFu)
{
    for (unsigned char c : s) {
        crc ^= static_cast<uint32_t>(c) << 24;
        for (int b = 0; b < 8; b++) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

void PutLe32(std::string &s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        s[off + i] = static_cast<char>(v >> (8 * i));
    }
}

// "valid longForm type value cflag" of a version string.
std::string Parse(const char *s)
{
    char value[VER_VALUE_BUF] = {}, type[VER_TYPE_BUF] = {};
    uint32_t cflag = 0, longForm = 0;
    int valid = ParseVersion(s, value, type, &cflag, &longForm);
    return std::to_string(valid) + " " + std::to_string(longForm) + " " + type + " " + value + " " +
           std::to_string(cflag);
}

// The list as the package holds it: a fixed field, NUL-padded, no byte beyond.
std::vector<char> Field(const std::string &list)
{
    std::vector<char> v(list.begin(), list.end());
    v.resize(PACKET_COMPAT_LEN, '\0');
    return v;
}

}  // namespace

// Half a MiB of scattered bytes reaches every table entry many times over.
TEST(PacketCrc, TableAndFileRangeFrom4096ToTheEnd)
{
    EXPECT_EQ(Crc32Calc(reinterpret_cast<const uint8_t *>("123456789"), 9, 0xFFFFFFFFu), 0x0376E6E7u);

    std::string dir = TestDir(), path = dir + "/Program.bin";
    std::string bytes(4096 + 2 * PACKET_IO_CHUNK + 777, '\0');  // two 256 KiB reads and an odd tail
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    WriteFile(path, bytes);
    int fd = open(path.c_str(), O_RDONLY);
    uint32_t crc = 0;
    EXPECT_EQ(CountPacketCrc(fd, &crc), 0);
    close(fd);
    EXPECT_EQ(crc, BitwiseCrc(bytes.substr(4096)));

    // Nothing after the head: the CRC of no bytes, which "-1" in the head names.
    WriteFile(path, std::string(4096, '\0'));
    EXPECT_EQ(CheckPacketCrc(ParseHeadCrc("-1"), path.c_str()), 0);
    EXPECT_EQ(ParseHeadCrc("4294967296"), 0u);  // modulo 2^32
    LogCapture log(dir);
    EXPECT_EQ(CheckPacketCrc(ParseHeadCrc("4294967294"), path.c_str()), -1);
    EXPECT_NE(log.Text().find("Read head crc: 4294967294, count file crc: 4294967295.\n"), std::string::npos);
    EXPECT_EQ(CheckPacketCrc(0, (dir + "/none/Program.bin").c_str()), -1);
}

TEST(PacketTable, LittleEndianRecordsBoundedByCountAndFile)
{
    std::string dir = TestDir(), path = dir + "/Program.bin";
    uint32_t count = 0;
    auto read = [&](const std::string &bytes) {
        WriteFile(path, bytes);
        return Printed([&] { return SubImageTablePtr(GetSubImageTable(path.c_str(), &count)); });
    };
    // Three records declared and a fourth written after them.
    std::string bytes(4096, '\0');
    PutLe32(bytes, 2048, 3);
    PutLe32(bytes, 2052 + 144 * 2 + 128, 0x11223346u);
    bytes.replace(2052 + 144 * 3, 4, "junk");
    PutLe32(bytes, 2052 + 144 * 3 + 128, 7);
    auto [table, out] = read(bytes);
    EXPECT_EQ(out, "sub image count 3\n");
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(SubImageAt(table.get(), count, 2)->ulFileLength, 0x11223346u);
    EXPECT_EQ(SubImageAt(table.get(), count, 3)->ulFileLength, 0u);  // beyond the count: absent

    EXPECT_EQ(read(std::string(2050, '\0')).first, nullptr);  // ends inside the count field
    std::string missing = dir + "/Missing.bin";
    EXPECT_EQ(Printed([&] { return GetSubImageTable(missing.c_str()); }),
              std::make_pair(static_cast<SUB_IMAGE_S *>(nullptr), "Get patifition failed. BinFile:" + missing + "\n"));

    // Declares 20 records, the file ends just after the second one's length field.
    bytes.assign(2052 + 144 + 132, '\xEE');
    PutLe32(bytes, 2048, 20);
    EXPECT_NE(read(bytes).first, nullptr);
    EXPECT_EQ(count, 2u);  // the rest read as absent, as past any count
}

TEST(PacketPlace, DirectoryAndFileSystem)
{
    char buf[512];
    EXPECT_EQ(GetPacketDir("Program.bin", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, ".");
    EXPECT_EQ(Printed([&] { return GetPacketDir("/mnt/Firmware.bin", buf, sizeof(buf)); }),
              Result(-1, "update invalid bin file /mnt/Firmware.bin (no Program.bin).\n"));
    std::string fits = std::string(510, 'd') + "/Program.bin";  // 511 characters before the name
    EXPECT_EQ(GetPacketDir(fits.c_str(), buf, sizeof(buf)), 0);
    EXPECT_EQ(strlen(buf), 511u);
    std::string tooLong = std::string(511, 'd') + "/Program.bin";
    EXPECT_EQ(Printed([&] { return GetPacketDir(tooLong.c_str(), buf, sizeof(buf)); }),
              Result(-1, "update invalid bin file " + tooLong + " (unexpected size 512, max 511).\n"));

    // The fixed download path never needs the query, whatever /tmp is.
    EXPECT_EQ(Printed([] { return NeedRelocatePacket("/tmp/Program.bin"); }), Result(0, ""));
    EXPECT_EQ(Printed([] { return NeedRelocatePacket("/proc/self/status"); }),
              Result(1, "update file /proc/self/status in fs 0x9fa0 (neither 0x1021994 nor 0x858458f6).\n"));
}

TEST(VersionParse, CodesAndRejections)
{
    const std::pair<const char *, const char *> cases[] = {
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
    for (const auto &[s, expect] : cases) {
        EXPECT_EQ(Parse(s), expect) << s;
    }
    for (const char *s : {"X1234", "R123456", "", "Unknown", "R1234P01X", "R1234L01P02", "R1234P01L02X",
                          "R1234QQ", "r1234"}) {
        EXPECT_EQ(Parse(s)[0], '0') << s;
    }
}

TEST(VersionCompare, ThresholdAndCFlagChooseTheComparison)
{
    const std::tuple<const char *, const char *, int> cases[] = {
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
    for (const auto &[img, dev, expect] : cases) {
        EXPECT_EQ(Printed([&] { return CompareVersion(img, dev); }).first, expect) << img << " vs " << dev;
    }
    EXPECT_EQ(CompareVersion(nullptr, "R1234"), -1);
    EXPECT_EQ(CompareVersion("R1234", nullptr), -1);

    EXPECT_EQ(Printed([] { return CompareVersion("R1235", "R1234"); }).second,
              "Image version R1235 (Type 12000, Value 435000000, C 0), "
              "Board version R1234 (Type 12000, Value 434000000, C 0)\n");
    EXPECT_EQ(Printed([] { return CompareVersion("X1234", "R1234"); }), Result(0, "Invalid img version X1234\n"));
    EXPECT_EQ(Printed([] { return CompareVersion("R1234", ""); }), Result(0, "Invalid board version \n"));
}

TEST(BoardList, First64EntriesNineteenCharactersAndNoNulNeeded)
{
    std::string numbered = "BOARD-0";
    for (int i = 1; i < 70; i++) {
        numbered += "$BOARD-" + std::to_string(i);
    }
    const std::tuple<std::string, const char *, int> cases[] = {
        {"A$B$NVR-X1$C", "NVR-X1", 0},
        {numbered, "BOARD-63", 0},
        {numbered, "BOARD-64", -1},
        {"", "", 0},
        {"", "NVR", -1},
        {"NVR$", "", 0},  // the empty entry after a trailing "$"
        {"NVR-ABCDEFGHIJKLMNO", "NVR-ABCDEFGHIJKLMNOPQRS", 0},     // its first 19
        {"NVR-ABCDEFGHIJKLMNOxyz", "NVR-ABCDEFGHIJKLMNOPQRS", 0},  // same 19, differs after
        {"NVR-ABCDEFGHIJKLMNX", "NVR-ABCDEFGHIJKLMNOPQRS", -1},    // differs at the 19th
        {"NVR-ABCDEFGHIJKLMN", "NVR-ABCDEFGHIJKLMNOPQRS", -1},     // only 18
        {"NVR", "NVR-1", -1},
    };
    for (const auto &[list, board, expect] : cases) {
        std::vector<char> field = Field(list);
        EXPECT_EQ(Printed([&] { return CheckBoardCompatible(field.data(), board); }).first, expect)
            << list << " / " << board;
    }
    EXPECT_EQ(Printed([] { return CheckBoardCompatible(Field("A$B").data(), "X"); }).second,
              "Board type is not compatible.\n");

    // The last entry runs to the end of the field: no terminator anywhere.
    std::vector<char> list = Field("A$B$" + std::string(PACKET_COMPAT_LEN - 4, 'Q'));
    EXPECT_EQ(Printed([&] { return CheckBoardCompatible(list.data(), std::string(19, 'Q').c_str()); }).first, 0);
    EXPECT_EQ(list[1], '\0');
    EXPECT_EQ(list[3], '\0');
    std::vector<char> all(PACKET_COMPAT_LEN, 'Q');
    EXPECT_EQ(Printed([&] { return CheckBoardCompatible(all.data(), "NVR"); }).first, -1);
}
