// Sending captured audio: each interleaved block from the capture run becomes
// one (or, for a very late block, a few) planar NDI audio frames through the
// one NDI sender, and its channel-0 peak feeds the level meter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

// Bytes of the planar scratch buffer: allocated at the first block, kept for
// the life of the process.
inline constexpr size_t kAudioPlanarBytes = 10'000'000;
// Only the audio thread of the current capture run touches it; successive
// runs are strictly ordered by the capture thread.
extern float* audioPlanarBuffer;

// Sends one planar block (plane c at c x channelStrideBytes) as one NDI audio
// frame, creating the sender first when there is none, then sets
// audioPeakLevel from plane 0. Returns 0; without a sender nothing is sent and
// the peak keeps its value.
int sendAudioToNDI(const float* planar, int channels, int sampleRate, int channelStrideBytes);
