// The capture thread: one detached thread per start, waiting its turn, then
// one capture run.
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/audio.h"
#include "audio/run_order.h"
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

enum class Turn { wait, go, cancelled };

// The device goes to the oldest live run, and only once the run before it
// has released it.
Turn takeTurn(uint64_t ticket) {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended >= ticket) return Turn::cancelled;
    if (theAudioRuns.holder != 0 || theAudioRuns.ended + 1 != ticket) return Turn::wait;
    theAudioRuns.holder = ticket;
    return Turn::go;
}

// A run that ends by itself (set-up failure) counts as ended, so the next
// stop goes to the run after it.
void finishRun(uint64_t ticket) {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended < ticket) theAudioRuns.ended = ticket;
    theAudioRuns.holder = 0;
}

// Called when the thread for the newest ticket could not be made.
void withdrawTicket(uint64_t ticket) {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.started == ticket && theAudioRuns.ended < ticket) --theAudioRuns.started;
}

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

int startAudioThread(const char* deviceId) {
    uint64_t ticket;
    {
        std::lock_guard guard(theAudioRuns.lock);
        ticket = ++theAudioRuns.started;
    }
    try {
        std::thread(audioThreadMain, deviceId, ticket).detach();
    } catch (const std::system_error& error) {
        fprintf(stderr, "unable to start the audio thread: %s\n", error.what());
        withdrawTicket(ticket);
        return 1;
    }
    return 0;
}

int stopAudioCapture() {
    std::lock_guard guard(theAudioRuns.lock);
    if (theAudioRuns.ended < theAudioRuns.started) ++theAudioRuns.ended;
    audioThreadRunning = 0;
    return 0;
}

void audioThreadMain(const char* deviceId, uint64_t ticket) {
    for (;;) {
        Turn turn = takeTurn(ticket);
        if (turn == Turn::cancelled) return;
        if (turn == Turn::go) break;
        printf("waiting for audio\n");
        fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    runAudioCapture(deviceId, ticket);
    finishRun(ticket);
}
