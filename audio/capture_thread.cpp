// The capture thread: one detached thread per start, waiting its turn, then
// one capture run.
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "audio/audio.h"
#include "audio/run_order.h"

int startAudioThread(const char* deviceId) {
    const uint64_t ticket = takeTicket();
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
    endOldestRun();
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
