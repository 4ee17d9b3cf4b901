#include "platform/ndi/packet_header.h"

#include "common/little_endian.h"

void writeHXPacketHeader(uint8_t* dst, const HXPacketHeader& header) {
    putLE32(dst + 0, header.headerSize);
    putLE32(dst + 4, header.codec);
    putLE64(dst + 8, static_cast<uint64_t>(header.pts));
    putLE64(dst + 16, static_cast<uint64_t>(header.dts));
    putLE64(dst + 24, header.reserved);
    putLE32(dst + 32, header.flags);
    putLE32(dst + 36, header.dataSize);
    putLE32(dst + 40, header.extraDataSize);
}

bool decodeHXPacketHeader(const uint8_t* data, size_t size, HXPacketHeader* header) {
    if (data == nullptr || size < kHXPacketHeaderSize) return false;
    header->headerSize = getLE32(data + 0);
    header->codec = getLE32(data + 4);
    header->pts = static_cast<int64_t>(getLE64(data + 8));
    header->dts = static_cast<int64_t>(getLE64(data + 16));
    header->reserved = getLE64(data + 24);
    header->flags = getLE32(data + 32);
    header->dataSize = getLE32(data + 36);
    header->extraDataSize = getLE32(data + 40);
    return true;
}
