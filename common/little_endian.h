// Little-endian fields of the program's wire formats, written and read byte
// by byte so that neither alignment nor the host's byte order matters.
#pragma once

#include <cstdint>

inline void putLE32(uint8_t* dst, uint32_t value) {
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void putLE64(uint8_t* dst, uint64_t value) {
    for (int i = 0; i < 8; ++i) dst[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t getLE32(const uint8_t* src) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | src[i];
    return value;
}

inline uint64_t getLE64(const uint8_t* src) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | src[i];
    return value;
}
