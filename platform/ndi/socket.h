// Socket helpers shared by the sending and receiving ends.
#pragma once

#include <sys/uio.h>

#include <cstddef>

namespace ndiwire {

// Writes every byte of the buffers to a non-blocking socket, waiting for room
// at most timeoutMs in all. False (with errno-style reason in *error) when the
// peer is gone or stalls past the deadline; the stream is then unusable.
bool writeAll(int fd, iovec* parts, int count, int timeoutMs, const char** error);

// Milliseconds on CLOCK_MONOTONIC, for deadlines.
long long monotonicMs();

// Environment integer in [low, high], or fallback when unset or invalid
// (invalid values get a diagnostic).
int environmentInt(const char* name, int fallback, int low, int high);

}  // namespace ndiwire
