// Audio blocks as a receiver on loopback gets them: planar layout, channels
// kept, the channel-0 peak, and the behaviour without a sender.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/audio_send.h"
#include "engine/sender.h"
#include "settings/prefs.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/h264_check.h"

namespace {

using testsupport::AudioReceiver;
using testsupport::ReceivedAudio;

// Interleaved block whose sample (frame f, channel c) is c * 1000 + f, so
// every received value tells where it came from.
std::vector<float> numberedBlock(int frames, int channels) {
    std::vector<float> block(size_t(frames) * channels);
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) block[size_t(f) * channels + c] = float(c * 1000 + f);
    }
    return block;
}

// Each test starts without the shared sender, as a fresh process does, and
// leaves none behind.
class AudioSendingFresh : public testing::Test {
  protected:
    void SetUp() override {
        h264check::resetSharedSender();
        resetPrefs();
        audioPeakLevel = 0.0f;
    }
    void TearDown() override { h264check::resetSharedSender(); }
};

class AudioSending : public AudioSendingFresh {
  protected:
    void SetUp() override {
        AudioSendingFresh::SetUp();
        NDIlib_send_instance_t sender = ensureNDISender();
        ASSERT_NE(sender, nullptr);
        ASSERT_TRUE(receiver.connect(sender));
    }

    ReceivedAudio send(const std::vector<float>& block, int channels, int sampleRate = 48000) {
        processAudioBuffer(block.data(), int(block.size()) / channels, channels, sampleRate);
        ReceivedAudio audio;
        EXPECT_TRUE(receiver.next(&audio, 5000));
        return audio;
    }

    void expectPlanes(const ReceivedAudio& audio, int frames, const std::vector<int>& channels) {
        ASSERT_EQ(audio.channels, int(channels.size()));
        ASSERT_EQ(audio.samples, frames);
        EXPECT_EQ(audio.strideBytes, frames * 4);
        for (size_t plane = 0; plane < channels.size(); ++plane) {
            for (int f = 0; f < frames; ++f) {
                ASSERT_EQ(audio.at(int(plane), f), float(channels[plane] * 1000 + f))
                    << "plane " << plane << " sample " << f;
            }
        }
    }

    AudioReceiver receiver;
};

TEST_F(AudioSending, StereoBlockGoesOutPlaneByPlane) {
    ReceivedAudio audio = send(numberedBlock(480, 2), 2, 44100);
    EXPECT_EQ(audio.sampleRate, 44100);
    EXPECT_EQ(audio.timestamp, INT64_MAX);
    EXPECT_GT(audio.timecode, 0);
    expectPlanes(audio, 480, {0, 1});
    EXPECT_EQ(audioPeakLevel, 479.0f);  // not capped at 1.0
}

TEST_F(AudioSending, MonoIsSentAsOneChannelWhateverAllChannelsSays) {
    thePrefs.allChannels = 0;
    expectPlanes(send(numberedBlock(64, 1), 1), 64, {0});
    thePrefs.allChannels = 1;
    expectPlanes(send(numberedBlock(64, 1), 1), 64, {0});
}

TEST_F(AudioSending, EightChannelsKeepTheFirstTwoUnlessAllAreAsked) {
    expectPlanes(send(numberedBlock(100, 8), 8), 100, {0, 1});
    thePrefs.allChannels = 1;
    expectPlanes(send(numberedBlock(100, 8), 8), 100, {0, 1, 2, 3, 4, 5, 6, 7});
}

TEST_F(AudioSending, PeakFollowsPositiveExcursionsOfChannelZeroOnly) {
    audioPeakLevel = 0.5f;
    send(std::vector<float>(200, 0.0f), 2);
    EXPECT_EQ(audioPeakLevel, 0.0f) << "silence";

    std::vector<float> negative(200);
    for (size_t i = 0; i < negative.size(); ++i) negative[i] = (i % 2 == 0) ? -0.9f : 0.0f;
    audioPeakLevel = 0.5f;
    send(negative, 2);
    EXPECT_EQ(audioPeakLevel, 0.0f) << "channel 0 negative throughout";

    std::vector<float> rightOnly(200);
    for (size_t i = 0; i < rightOnly.size(); ++i) rightOnly[i] = (i % 2 == 1) ? 0.8f : 0.0f;
    audioPeakLevel = 0.5f;
    send(rightOnly, 2);
    EXPECT_EQ(audioPeakLevel, 0.0f) << "sound only on channel 1";

    std::vector<float> left = {0.1f, 0.9f, -0.7f, 0.0f, 0.25f, 0.0f};
    send(left, 2);
    EXPECT_EQ(audioPeakLevel, 0.25f);
}

TEST_F(AudioSending, EmptyBlockSendsNoSamplesAndClearsThePeak) {
    audioPeakLevel = 0.5f;
    std::vector<float> none;
    processAudioBuffer(none.data(), 0, 2, 48000);
    ReceivedAudio audio;
    ASSERT_TRUE(receiver.next(&audio, 5000));
    EXPECT_EQ(audio.samples, 0);
    EXPECT_EQ(audioPeakLevel, 0.0f);
}

TEST_F(AudioSending, BlockLargerThanThePlanarBufferLeavesInPieces) {
    thePrefs.allChannels = 1;
    const int channels = 8;
    const int frames = 48000 * 10;  // ten seconds behind: 15.36 MB of planar samples
    std::vector<float> block(size_t(frames) * channels);
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c)
            block[size_t(f) * channels + c] = float(f) + float(c) / 10.0f;
    }
    std::thread audioThread([&] { processAudioBuffer(block.data(), frames, channels, 48000); });
    int received = 0;
    ReceivedAudio audio;
    while (received < frames && receiver.next(&audio, 10000)) {
        ASSERT_EQ(audio.channels, channels);
        EXPECT_LE(int64_t(audio.samples) * channels * 4, int64_t(kAudioPlanarBytes));
        for (int c = 0; c < channels; ++c) {
            EXPECT_EQ(audio.at(c, 0), float(received) + float(c) / 10.0f);
            EXPECT_EQ(audio.at(c, audio.samples - 1),
                      float(received + audio.samples - 1) + float(c) / 10.0f);
        }
        received += audio.samples;
    }
    audioThread.join();
    EXPECT_EQ(received, frames);
}

using AudioSendingWithoutSender = AudioSendingFresh;

TEST_F(AudioSendingWithoutSender, BlockIsDroppedAndTheNextOneTriesAgain) {
    // A taken port no longer stops a sender (it moves to a free one), but an
    // address that cannot be listened on does.
    setenv("NDI_BIND", "256.256.256.256", 1);
    audioPeakLevel = 0.5f;
    std::vector<float> block = numberedBlock(100, 2);
    testing::internal::CaptureStdout();
    processAudioBuffer(block.data(), 100, 2, 48000);
    EXPECT_EQ(theNDISender.load(), nullptr);
    EXPECT_EQ(audioPeakLevel, 0.5f);

    // Within the retry interval the refused creation is not tried again:
    // no second mode line, even once an address can be had.
    setenv("NDI_BIND", "127.0.0.1", 1);
    for (int i = 0; i < 50; ++i) processAudioBuffer(block.data(), 100, 2, 48000);
    EXPECT_EQ(theNDISender.load(), nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(out.find("HX2 Using Default NDI Mode"), std::string::npos) << out;
    EXPECT_EQ(out.find("HX2 Using Default NDI Mode"), out.rfind("HX2 Using Default NDI Mode"));

    // Past it, the next block tries again.
    setRefusedRetryInterval(std::chrono::milliseconds(0));
    processAudioBuffer(block.data(), 100, 2, 48000);
    EXPECT_NE(theNDISender.load(), nullptr);
    EXPECT_EQ(audioPeakLevel, 99.0f);
}

}  // namespace
