// The capture thread: one detached thread per start, waiting its turn, then
// one capture run.
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "audio/audio.h"
#include "audio/helpers.h"
#include "audio/run_order.h"

namespace {

// Short of threads or memory, every start meets this again.
CountedLine noAudioThread("unable to start the audio thread");

}  // namespace

int startAudioThread(const char* deviceId) {
    const uint64_t ticket = takeTicket();
    try {
        std::thread(audioThreadMain, deviceId, ticket).detach();
    } catch (const std::exception& error) {  // std::system_error, or std::bad_alloc
        noAudioThread.write(error.what());
        withdrawTicket(ticket);
        return 1;
    }
    noAudioThread.settle();
    return 0;
}

int stopAudioCapture() {
    endOldestRun();
    return 0;
}

void audioThreadMain(const char* deviceId, uint64_t ticket) {
    for (;;) {
        Turn turn = takeTurn(ticket);
        if (turn == Turn::cancelled) return;
        if (turn == Turn::go) break;
        diagnosticOutputLine("waiting for audio\n");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    runAudioCapture(deviceId, ticket);
    finishRun(ticket);
}
