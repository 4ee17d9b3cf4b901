// Small helpers the audio folder's own files share; not part of its door.
#pragma once

#include <chrono>
#include <thread>

struct SoundIo;

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
