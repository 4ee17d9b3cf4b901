// The order of capture runs: tickets, turns at the device and stops.
#include "audio/run_order.h"

#include <mutex>

#include "common/globals.h"

namespace {

struct AudioRunOrder {
    std::mutex lock;
    uint64_t started = 0;  // tickets handed out
    uint64_t ended = 0;    // runs up to this ticket are stopped or over
    uint64_t holder = 0;   // the run that owns the device, 0 when none
};
AudioRunOrder theAudioRuns;

std::mutex beforeCapturingLock;
std::function<void()> beforeCapturing;

}  // namespace

void setBeforeCapturingHook(std::function<void()> hook) {
    std::lock_guard guard(beforeCapturingLock);
    beforeCapturing = std::move(hook);
}

bool beginCapturing(uint64_t ticket) {
    std::function<void()> hook;
    {
        std::lock_guard guard(beforeCapturingLock);
        hook = beforeCapturing;
    }
    if (hook) hook();
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended >= ticket) return false;
    audioThreadRunning = 1;
    return true;
}

bool audioCaptureIdle() {
    std::lock_guard guard(theAudioRuns.lock);
    return theAudioRuns.ended == theAudioRuns.started && theAudioRuns.holder == 0;
}

uint64_t takeTicket() {
    std::lock_guard guard(theAudioRuns.lock);
    return ++theAudioRuns.started;
}

void withdrawTicket(uint64_t ticket) {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.started == ticket && theAudioRuns.ended < ticket) --theAudioRuns.started;
}

Turn takeTurn(uint64_t ticket) {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended >= ticket) return Turn::cancelled;
    if (theAudioRuns.holder != 0 || theAudioRuns.ended + 1 != ticket) return Turn::wait;
    theAudioRuns.holder = ticket;
    return Turn::go;
}

void finishRun(uint64_t ticket) {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended < ticket) theAudioRuns.ended = ticket;
    theAudioRuns.holder = 0;
}

void endOldestRun() {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended < theAudioRuns.started) ++theAudioRuns.ended;
    audioThreadRunning = 0;
}
