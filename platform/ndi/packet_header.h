// The header in front of every compressed picture: 44 bytes on the wire,
// little-endian, no gaps. The engine writes it, the runtime looks into it to
// recognise keyframes, and receivers strip it.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kHXPacketHeaderSize = 44;
inline constexpr uint32_t kHXCodecH264 = 0x34363248;  // "H264"

// The decoded form; writeHXPacketHeader and decodeHXPacketHeader convert.
struct HXPacketHeader {
    uint32_t headerSize = kHXPacketHeaderSize;
    uint32_t codec = kHXCodecH264;
    int64_t pts = 0;  // 100 ns units
    int64_t dts = 0;
    uint64_t reserved = 0;
    uint32_t flags = 0;  // 1: keyframe
    uint32_t dataSize = 0;
    uint32_t extraDataSize = 0;
};

// Writes the 44 wire bytes of header at dst.
void writeHXPacketHeader(uint8_t* dst, const HXPacketHeader& header);

// Decodes the header at the front of size bytes. False, with header
// untouched, when fewer than 44 bytes are there; the fields are not checked.
bool decodeHXPacketHeader(const uint8_t* data, size_t size, HXPacketHeader* header);
