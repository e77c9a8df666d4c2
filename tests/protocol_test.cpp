#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support.h"
#include "upload/packet.h"

namespace {

// Bit by bit, straight from the polynomial: an independent check of the table.
std::uint32_t BitwiseCrc32(const std::uint8_t* data, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

const auto* Bytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

struct CrcCase {
  const char* text;
  std::int32_t n;
  std::uint32_t crc;
};

void PrintTo(const CrcCase& c, std::ostream* out) { *out << '"' << c.text << "\" n=" << c.n; }

class Crc32Known : public testing::TestWithParam<CrcCase> {};

TEST_P(Crc32Known, GivesTheStandardValue) {
  const CrcCase& c = GetParam();
  EXPECT_EQ(Crc32(Bytes(c.text), c.n), c.crc) << c.text << " n=" << c.n;
}

INSTANTIATE_TEST_SUITE_P(
    Values, Crc32Known,
    testing::Values(CrcCase{"123456789", 9, 0xCBF43926u}, CrcCase{"a", 1, 0xE8B7BE43u},
                    CrcCase{"The quick brown fox jumps over the lazy dog", 43, 0x414FA339u},
                    CrcCase{"", 0, 0u}, CrcCase{"123456789", -1, 0u},
                    CrcCase{"123456789", -2147483647 - 1, 0u}));

TEST(Crc32, MatchesTheBitwiseDefinitionOnFrameSizedData) {
  const auto data = MakeImage(MaxFrameLength, 7);
  for (std::int32_t n : {1, 2, 3, 255, 256, 257, 32, 4080, 4084}) {
    EXPECT_EQ(Crc32(data.data(), n), BitwiseCrc32(data.data(), static_cast<std::size_t>(n))) << n;
  }
}

std::string Hex(const Packet& packet) {
  std::string text;
  char byte[4];
  for (std::uint8_t b : packet) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    text += byte;
  }
  return text;
}

struct PacketCase {
  Packet packet;
  std::uint8_t code;
  std::uint8_t argHigh;
  std::uint8_t argLow;
};

void PrintTo(const PacketCase& c, std::ostream* out) { *out << "code 0x" << std::hex << int(c.code); }

class PacketLayout : public testing::TestWithParam<PacketCase> {};

TEST_P(PacketLayout, IsMagicThenBigEndianCodeAndArgument) {
  const PacketCase& c = GetParam();
  const Packet expected = {'M', 'o', 'o', 'n', 'D', 'u', 'S', 't', 0x00, c.code, c.argHigh, c.argLow};
  EXPECT_EQ(Hex(c.packet), Hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, PacketLayout,
    testing::Values(PacketCase{PacketProbe, 0x12, 0, 0}, PacketCase{PacketProbeReply, 0x04, 0, 0},
                    PacketCase{PacketStart, 0x28, 0, 0}, PacketCase{PacketAck, 0x00, 0, 0},
                    PacketCase{PacketReady, 0x29, 0, 0}, PacketCase{PacketPrepare, 0x01, 0, 0},
                    PacketCase{PacketClose, 0x13, 0, 0},
                    // the first frame: 4 size bytes, 4080 image bytes, CRC
                    PacketCase{FrameAnnouncement(4088), 0x30, 0x0F, 0xF8},
                    // the last frame of a full image: 32 image bytes and the CRC
                    PacketCase{FrameAnnouncement(36), 0x30, 0x00, 0x24},
                    PacketCase{PacketFrameTemplate, 0x30, 0, 0}));

TEST(FrameSizes, AFullImageIsTheFirstFrame513FullFramesAndOneOf32Bytes) {
  EXPECT_EQ(MaxFrameLength, 4088);
  EXPECT_EQ(LaterFrameCount, 514);
  EXPECT_EQ(ImageSize - BlockPayload - (LaterFrameCount - 1) * BlockPayload, 32);
}

TEST(BigEndian32, PutsTheMostSignificantByteFirst) {
  std::uint8_t out[4] = {};
  PutBigEndian32(out, 0x00200000u);
  EXPECT_EQ(std::memcmp(out, "\x00\x20\x00\x00", 4), 0);
  PutBigEndian32(out, 0xCBF43926u);
  EXPECT_EQ(std::memcmp(out, "\xCB\xF4\x39\x26", 4), 0);
  EXPECT_EQ(GetBigEndian32(out), 0xCBF43926u);
}

}  // namespace
