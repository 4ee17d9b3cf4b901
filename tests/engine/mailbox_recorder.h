// A frame consumer for mailbox tests: records what the sender thread takes
// instead of encoding it, and can hold the sender inside a send so tests can
// submit frames while it is busy. With releaseEarly it gives the slot back
// as soon as it has read the pixels, as the compressed path does once the
// picture is converted.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/mailbox.h"

namespace mailboxtest {

struct TakenFrame {
    int32_t width = 0;
    int32_t height = 0;
    uint32_t fourcc = 0;
    int32_t frameRateCode = 0;
    int32_t aspect16x9 = 0;
    int32_t progressive = 0;
    uint32_t firstWord = 0;      // the first four bytes, as a frame id
    bool uniform = false;        // every 32-bit word equals firstWord
    std::vector<uint8_t> bytes;  // kept only when keepBytes is set
    std::thread::id thread;
};

struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<TakenFrame> frames;
    bool holdSends = false;
    bool keepBytes = false;
    bool releaseEarly = false;
    int32_t sendsStarted = 0;
};
inline Recorder recorder;

inline bool isUniform(const uint8_t* pixels, size_t bytes, uint32_t word) {
    for (size_t at = 0; at + 4 <= bytes; at += 4)
        if (memcmp(pixels + at, &word, 4) != 0) return false;
    return true;
}

inline int32_t recordFrame(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                           int32_t frameRateCode, int32_t aspect16x9, int32_t progressive) {
    TakenFrame frame;
    frame.width = width;
    frame.height = height;
    frame.fourcc = fourcc;
    frame.frameRateCode = frameRateCode;
    frame.aspect16x9 = aspect16x9;
    frame.progressive = progressive;
    const size_t bytes = size_t(width) * size_t(height) * (fourcc == 0x32767579 ? 2 : 4);
    memcpy(&frame.firstWord, pixels, 4);
    frame.uniform = isUniform(pixels, bytes, frame.firstWord);
    frame.thread = std::this_thread::get_id();
    std::unique_lock<std::mutex> hold(recorder.lock);
    if (recorder.keepBytes) frame.bytes.assign(pixels, pixels + bytes);
    if (recorder.releaseEarly) releaseFramePixels(pixels);
    ++recorder.sendsStarted;
    recorder.changed.notify_all();
    recorder.changed.wait(hold, [] { return !recorder.holdSends; });
    recorder.frames.push_back(std::move(frame));
    recorder.changed.notify_all();
    return 0;
}

inline void installRecorder(bool releaseEarly = false) {
    {
        std::lock_guard<std::mutex> hold(recorder.lock);
        recorder.releaseEarly = releaseEarly;
    }
    setFrameConsumer(recordFrame);
}

// Waits until cond() holds (checked under the recorder's lock) or 5 s pass.
template <typename Cond>
bool waitFor(Cond cond) {
    std::unique_lock<std::mutex> hold(recorder.lock);
    return recorder.changed.wait_for(hold, std::chrono::seconds(5), cond);
}

inline size_t framesTaken() {
    std::lock_guard<std::mutex> hold(recorder.lock);
    return recorder.frames.size();
}

inline int32_t sendsStarted() {
    std::lock_guard<std::mutex> hold(recorder.lock);
    return recorder.sendsStarted;
}

inline void setHold(bool on) {
    std::lock_guard<std::mutex> hold(recorder.lock);
    recorder.holdSends = on;
    recorder.changed.notify_all();
}

// Waits until the mailbox holds no waiting frame and the sender is idle.
inline bool waitMailboxEmpty() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        NDISendData* data = theNDISendData.load();
        if (data->ready.load() == 0 && data->busy.load() == kSlotFree) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Creates the mailbox when there is none and waits until the sender thread
// runs its loop with nothing in hand.
inline bool startMailbox() {
    const uint8_t none[4] = {};
    if (theNDISendData.load() == nullptr) postFrameToSender(none, 0, 0, 0x62677261, 7, 1, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        NDISendData* data = theNDISendData.load();
        if (data != nullptr && data->running.load() == 1) return waitMailboxEmpty();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Runs body, writes what failed in it to standard error and ends the process:
// status 0 when every check held.
[[noreturn]] inline void runAndExit(const std::function<void()>& body) {
    body();
    const testing::TestResult& result =
        *testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result.total_part_count(); ++i) {
        const testing::TestPartResult& part = result.GetTestPartResult(i);
        if (part.failed())
            fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "",
                    part.line_number(), part.message());
    }
    fflush(nullptr);
    std::_Exit(testing::Test::HasFailure() ? 1 : 0);
}

// Runs body in a process of its own, this test binary started afresh for the
// current test alone (the "threadsafe" death-test style), so that the body
// finds no mailbox and no sender thread whatever ran before it, and leaves
// nothing behind for the tests after it.
inline void inFreshProcess(const std::function<void()>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runAndExit(body), testing::ExitedWithCode(0), "");
}

}  // namespace mailboxtest
