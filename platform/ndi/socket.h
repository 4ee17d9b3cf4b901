// Socket helpers shared by the sending and receiving ends.
#pragma once

#include <sys/uio.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace ndiwire {

// Writes every byte of the buffers to a non-blocking socket, waiting for room
// at most timeoutMs in all. False (with errno-style reason in *error) when the
// peer is gone or stalls past the deadline; the stream is then unusable.
bool writeAll(int fd, iovec* parts, int count, int timeoutMs, const char** error);

// Milliseconds on CLOCK_MONOTONIC, for deadlines.
long long monotonicMs();

// The deadline of a wait of timeoutMs from now; the largest timeout waits
// forever, and every other one means what it says.
inline constexpr long long kNoDeadline = LLONG_MAX;
long long deadlineAfter(uint32_t timeoutMs);
// Milliseconds left until the deadline as poll() takes them: -1 for none.
int pollTimeout(long long deadline);

// Environment integer in [low, high], or fallback when unset or invalid
// (invalid values get a diagnostic).
int environmentInt(const char* name, int fallback, int low, int high);

// What a failure to make a thread or a buffer says in a line.
const char* failureText(const std::exception& failure);

}  // namespace ndiwire
