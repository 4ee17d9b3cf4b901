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
// untouched). The check and the raise are one step against endOldestRun.
bool beginCapturing(uint64_t ticket);

// True when no run is alive and none holds the device.
bool audioCaptureIdle();

// The next start's ticket.
uint64_t takeTicket();
// Gives back the newest ticket when the thread for it could not be made.
void withdrawTicket(uint64_t ticket);

enum class Turn { wait, go, cancelled };
// The device goes to the oldest live run, and only once the run before it has
// released it; go means this run now holds it.
Turn takeTurn(uint64_t ticket);
// The run is over and lets go of the device. A run that ends by itself
// (set-up failure) counts as ended, so the next stop goes to the run after it.
void finishRun(uint64_t ticket);
// Ends the oldest run still alive and lowers audioThreadRunning.
void endOldestRun();
