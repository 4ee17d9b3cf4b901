// How successive capture runs are told apart. Every start takes the next
// ticket; every stop ends the oldest run still alive, whether it waits, sets
// up or captures. Only the run holding the device may capture, and the device
// passes to the next run only after the previous one has torn down.
#pragma once

#include <cstdint>
#include <functional>

// Called on a run's own thread once its set-up is done, just before it asks
// to begin capturing; tests pause a run there. None by default.
void setBeforeCapturingHook(std::function<void()> hook);

// The run with this ticket may start capturing: raises audioThreadRunning and
// returns true, unless a stop has ended the run meanwhile (then false, flag
// untouched). The check and the raise are one step against stopAudioCapture.
bool beginCapturing(uint64_t ticket);

// True when no run is alive and none holds the device.
bool audioCaptureIdle();
