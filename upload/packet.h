#pragma once

// The loader's packet format: 12-byte command packets ("MoonDuSt", code,
// argument, big-endian), data frames with a trailing CRC-32, and the sizes of
// an image transfer.

#include <array>
#include <cstdint>

using Packet = std::array<std::uint8_t, 12>;

constexpr std::size_t PacketSize = 12;

constexpr Packet MakePacket(std::uint16_t code, std::uint16_t argument = 0) {
  return {'M', 'o', 'o', 'n', 'D', 'u', 'S', 't',
          static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code),
          static_cast<std::uint8_t>(argument >> 8), static_cast<std::uint8_t>(argument)};
}

// Program to loader.
constexpr Packet PacketProbe = MakePacket(0x0012);      // also opens the exchange
constexpr Packet PacketStart = MakePacket(0x0028);      // asks for the information block
constexpr Packet PacketAck = MakePacket(0x0000);        // both directions
constexpr Packet PacketPrepare = MakePacket(0x0001);    // sent twice before the first frame
constexpr Packet PacketFrameTemplate = MakePacket(0x0030);  // argument: frame length
constexpr Packet PacketClose = MakePacket(0x0013);      // closes the transfer
// Loader to program.
constexpr Packet PacketProbeReply = MakePacket(0x0004);
constexpr Packet PacketReady = MakePacket(0x0029);      // answer to the program's first 0x0000

constexpr std::uint16_t CodeFrame = 0x0030;

// The frame announcement: the template with the frame length in its argument.
constexpr Packet FrameAnnouncement(std::uint16_t frameLength) {
  Packet packet = PacketFrameTemplate;
  packet[10] = static_cast<std::uint8_t>(frameLength >> 8);
  packet[11] = static_cast<std::uint8_t>(frameLength);
  return packet;
}

constexpr std::int32_t ImageSize = 0x200000;  // 2,097,152 bytes
constexpr std::int32_t BlockPayload = 4080;   // image bytes per frame
constexpr std::int32_t CrcSize = 4;
constexpr std::int32_t SizePrefixSize = 4;    // 00 20 00 00 ahead of the first frame's image bytes
constexpr std::int32_t MaxFrameLength = SizePrefixSize + BlockPayload + CrcSize;  // 4088
constexpr std::uint32_t ReplyTimeout = 2000;  // ms, the deadline of every reply

// Frames after the first; the last of them carries the remainder.
constexpr std::int32_t LaterFrameCount = (ImageSize - BlockPayload + BlockPayload - 1) / BlockPayload;

// The standard CRC-32 (IEEE 802.3, reflected 0xEDB88320); 0 for n <= 0.
std::uint32_t Crc32(const std::uint8_t* data, std::int32_t n);

// Writes value big-endian at out[0..3].
constexpr void PutBigEndian32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

constexpr std::uint32_t GetBigEndian32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) << 24 | static_cast<std::uint32_t>(in[1]) << 16 |
         static_cast<std::uint32_t>(in[2]) << 8 | static_cast<std::uint32_t>(in[3]);
}
