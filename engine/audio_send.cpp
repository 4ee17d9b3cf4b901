#include "engine/audio_send.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "common/diagnostics.h"
#include "common/globals.h"
#include "engine/sender.h"
#include "engine/video_send.h"
#include "settings/prefs.h"

float* audioPlanarBuffer = nullptr;

namespace {

constexpr int kBytesPerSample = 4;
constexpr int64_t kPlanarSamples = kAudioPlanarBytes / kBytesPerSample;

// Lays frames [first, first + count) of the block out plane by plane; the
// interleaved frames are stepped by the block's full channel count.
void makePlanar(const float* interleaved, int first, int count, int channels, int sent) {
    const float* frame = interleaved + int64_t{first} * channels;
    for (int f = 0; f < count; ++f, frame += channels) {
        for (int c = 0; c < sent; ++c) audioPlanarBuffer[int64_t{c} * count + f] = frame[c];
    }
}

float channelZeroPeak(const float* plane, int samples) {
    float peak = 0.0f;
    for (int i = 0; i < samples; ++i) peak = std::max(peak, plane[i]);
    return peak;
}

}  // namespace

int channelsToSend(int channels) {
    return (thePrefs.allChannels != 0 || channels < 2) ? channels : 2;
}

namespace {

void sendAudioBlock(const float* interleaved, int frames, int channels, int sampleRate) {
    const int sent = channelsToSend(channels);
    if (frames < 1 || sent < 1) {
        sendAudioToNDI(audioPlanarBuffer, std::max(sent, 0), sampleRate, 0);
        return;
    }
    // A run that fell far behind hands up to ten seconds at once; each piece
    // fills at most the planar buffer and goes out as a frame of its own.
    const int piece = static_cast<int>(std::min<int64_t>(frames, kPlanarSamples / sent));
    for (int first = 0; first < frames; first += piece) {
        const int count = std::min(piece, frames - first);
        makePlanar(interleaved, first, count, channels, sent);
        sendAudioToNDI(audioPlanarBuffer, sent, sampleRate, count * kBytesPerSample);
    }
}

// The last block failed: the next one's lines, the same, are held back.
std::atomic<bool> lastBlockFailed{false};

}  // namespace

// Without memory for the planar buffer, or for what the send needs (the
// sender's thread), the block is dropped and the next one tries.
int processAudioBuffer(const float* interleaved, int frames, int channels, int sampleRate) {
    static RepeatedLine blockDropped{DiagnosticStream::output};
    const bool failedBefore = lastBlockFailed.load();
    try {
        const HeldLines repeated(failedBefore);
        if (audioPlanarBuffer == nullptr) audioPlanarBuffer = new float[kPlanarSamples];
        sendAudioBlock(interleaved, frames, channels, sampleRate);
    } catch (const std::exception& error) {
        blockDropped.write("processAudioBuffer: %s, audio block dropped", error.what());
        lastBlockFailed.store(true);
        return 0;
    }
    if (failedBefore) blockDropped.ended();
    lastBlockFailed.store(false);
    return 0;
}

int sendAudioToNDI(const float* planar, int channels, int sampleRate, int channelStrideBytes) {
    NDIlib_send_instance_t sender = ensureNDISender();
    if (sender == nullptr) return 0;
    NDIlib_audio_frame_v2_t frame;
    frame.sample_rate = sampleRate;
    frame.no_channels = channels;
    frame.no_samples = channelStrideBytes / kBytesPerSample;
    frame.timecode = static_cast<int64_t>(currentTime100ns());
    frame.p_data = const_cast<float*>(planar);
    frame.channel_stride_in_bytes = channelStrideBytes;
    frame.p_metadata = nullptr;
    frame.timestamp = INT64_MAX;
    sendNDIFrames(sender, nullptr, &frame, nullptr);
    audioPeakLevel = channelZeroPeak(planar, frame.no_samples);
    return 0;
}
