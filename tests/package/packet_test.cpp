#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "package/packet.h"

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

std::string Pattern(size_t len)
{
    std::string s(len, '\0');
    uint32_t x = 7;
    for (char &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

void PutLe32(std::string &s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        s[off + i] = static_cast<char>(v >> (8 * i));
    }
}

uint32_t CrcOfFile(const std::string &path, const std::string &bytes)
{
    WriteFile(path, bytes);
    int fd = open(path.c_str(), O_RDONLY);
    uint32_t crc = 0;
    EXPECT_EQ(CountPacketCrc(fd, &crc), 0);
    close(fd);
    return crc;
}

}  // namespace

TEST(PacketCrc, TableAndFileRangeFrom4096ToTheEnd)
{
    for (uint32_t i = 0; i < 256; i++) {
        // A single byte from CRC 0 isolates table entry i.
        ASSERT_EQ(g_aulPacketCrcTable[i], BitwiseCrc(std::string(1, static_cast<char>(i)), 0)) << i;
    }
    EXPECT_EQ(Crc32Calc(reinterpret_cast<const uint8_t *>("123456789"), 9, 0xFFFFFFFFu), 0x0376E6E7u);

    std::string dir = TestDir(), path = dir + "/Program.bin";
    EXPECT_EQ(CrcOfFile(path, std::string(4096, '\xA5')), 0xFFFFFFFFu);
    std::string bytes = Pattern(4096 + 2 * PACKET_IO_CHUNK + 777);  // two 256 KiB reads and an odd tail
    EXPECT_EQ(CrcOfFile(path, bytes), BitwiseCrc(bytes.substr(4096)));

    WriteFile(path, std::string(4096, '\0'));
    EXPECT_EQ(CheckPacketCrc(ParseHeadCrc("-1"), path.c_str()), 0);
    auto [ret, log] = Logged(dir, [&] { return CheckPacketCrc(ParseHeadCrc("4294967294"), path.c_str()); });
    EXPECT_EQ(ret, -1);
    EXPECT_NE(log.find("Read head crc: 4294967294, count file crc: 4294967295.\n"), std::string::npos);
    EXPECT_EQ(CheckPacketCrc(0, (dir + "/none/Program.bin").c_str()), -1);
}

TEST(PacketHead, FieldsBoundedByTheHead)
{
    // The version and CRC fields of well-formed heads are proven by every update on the simulated board.
    char head[PACKET_HEAD_LEN] = "INN-1$free$R1234P01$305419896$ignored";
    PACKET_HEAD_INFO_S st;
    SplitPacketHead(head, &st);
    EXPECT_STREQ(st.szFreeText, "free");
    EXPECT_EQ(st.ulFieldCount, 4u);
    EXPECT_EQ(ParseHeadCrc("4294967296"), 0u);  // modulo 2^32

    // A head filling all 256 bytes without a NUL, with an over-long field and no CRC field.
    std::string full = "i$t$" + std::string(PACKET_HEAD_LEN - 4, 'Z') + "$tail";
    SplitPacketHead(full.data(), &st);
    EXPECT_EQ(std::string(st.szPubVersion), std::string(HEAD_VERSION_LEN - 1, 'Z'));
    EXPECT_EQ(st.ulFieldCount, 3u);
    EXPECT_EQ(st.ulCrc, 0u);
    EXPECT_EQ(full[PACKET_HEAD_LEN], '$');
}

TEST(PacketTable, LittleEndianRecordsBoundedByCountAndFile)
{
    std::string dir = TestDir(), path = dir + "/Program.bin";
    uint32_t count = 0;
    auto read = [&](const std::string &bytes) {
        WriteFile(path, bytes);
        return Printed(dir, [&] { return SubImageTablePtr(GetSubImageTable(path.c_str(), &count)); });
    };
    std::string bytes(4096, '\0');
    PutLe32(bytes, 2048, 3);
    size_t rec2 = 2052 + 144 * 2;
    bytes.replace(rec2, 6, "image2");
    PutLe32(bytes, rec2 + 128, 0x11223346u);
    PutLe32(bytes, rec2 + 132, 0x3000u);
    PutLe32(bytes, rec2 + 136, 0xA0B0C0D0u);
    bytes.replace(rec2 + 144, 4, "junk");  // a record after the declared table
    PutLe32(bytes, rec2 + 144 + 128, 7);
    PutLe32(bytes, rec2 + 144 + 132, 7);
    auto [table, out] = read(bytes);
    EXPECT_EQ(out, "sub image count 3\n");
    ASSERT_EQ(count, 3u);
    const SUB_IMAGE_S *rec = SubImageAt(table.get(), count, 2);
    EXPECT_STREQ(rec->szFileName, "image2");
    EXPECT_EQ(rec->ulFileLength, 0x11223346u);
    EXPECT_EQ(rec->ulFileOffset, 0x3000u);
    EXPECT_EQ(rec->ulFlashOffset, 0xA0B0C0D0u);
    // Beyond the count: an absent image, not the bytes after the table.
    for (uint64_t pos : {uint64_t{3}, UINT64_MAX}) {
        const SUB_IMAGE_S *absent = SubImageAt(table.get(), count, pos);
        EXPECT_EQ(absent->ulFileLength, 0u) << pos;
        EXPECT_EQ(absent->ulFileOffset, 0u) << pos;
        EXPECT_EQ(absent->szFileName[0], '\0') << pos;
    }
    EXPECT_EQ(SubImageAt(nullptr, 5, 0)->ulFileLength, 0u);

    EXPECT_EQ(read(std::string(4096, '\0')).second, "Read image file failed. BinFile:" + path + "\n");
    EXPECT_EQ(read(std::string(2050, '\0')).first, nullptr);  // ends inside the count field
    std::string missing = dir + "/Missing.bin";
    EXPECT_EQ(Printed(dir, [&] { return GetSubImageTable(missing.c_str()); }),
              std::make_pair(static_cast<SUB_IMAGE_S *>(nullptr), "Get patifition failed. BinFile:" + missing + "\n"));

    // Declares 20 records, the file ends just after the second one's length field.
    bytes.assign(2052 + 144 + 132, '\xEE');
    PutLe32(bytes, 2048, 20);
    SubImageTablePtr shortTable = read(bytes).first;
    ASSERT_NE(shortTable, nullptr);
    EXPECT_EQ(SubImageAt(shortTable.get(), count, 1)->ulFileLength, 0xEEEEEEEEu);
    EXPECT_EQ(SubImageAt(shortTable.get(), count, 1)->ulFileOffset, 0u);  // past the end: zero
    for (uint64_t pos = 2; pos < 20; pos++) {
        EXPECT_EQ(SubImageAt(shortTable.get(), count, pos)->ulFileLength, 0u);
    }
    // A hostile count does not turn into a huge allocation.
    PutLe32(bytes, 2048, 0xFFFFFFFFu);
    auto [hostile, text] = read(bytes);
    EXPECT_EQ(text, "sub image count 4294967295\n");
    ASSERT_NE(hostile, nullptr);
    EXPECT_LE(count, 2u);
    EXPECT_EQ(SubImageAt(hostile.get(), count, 100000)->ulFileLength, 0u);
}

TEST(PacketPlace, DirectoryAndFileSystem)
{
    std::string dir = TestDir();
    char buf[512];
    EXPECT_EQ(GetPacketDir("Program.bin", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, ".");
    EXPECT_EQ(Printed(dir, [&] { return GetPacketDir("/mnt/Firmware.bin", buf, sizeof(buf)); }),
              Result(-1, "update invalid bin file /mnt/Firmware.bin (no Program.bin).\n"));
    std::string fits = "/" + std::string(510, 'd') + "Program.bin";  // 511 characters before the name
    EXPECT_EQ(GetPacketDir(fits.c_str(), buf, sizeof(buf)), 0);
    EXPECT_EQ(strlen(buf), 511u);
    std::string tooLong = "/" + std::string(511, 'd') + "Program.bin";
    EXPECT_EQ(Printed(dir, [&] { return GetPacketDir(tooLong.c_str(), buf, sizeof(buf)); }),
              Result(-1, "update invalid bin file " + tooLong + " (unexpected size 512, max 511).\n"));

    // The fixed download path never needs the query, whatever /tmp is.
    EXPECT_EQ(Printed(dir, [] { return NeedRelocatePacket("/tmp/Program.bin"); }), Result(0, ""));
    EXPECT_EQ(CheckPacketFs("/proc/self/status"), 0);
    EXPECT_EQ(Printed(dir, [] { return NeedRelocatePacket("/proc/self/status"); }),
              Result(1, "update file /proc/self/status in fs 0x9fa0 (neither 0x1021994 nor 0x858458f6).\n"));
}
