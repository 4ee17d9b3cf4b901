#include "engine/base64.h"

#include <array>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kOutside = 64;

// Every byte's 6-bit value, or kOutside for bytes not in the alphabet
// (padding and NUL included).
constexpr std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = kOutside;
    for (uint8_t value = 0; value < 64; ++value) {
        table[static_cast<uint8_t>(kAlphabet[value])] = value;
    }
    return table;
}
constexpr std::array<uint8_t, 256> kDecodeTable = makeDecodeTable();

uint8_t sextet(const char* text, int32_t i) { return kDecodeTable[static_cast<uint8_t>(text[i])]; }

int32_t alphabetPrefixLength(const char* text) {
    int32_t n = 0;
    while (sextet(text, n) != kOutside) ++n;
    return n;
}

// Decodes r (1 to 4) characters; r characters carry r - 1 whole bytes.
uint8_t* decodeGroup(uint8_t* out, const char* in, int32_t r) {
    uint32_t bits = 0;
    for (int32_t i = 0; i < 4; ++i) bits = bits << 6 | (i < r ? sextet(in, i) : 0);
    if (r >= 2) *out++ = static_cast<uint8_t>(bits >> 16);
    if (r >= 3) *out++ = static_cast<uint8_t>(bits >> 8);
    if (r >= 4) *out++ = static_cast<uint8_t>(bits);
    return out;
}

}  // namespace

int32_t base64DecodedLength(const char* text) {
    return (alphabetPrefixLength(text) + 3) / 4 * 3 + 1;
}

int32_t base64Decode(uint8_t* dest, const char* text) {
    const int32_t n = alphabetPrefixLength(text);
    uint8_t* out = dest;
    int32_t i = 0;
    for (; n - i > 4; i += 4) out = decodeGroup(out, text + i, 4);
    const int32_t r = n - i;
    if (r > 0) out = decodeGroup(out, text + i, r);
    *out = 0;
    return static_cast<int32_t>(out - dest);
}

int32_t base64EncodedLength(int32_t count) { return (count + 2) / 3 * 4 + 1; }

int32_t base64Encode(char* dest, const uint8_t* src, int32_t count) {
    char* out = dest;
    int32_t i = 0;
    for (; count - i >= 3; i += 3) {
        const uint32_t bits = uint32_t{src[i]} << 16 | uint32_t{src[i + 1]} << 8 | src[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) *out++ = kAlphabet[bits >> shift & 63];
    }
    const int32_t rest = count - i;
    if (rest > 0) {
        uint32_t bits = uint32_t{src[i]} << 16;
        if (rest == 2) bits |= uint32_t{src[i + 1]} << 8;
        *out++ = kAlphabet[bits >> 18 & 63];
        *out++ = kAlphabet[bits >> 12 & 63];
        *out++ = rest == 2 ? kAlphabet[bits >> 6 & 63] : '=';
        *out++ = '=';
    }
    *out = '\0';
    return static_cast<int32_t>(out - dest) + 1;
}
