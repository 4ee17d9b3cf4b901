// Sending one video frame: the frame record announced to receivers, the
// frame-rate table it takes its rate from, and the 100 ns host clock that
// stamps every video and audio frame.
#pragma once

#include <atomic>
#include <cstdint>

// Announced frame rate (numerator / denominator) for each frameRateCode.
struct FrameRate {
    int32_t frame_rate_N;
    int32_t frame_rate_D;
};
inline constexpr int32_t kFrameRateCount = 8;
// 25 fps is announced as 30000/1200, as receivers of this source expect.
inline constexpr FrameRate frameRateTable[kFrameRateCount] = {
    {24000, 1001}, {24, 1}, {30000, 1200}, {30000, 1001},
    {30, 1},       {50, 1}, {60000, 1001}, {60, 1},
};

// The host clock's timebase, fetched on first use. The denominator is
// published last (release) so a thread that sees it non-zero also sees the
// numerator.
struct TimebaseInfo {
    std::atomic<uint32_t> numer{0};
    std::atomic<uint32_t> denom{0};
};
extern TimebaseInfo timebaseInfo;

// The host clock in units of 100 ns since the host's start; safe from any
// thread.
uint64_t currentTime100ns();

// Turns one frame into a video frame record and hands it to the compressed
// send path, creating the NDI sender first when none exists. The pixels are
// read only during the call. Returns 0; a frame that cannot be sent (no
// sender, frame-rate code outside the table, oversized frame) is dropped
// with a diagnostic line.
int32_t sendVideoToNDI(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                       int32_t frameRateCode, int32_t aspect16x9, int32_t progressive);
