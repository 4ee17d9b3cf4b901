// Sending one video frame: the frame record announced to receivers, the
// frame-rate table it takes its rate from, and the 100 ns host clock that
// stamps every video and audio frame.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/engine.h"

// Announced frame rate (numerator / denominator) for each frameRateCode.
struct FrameRate {
    int32_t frame_rate_N;
    int32_t frame_rate_D;
};
inline constexpr int32_t kFrameRateCount = 8;
// 25 frames per second is announced as 30000/1200 rather than 25/1; both
// give the same frame duration.
inline constexpr FrameRate frameRateTable[kFrameRateCount] = {
    {24000, 1001}, {24, 1}, {30000, 1200}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001}, {60, 1},
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

// Fills the uncompressed frame record for one frame: size, FourCC and stride
// by pixel tag (an unknown tag gives FourCC 0, stride 0 and no data), rate
// from frameRateTable, aspect, format type, timecode now. Returns 0, or -1
// with a diagnostic line when the frame cannot be announced: a frame-rate
// code outside the table (its 0/0 rate cannot be encoded) or a size outside
// 1 x 1 to 7680 x 4320.
int32_t fillVideoFrame(NDIlib_video_frame_v2_t* frame, const uint8_t* pixels, int32_t width,
                       int32_t height, uint32_t fourcc, int32_t frameRateCode, int32_t aspect16x9,
                       int32_t progressive);
