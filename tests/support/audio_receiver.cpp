#include "tests/support/audio_receiver.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/sender.h"

namespace testsupport {

AudioReceiver::~AudioReceiver() { NDIlib_recv_destroy(recv_); }

bool AudioReceiver::connect(NDIlib_send_instance_t sender) {
    const std::string address = "127.0.0.1:" + std::to_string(NDIlib_send_get_port(sender));
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_url_address = address.c_str();
    settings.bandwidth = NDIlib_recv_bandwidth_audio_only;
    recv_ = NDIlib_recv_create_v4(&settings, nullptr);
    return recv_ != nullptr && NDIlib_send_get_no_connections(sender, 5000) > 0;
}

bool AudioReceiver::next(ReceivedAudio* audio, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        NDIlib_audio_frame_v2_t frame;
        switch (NDIlib_recv_capture_v2(recv_, nullptr, &frame, nullptr, 100)) {
            case NDIlib_frame_type_error:
                return false;
            case NDIlib_frame_type_audio:
                break;
            default:
                continue;
        }
        audio->sampleRate = frame.sample_rate;
        audio->channels = frame.no_channels;
        audio->samples = frame.no_samples;
        audio->strideBytes = frame.channel_stride_in_bytes;
        audio->timecode = frame.timecode;
        audio->timestamp = frame.timestamp;
        audio->planar.assign(size_t(frame.no_channels) * frame.no_samples, 0.0f);
        for (int c = 0; c < frame.no_channels; ++c) {
            const auto* plane = reinterpret_cast<const char*>(frame.p_data) +
                                size_t(c) * frame.channel_stride_in_bytes;
            std::copy_n(reinterpret_cast<const float*>(plane), frame.no_samples,
                        audio->planar.begin() + ptrdiff_t(c) * frame.no_samples);
        }
        NDIlib_recv_free_audio_v2(recv_, &frame);
        return true;
    }
    return false;
}

NDIlib_send_instance_t waitForNDISender(uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (theNDISender.load() == nullptr && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return theNDISender.load();
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace testsupport
