// Capture runs on the Dummy back end, started and stopped the way the main
// window does it, with a receiver on loopback getting what they send.
#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "audio/run_order.h"
#include "common/diagnostics.h"
#include "common/globals.h"
#include "settings/prefs.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/stuck_stderr.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::AudioReceiver;
using testsupport::countOf;
using testsupport::ReceivedAudio;
using testsupport::waitUntil;

bool capturing() { return audioThreadRunning != 0; }

// What the capture runs' threads wrote on standard output since it was captured.
std::string capturedLines() {
    flushDiagnostics(5000);
    return testing::internal::GetCapturedStdout();
}

class CaptureRuns : public testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        setPrefsText(thePrefs.audioInputDeviceSIOUID, "dummy-in");
        channelCountChanged = 0;
    }
    void TearDown() override {
        stopAudioCapture();
        EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
    }
    void start() { ASSERT_EQ(startAudioThread(thePrefs.audioInputDeviceSIOUID), 0); }

    // Receives for about a second and checks that the samples cover the time.
    void expectRealTimeAudio(int channels) {
        NDIlib_send_instance_t sender = testsupport::waitForNDISender(10000);
        ASSERT_NE(sender, nullptr);
        AudioReceiver receiver;
        ASSERT_TRUE(receiver.connect(sender));
        ReceivedAudio audio;
        ASSERT_TRUE(receiver.next(&audio, 5000));
        const auto first = Clock::now();
        auto last = first;
        int64_t samples = 0;
        while (last - first < std::chrono::seconds(1)) {
            ASSERT_TRUE(receiver.next(&audio, 5000));
            last = Clock::now();
            EXPECT_EQ(audio.sampleRate, 48000);
            EXPECT_EQ(audio.channels, channels);
            samples += audio.samples;
        }
        const double elapsed = std::chrono::duration<double>(last - first).count();
        const double seconds = double(samples) / 48000.0;
        EXPECT_GT(seconds, elapsed * 0.5) << samples << " samples in " << elapsed << " s";
        EXPECT_LT(seconds, elapsed * 1.5 + 0.3) << samples << " samples in " << elapsed << " s";
    }
};

TEST_F(CaptureRuns, StopDuringSetUpEndsTheRunBeforeItCaptures) {
    // The run is held at the end of its set-up until the stop has been made.
    std::promise<void> setUpDone, stopped;
    std::shared_future<void> stopMade = stopped.get_future().share();
    setBeforeCapturingHook([&setUpDone, stopMade] {
        setUpDone.set_value();
        stopMade.wait();
    });
    start();
    setUpDone.get_future().wait();
    stopAudioCapture();
    stopped.set_value();
    EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
    setBeforeCapturingHook(nullptr);
    EXPECT_EQ(audioThreadRunning, 0);
    EXPECT_EQ(channelCountChanged, 0);
}

TEST_F(CaptureRuns, StopOneSecondStartEndsTheFirstRunBeforeTheSecond) {
    start();
    ASSERT_TRUE(waitUntil(capturing, 10000));
    stopAudioCapture();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(audioCaptureIdle()) << "the first run is still tearing down";
    testing::internal::CaptureStdout();
    start();
    EXPECT_TRUE(waitUntil(capturing, 10000));
    EXPECT_EQ(countOf(capturedLines(), "waiting for audio\n"), 0);
}

TEST_F(CaptureRuns, ImmediateRestartWaitsForTheEarlierRunToLeave) {
    start();
    ASSERT_TRUE(waitUntil(capturing, 10000));
    testing::internal::CaptureStdout();
    stopAudioCapture();
    start();
    // The earlier run still holds the device for part of a cycle, so the new
    // one waits its turn, and the earlier stop does not end it.
    EXPECT_TRUE(waitUntil(capturing, 10000));
    EXPECT_GE(countOf(capturedLines(), "waiting for audio\n"), 1);
    expectRealTimeAudio(2);
}

TEST_F(CaptureRuns, StartWhileCapturingWaitsUntilAStop) {
    start();
    ASSERT_TRUE(waitUntil(capturing, 10000));
    testing::internal::CaptureStdout();
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(audioThreadRunning, 1);
    stopAudioCapture();  // ends the first run only
    EXPECT_TRUE(waitUntil(capturing, 10000)) << "the waiting run never took over";
    EXPECT_GE(countOf(capturedLines(), "waiting for audio\n"), 2);
    stopAudioCapture();
    EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
    EXPECT_EQ(audioThreadRunning, 0);
}

TEST_F(CaptureRuns, StartStopStartStopLeavesNothingCapturing) {
    start();
    ASSERT_TRUE(waitUntil(capturing, 10000));
    stopAudioCapture();
    start();
    stopAudioCapture();
    EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(audioThreadRunning, 0);
    EXPECT_TRUE(audioCaptureIdle());
}

TEST_F(CaptureRuns, FailedRunDoesNotSwallowTheNextStop) {
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "no-such-device");
    testing::internal::CaptureStderr();
    start();
    EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid device id: no-such-device\n"),
              std::string::npos);
    stopAudioCapture();  // audio switched off: nothing left to end
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "dummy-in");
    start();
    ASSERT_TRUE(waitUntil(capturing, 10000));
    stopAudioCapture();
    EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
}

TEST(AudioThreadLines, NeverWaitForAReaderOfStandardError) {
    EXPECT_TRUE(testsupport::finishesWhileStandardErrorIsStuck([] {
        // The device's real-time thread, then a run that cannot set up.
        audioOverflowCallback(nullptr);
        audioStreamErrorCallback(nullptr, SoundIoErrorStreaming);
        runAudioCapture("no-such-device", 0);
    })) << "a line to standard error waited for its reader";
}

}  // namespace
