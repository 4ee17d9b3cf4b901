// Copies of text into the fixed 256-byte fields that hold names and ids.
#pragma once

#include <cstddef>
#include <cstring>

// Copies at most size - 1 bytes of src into dst and always terminates it. A
// cut never splits a UTF-8 character: the partial character is dropped too,
// so the field always holds valid UTF-8 when src did. Returns the bytes kept.
inline size_t copyBoundedUtf8(char* dst, size_t size, const char* src) {
    if (size == 0) return 0;
    if (src == nullptr) {
        dst[0] = '\0';
        return 0;
    }
    size_t len = strnlen(src, size);
    if (len >= size) {
        len = size - 1;
        // src[len] is the first byte left out; when it continues a character,
        // drop that whole character.
        while (len > 0 && (static_cast<unsigned char>(src[len]) & 0xC0) == 0x80) --len;
    }
    memcpy(dst, src, len);
    dst[len] = '\0';
    return len;
}
