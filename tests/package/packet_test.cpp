#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/packet.h"
#include "test_files.h"

namespace {

// Bit by bit, straight from the polynomial: the reference the table must reproduce.
uint32_t BitwiseCrc(const uint8_t *p, size_t len, uint32_t crc = 0xFFFFFFFFu)
{
    for (size_t i = 0; i < len; i++) {
        crc ^= static_cast<uint32_t>(p[i]) << 24;
        for (int b = 0; b < 8; b++) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

std::vector<uint8_t> Pattern(size_t len, uint32_t seed)
{
    std::vector<uint8_t> v(len);
    uint32_t x = seed;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

uint32_t CrcOfFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    uint32_t crc = 0;
    EXPECT_EQ(CountPacketCrc(fd, &crc), 0);
    close(fd);
    return crc;
}

}  // namespace

TEST(PacketCrc, TableAndCalcMatchThePolynomial)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint8_t b = static_cast<uint8_t>(i);
        // A single byte from CRC 0 isolates table entry i.
        ASSERT_EQ(g_aulPacketCrcTable[i], BitwiseCrc(&b, 1, 0)) << "entry " << i;
    }
    const char *check = "123456789";
    EXPECT_EQ(Crc32Calc(reinterpret_cast<const uint8_t *>(check), 9, 0xFFFFFFFFu), 0x0376E6E7u);

    std::vector<uint8_t> data = Pattern(5000, 7);
    uint32_t whole = Crc32Calc(data.data(), static_cast<uint32_t>(data.size()), 0xFFFFFFFFu);
    uint32_t split = Crc32Calc(data.data(), 1234, 0xFFFFFFFFu);
    split = Crc32Calc(data.data() + 1234, static_cast<uint32_t>(data.size() - 1234), split);
    EXPECT_EQ(whole, split);
    EXPECT_EQ(whole, BitwiseCrc(data.data(), data.size()));
}

TEST(PacketCrc, CoversExactlyFrom4096ToTheEnd)
{
    ScratchDir dir;
    std::string path = dir.File("Program.bin");

    WriteBytes(path, std::vector<uint8_t>(4096, 0xA5));
    EXPECT_EQ(CrcOfFile(path), 0xFFFFFFFFu);

    // Big enough to cross two 256 KiB reads, with an odd tail.
    std::vector<uint8_t> bytes = Pattern(4096 + 2 * PACKET_IO_CHUNK + 777, 3);
    WriteBytes(path, bytes);
    uint32_t crc = CrcOfFile(path);
    EXPECT_EQ(crc, BitwiseCrc(bytes.data() + 4096, bytes.size() - 4096));

    bytes[4095] ^= 0xFF;  // head area: not covered
    WriteBytes(path, bytes);
    EXPECT_EQ(CrcOfFile(path), crc);
    bytes[4096] ^= 0x01;  // first covered byte
    WriteBytes(path, bytes);
    EXPECT_NE(CrcOfFile(path), crc);
    bytes[4096] ^= 0x01;
    bytes.back() ^= 0x80;  // last byte
    WriteBytes(path, bytes);
    EXPECT_NE(CrcOfFile(path), crc);
}

TEST(PacketCrc, CheckAgainstHeadText)
{
    ScratchDir dir;
    LogCapture log(dir.File("update.log"));
    std::string path = dir.File("Program.bin");
    WriteBytes(path, std::vector<uint8_t>(4096, 0));

    EXPECT_EQ(CheckPacketCrc(ParseHeadCrc("4294967295"), path.c_str()), 0);
    EXPECT_EQ(CheckPacketCrc(ParseHeadCrc("-1"), path.c_str()), 0);
    EXPECT_EQ(CheckPacketCrc(ParseHeadCrc("4294967294"), path.c_str()), -1);
    EXPECT_NE(log.Text().find("Read head crc: 4294967294, count file crc: 4294967295.\n"), std::string::npos);

    std::string missing = dir.File("none/Program.bin");
    EXPECT_EQ(CheckPacketCrc(0, missing.c_str()), -1);
    EXPECT_NE(log.Text().find("open file " + missing + " failed!\n"), std::string::npos);
}

TEST(PacketHead, SplitsFieldsAndConvertsTheCrc)
{
    char head[PACKET_HEAD_LEN] = "INN-1$free$R1234P01$305419896$ignored";
    PACKET_HEAD_INFO_S st;
    SplitPacketHead(head, &st);
    EXPECT_STREQ(st.szInnerVersion, "INN-1");
    EXPECT_STREQ(st.szFreeText, "free");
    EXPECT_STREQ(st.szPubVersion, "R1234P01");
    EXPECT_STREQ(st.szCrcSum, "305419896");
    EXPECT_EQ(st.ulCrc, 305419896u);
    EXPECT_EQ(st.ulFieldCount, 4u);
    EXPECT_EQ(head[5], '\0');  // split in the caller's copy

    char three[PACKET_HEAD_LEN] = "a$b$R1234";
    SplitPacketHead(three, &st);
    EXPECT_STREQ(st.szPubVersion, "R1234");
    EXPECT_EQ(st.ulCrc, 0u);
    EXPECT_EQ(st.ulFieldCount, 3u);

    EXPECT_EQ(ParseHeadCrc("  +42xyz"), 42u);
    EXPECT_EQ(ParseHeadCrc("-2"), 0xFFFFFFFEu);
    EXPECT_EQ(ParseHeadCrc("4294967296"), 0u);  // modulo 2^32
    EXPECT_EQ(ParseHeadCrc("abc"), 0u);

    // A head that fills all 256 bytes without a NUL, with an over-long field.
    std::vector<char> full(PACKET_HEAD_LEN + 16, 'Z');
    std::string prefix = "i$t$";
    memcpy(full.data(), prefix.data(), prefix.size());
    full[PACKET_HEAD_LEN] = '$';  // beyond the field: must not be seen
    SplitPacketHead(full.data(), &st);
    EXPECT_EQ(std::string(st.szPubVersion), std::string(HEAD_VERSION_LEN - 1, 'Z'));
    EXPECT_EQ(st.ulFieldCount, 3u);
    EXPECT_EQ(full[PACKET_HEAD_LEN], '$');
}

TEST(PacketTable, ReadsLittleEndianRecordsAndBoundsPositions)
{
    ScratchDir dir;
    std::string path = dir.File("Program.bin");
    std::vector<uint8_t> bytes(4096, 0);
    PutLe32(bytes, 2048, 3);
    for (uint32_t i = 0; i < 3; i++) {
        size_t rec = 2052 + 144 * i;
        std::string name = "image" + std::to_string(i);
        memcpy(&bytes[rec], name.data(), name.size());
        PutLe32(bytes, rec + 128, 0x11223344u + i);
        PutLe32(bytes, rec + 132, 0x00001000u * (i + 1));
        PutLe32(bytes, rec + 136, 0xA0B0C0D0u);
        PutLe32(bytes, rec + 140, 0xFFFFFFFFu);
    }
    WriteBytes(path, bytes);

    testing::internal::CaptureStdout();
    uint32_t count = 0;
    SubImageTablePtr table(GetSubImageTable(path.c_str(), &count));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(out, "sub image count 3\n");
    ASSERT_EQ(count, 3u);
    const SUB_IMAGE_S *rec = SubImageAt(table.get(), count, 2);
    EXPECT_STREQ(rec->szFileName, "image2");
    EXPECT_EQ(rec->ulFileLength, 0x11223346u);
    EXPECT_EQ(rec->ulFileOffset, 0x3000u);
    EXPECT_EQ(rec->ulFlashOffset, 0xA0B0C0D0u);

    // Beyond the count: an absent image, not the bytes after the table.
    const SUB_IMAGE_S *absent = SubImageAt(table.get(), count, 3);
    EXPECT_EQ(absent->ulFileLength, 0u);
    EXPECT_EQ(absent->ulFileOffset, 0u);
    EXPECT_EQ(absent->szFileName[0], '\0');
    EXPECT_EQ(SubImageAt(table.get(), count, UINT64_MAX)->ulFileLength, 0u);
    EXPECT_EQ(SubImageAt(nullptr, 5, 0)->ulFileLength, 0u);
}

TEST(PacketTable, RejectsZeroCountAndZeroFillsAShortTable)
{
    ScratchDir dir;
    std::string path = dir.File("Program.bin");
    std::vector<uint8_t> bytes(4096, 0);
    WriteBytes(path, bytes);  // count 0
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetSubImageTable(path.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read image file failed. BinFile:" + path + "\n");

    testing::internal::CaptureStdout();
    std::string missing = dir.File("Missing.bin");
    EXPECT_EQ(GetSubImageTable(missing.c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Get patifition failed. BinFile:" + missing + "\n");

    // Ends inside the count field.
    WriteBytes(path, std::vector<uint8_t>(2050, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetSubImageTable(path.c_str()), nullptr);
    testing::internal::GetCapturedStdout();

    // Declares 20 records, the file ends just after the second one's length field.
    bytes.assign(2052 + 144 + 132, 0xEE);
    PutLe32(bytes, 2048, 20);
    WriteBytes(path, bytes);
    testing::internal::CaptureStdout();
    uint32_t count = 0;
    SubImageTablePtr table(GetSubImageTable(path.c_str(), &count));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sub image count 20\n");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(SubImageAt(table.get(), count, 0)->ulFileOffset, 0xEEEEEEEEu);
    EXPECT_EQ(SubImageAt(table.get(), count, 1)->ulFileLength, 0xEEEEEEEEu);
    EXPECT_EQ(SubImageAt(table.get(), count, 1)->ulFileOffset, 0u);  // past the end: zero
    for (uint64_t pos = 2; pos < 20; pos++) {
        EXPECT_EQ(SubImageAt(table.get(), count, pos)->ulFileLength, 0u);
    }

    // A hostile count does not turn into a huge allocation.
    PutLe32(bytes, 2048, 0xFFFFFFFFu);
    WriteBytes(path, bytes);
    testing::internal::CaptureStdout();
    table.reset(GetSubImageTable(path.c_str(), &count));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sub image count 4294967295\n");
    ASSERT_NE(table, nullptr);
    EXPECT_LE(count, 2u);
    EXPECT_EQ(SubImageAt(table.get(), count, 100000)->ulFileLength, 0u);
}

TEST(PacketUnpack, CopiesTheRangeBitForBit)
{
    ScratchDir dir;
    std::string path = dir.File("Program.bin");
    std::vector<uint8_t> bytes = Pattern(4096 + PACKET_IO_CHUNK + 5000, 11);
    WriteBytes(path, bytes);
    std::string out = dir.File("out.img");

    // Crosses a chunk boundary at an odd offset.
    uint64_t off = 4097, len = PACKET_IO_CHUNK + 1001;
    ASSERT_EQ(UnpackSubImage(path.c_str(), off, len, out.c_str()), 0);
    EXPECT_EQ(ReadBytes(out), std::vector<uint8_t>(bytes.begin() + off, bytes.begin() + off + len));

    // Asking for more than the file holds gives the rest, and success.
    ASSERT_EQ(UnpackSubImage(path.c_str(), bytes.size() - 10, 1000, out.c_str()), 0);
    EXPECT_EQ(ReadBytes(out), std::vector<uint8_t>(bytes.end() - 10, bytes.end()));

    ASSERT_EQ(UnpackSubImage(path.c_str(), 4096, 0, out.c_str()), 0);
    EXPECT_TRUE(ReadBytes(out).empty());
    ASSERT_EQ(UnpackSubImage(path.c_str(), 0xFFFFFFFFull, 10, out.c_str()), 0);
    EXPECT_TRUE(ReadBytes(out).empty());

    testing::internal::CaptureStdout();
    std::string bad = dir.File("no/such/out.img");
    EXPECT_EQ(UnpackSubImage(path.c_str(), 0, 10, bad.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open pszUnpackFileName file:" + bad + ". fail\n");
}

TEST(PacketPlace, DirectoryOfThePackage)
{
    char buf[512];
    EXPECT_EQ(GetPacketDir("Program.bin", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, ".");
    EXPECT_EQ(GetPacketDir("/mnt/usb/Program.bin", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/mnt/usb/");
    EXPECT_EQ(GetPacketDir("Program.bin", buf, 1), -1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(GetPacketDir("/mnt/usb/Firmware.bin", buf, sizeof(buf)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "update invalid bin file /mnt/usb/Firmware.bin (no Program.bin).\n");

    std::string fits = "/" + std::string(510, 'd') + "Program.bin";  // 511 characters before the name
    EXPECT_EQ(GetPacketDir(fits.c_str(), buf, sizeof(buf)), 0);
    EXPECT_EQ(strlen(buf), 511u);
    std::string tooLong = "/" + std::string(511, 'd') + "Program.bin";
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetPacketDir(tooLong.c_str(), buf, sizeof(buf)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "update invalid bin file " + tooLong + " (unexpected size 512, max 511).\n");
}

TEST(PacketPlace, FileSystemAndRelocation)
{
    // The fixed download path never needs the query, whatever /tmp is.
    testing::internal::CaptureStdout();
    EXPECT_EQ(NeedRelocatePacket("/tmp/Program.bin"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckPacketFs("/proc/self/status"), 0);
    EXPECT_EQ(NeedRelocatePacket("/proc/self/status"), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("update file /proc/self/status in fs 0x9fa0 (neither 0x1021994 nor 0x858458f6).\n"),
              std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckPacketFs("/nonexistent-dir/Program.bin"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "update check fs of file /nonexistent-dir/Program.bin error No such file or directory.\n");

    if (access("/dev/shm", F_OK) == 0 && CheckPacketFs("/dev/shm") == 1) {
        EXPECT_EQ(NeedRelocatePacket("/dev/shm"), 0);
    }
}

TEST(PacketPlace, NamesAndLayoutPositions)
{
    EXPECT_STREQ(GetUpdateFileName(0), "uImage.bin");
    EXPECT_STREQ(GetUpdateFileName(6), "Update.bin");
    EXPECT_STREQ(GetUpdateFileName(11), "TvConfig.bin");
    EXPECT_EQ(GetUpdateFileName(12), nullptr);

    ASSERT_EQ(GetFlashLayout(&g_pstFlashLayout), 0);
    EXPECT_EQ(GetImagePos(g_pstFlashLayout, IMAGE_ENTRY_PROGRAM), 4u);
    EXPECT_EQ(GetUpdateImagePos(g_pstFlashLayout), 8u);
    EXPECT_EQ(GetCustomImagePos(g_pstFlashLayout), 10u);
}
