// Small helpers the audio folder's own files share; not part of its door.
#pragma once

#include <soundio/soundio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "common/diagnostics.h"

// The latency input streams ask for: fragments well inside one 40 ms cycle
// of the capture run, so that its drain sets the pace and never finds the
// ring empty while sound flows.
inline constexpr int kInputLatencyMs = 10;

// The audio library leaves names and ids null when a back end has none.
inline const char* textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

inline void sleepMilliseconds(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The line a lost back end gets on standard output: "libsoundio: backend
// disconnected: ..." with the library's error text. The library's own
// handler would end the process instead.
void reportBackendDisconnect(SoundIo* soundio, int err);

// True when the audio library's requests for the PulseAudio server's
// information and device lists are answered by the program
// (pulse_server_info.cpp), so that a server without any output device, one
// whose last output goes away, or one with a device wider than 24 channels is
// safe to connect to.
bool pulseServerInfoGuarded();

// A line that can come again and again (at every delivery of the device, at
// every start while memory is short): written the first time, then only
// counted until settle() says how often it came since. Any thread; unlike
// the common RepeatedLine it takes no lock, since the device's real-time
// thread writes some of these.
class CountedLine {
  public:
    explicit constexpr CountedLine(const char* text) : text_(text) {}
    // The line, with ": detail" when there is one.
    void write(const char* detail = nullptr) {
        if (count_.fetch_add(1, std::memory_order_relaxed) != 0) return;
        if (detail != nullptr) {
            diagnosticLine("%s: %s\n", text_, detail);
        } else {
            diagnosticLine("%s\n", text_);
        }
    }
    // Says how often the line came after it was written, and writes it
    // again when it next comes.
    void settle() {
        const uint32_t count = count_.exchange(0, std::memory_order_relaxed);
        if (count > 1) {
            diagnosticLine("%s: %u more time%s\n", text_, count - 1, count > 2 ? "s" : "");
        }
    }

  private:
    const char* text_;
    std::atomic<uint32_t> count_{0};
};

// The layouts a device really has, copied from nowhere: the library's list,
// or the one layout of a server's device.
struct DeviceLayouts {
    const SoundIoChannelLayout* list = nullptr;
    int count = 0;
    SoundIoChannelLayout own{};  // used when list is null
    const SoundIoChannelLayout& operator[](int i) const { return list != nullptr ? list[i] : own; }
};
// The layouts the device really has: for a mixing server's device its own
// current channel map only, cut to the leading channels a stream can ask for
// (at most 24, up to the first position the library has no name for; none
// when even the first is unnamed), else what the library lists.
DeviceLayouts deviceLayouts(const SoundIoDevice* device);
