// libFuzzer target: the decoder must stay inside the room it asks for, and
// any bytes must survive encoding and decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/base64.h"

namespace {

void decodeWithinItsRoom(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const int32_t room = base64DecodedLength(text.data());
    std::vector<uint8_t> out(static_cast<size_t>(room));  // exact: ASan sees any overrun
    const int32_t written = base64Decode(out.data(), text.data());
    if (written < 0 || written >= room || out[written] != 0) abort();
}

void roundTrip(const uint8_t* data, size_t size) {
    const int32_t count = static_cast<int32_t>(size);
    std::vector<char> text(static_cast<size_t>(base64EncodedLength(count)));
    const int32_t characters = base64Encode(text.data(), data, count);
    if (characters != static_cast<int32_t>(text.size())) abort();
    std::vector<uint8_t> back(static_cast<size_t>(base64DecodedLength(text.data())));
    const int32_t written = base64Decode(back.data(), text.data());
    if (written != count || memcmp(back.data(), data, size) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    decodeWithinItsRoom(data, size);
    roundTrip(data, size);
    return 0;
}
