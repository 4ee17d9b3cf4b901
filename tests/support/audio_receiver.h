// A receiver on loopback that reads the audio frames of the program's NDI
// sender, for tests of audio sending and capture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ndi/ndi.h"

namespace testsupport {

struct ReceivedAudio {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t samples = 0;  // per channel
    int32_t strideBytes = 0;
    int64_t timecode = 0;
    int64_t timestamp = 0;
    std::vector<float> planar;  // channels x samples, plane after plane

    float at(int channel, int sample) const { return planar[size_t(channel) * samples + sample]; }
};

class AudioReceiver {
  public:
    AudioReceiver() = default;
    AudioReceiver(const AudioReceiver&) = delete;
    AudioReceiver& operator=(const AudioReceiver&) = delete;
    ~AudioReceiver();

    // Connects to the sender's port on 127.0.0.1 and waits until the sender
    // counts the connection.
    bool connect(NDIlib_send_instance_t sender);
    // The next audio frame within timeoutMs, skipping other frames; false on
    // timeout or a broken connection.
    bool next(ReceivedAudio* audio, uint32_t timeoutMs);

  private:
    NDIlib_recv_instance_t recv_ = nullptr;
};

// Waits up to timeoutMs for the program's NDI sender to exist.
NDIlib_send_instance_t waitForNDISender(uint32_t timeoutMs);

// Polls the condition until it holds (true) or timeoutMs has passed (false).
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

// How often `part` occurs in `text`.
int countOf(const std::string& text, const std::string& part);

}  // namespace testsupport
