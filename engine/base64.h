// Base64 (RFC 4648 section 4 alphabet, "=" padding) for byte strings.
#pragma once

#include <cstdint>

// Room base64Decode needs for text, its NUL included: with n the leading
// alphabet bytes, ((n + 3) / 4) x 3 + 1.
int32_t base64DecodedLength(const char* text);
// Decodes the leading alphabet bytes of text (padding, white space or any other
// byte ends it) into dest, then writes a NUL. dest must hold
// base64DecodedLength(text) bytes. Returns the bytes decoded, NUL not counted.
int32_t base64Decode(uint8_t* dest, const char* text);
// Room base64Encode needs for count bytes, its NUL included.
int32_t base64EncodedLength(int32_t count);
// Encodes count bytes of src into dest with padding and a NUL; dest must hold
// base64EncodedLength(count) bytes. Returns the characters written plus one.
int32_t base64Encode(char* dest, const uint8_t* src, int32_t count);
