// The compressed video path: every video frame leaves as one H.264 picture
// behind an HXPacketHeader, sent under FourCC 'H264' (and again under 'h264').
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/engine.h"

// Fixed buffers of one stream, allocated at each encoder set-up. The scratch
// holds the UYVY form of the largest frame the capture can deliver, so no
// accepted frame can overrun it.
inline constexpr int64_t kEncodedDataBytes = 5000000;
inline constexpr int64_t kPacketBytes = 5500000;
inline constexpr int64_t kUyvyScratchBytes = int64_t{7680} * 4320 * 2;

// Debug aids, unused by the program: append encoded bytes to
// <temporary directory>/h264data_<stream>.h264 (recreated on first use), and
// print the data rate about once a second.
extern FILE* h264DumpFiles[2];
void dumpH264ToFile(const uint8_t* bytes, int32_t length, int32_t stream);
extern int64_t dataRateBytes;
extern double dataRateTime;
int32_t printDataRate(int32_t count);
