// Placing frames in the mailbox and taking them on the sender thread, on a
// mailbox made by the test (no thread of its own) so every state is reached
// deterministically.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/encoder.h"
#include "engine/mailbox.h"
#include "engine/threads.h"
#include "engine/video_send.h"
#include "settings/prefs.h"
#include "tests/engine/mailbox_recorder.h"

namespace {

using mailboxtest::recorder;

constexpr uint32_t kBGRA = 0x62677261;
constexpr uint32_t k2VUY = 0x32767579;

std::vector<uint8_t> filled(size_t bytes, uint8_t value) {
    return std::vector<uint8_t>(bytes, value);
}

class MailboxSlot : public testing::Test {
  protected:
    // One hand-made mailbox for the process, published where postFrameToSender
    // looks, so the first frame does not start a real sender thread.
    static NDISendData* mailbox() {
        static NDISendData* made = [] {
            auto* data = new NDISendData;
            data->pixels = new uint8_t[size_t(kMaxFrameBytes)];
            NDISendData* none = nullptr;
            theNDISendData.compare_exchange_strong(none, data);
            return theNDISendData.load();
        }();
        return made;
    }

    void SetUp() override {
        data = mailbox();
        data->running = 1;
        data->busy = kSlotFree;
        data->ready = 0;
        displayIsRetina = 0;
        thePrefs.prescaleIt = 0;
        {
            std::lock_guard<std::mutex> hold(recorder.lock);
            recorder.frames.clear();
            recorder.keepBytes = true;
        }
        mailboxtest::installRecorder();
    }

    // Runs the sender loop on a thread of its own until `frames` frames have
    // been taken and the mailbox is empty, then stops it.
    void runSender(size_t frames) {
        std::thread sender([this] { loopResult = ndiSenderThread(data); });
        EXPECT_TRUE(mailboxtest::waitFor([&] { return recorder.frames.size() >= frames; }));
        EXPECT_TRUE(mailboxtest::waitMailboxEmpty());
        stopNDISenderThread();
        sender.join();
    }

    std::vector<uint8_t> waitingBytes(size_t bytes) const {
        return std::vector<uint8_t>(data->pixels, data->pixels + bytes);
    }

    NDISendData* data = nullptr;
    int32_t loopResult = -1;
};

TEST_F(MailboxSlot, DropsFramesUntilTheSenderThreadRuns) {
    data->running = 0;
    const auto frame = filled(16, 7);
    postFrameToSender(frame.data(), 2, 2, kBGRA, 7, 1, 1);
    EXPECT_EQ(data->ready, 0);
}

TEST_F(MailboxSlot, PlacesACompleteFrameWithItsFields) {
    const auto frame = filled(4 * 2 * 4, 9);
    postFrameToSender(frame.data(), 4, 2, kBGRA, 3, 0, 0);
    EXPECT_EQ(data->ready, 1);
    EXPECT_EQ(data->busy, kSlotFree);
    EXPECT_EQ(data->width, 4);
    EXPECT_EQ(data->height, 2);
    EXPECT_EQ(data->fourcc, kBGRA);
    EXPECT_EQ(data->frameRateCode, 3);
    EXPECT_EQ(data->aspect16x9, 0);
    EXPECT_EQ(data->progressive, 0);
    EXPECT_EQ(waitingBytes(frame.size()), frame);
}

TEST_F(MailboxSlot, OfTwoFramesBetweenTakesOnlyTheSecondIsSent) {
    const auto first = filled(16, 1), second = filled(16, 2);
    postFrameToSender(first.data(), 2, 2, kBGRA, 7, 1, 1);
    postFrameToSender(second.data(), 2, 2, kBGRA, 5, 1, 1);
    runSender(1);  // the sender thread has ended: what it took is all it will take
    ASSERT_EQ(recorder.frames.size(), 1u);
    EXPECT_EQ(recorder.frames[0].bytes, second);
    EXPECT_EQ(recorder.frames[0].frameRateCode, 5);
    EXPECT_NE(recorder.frames[0].thread, std::this_thread::get_id());
    EXPECT_EQ(loopResult, 0);
}

TEST_F(MailboxSlot, DropsFramesWhileTheSenderSendsOrAnotherProducerWrites) {
    const auto waiting = filled(16, 1), late = filled(16, 2);
    postFrameToSender(waiting.data(), 2, 2, kBGRA, 7, 1, 1);
    for (int32_t holder : {kSlotSending, kSlotWriting}) {
        data->busy = holder;
        postFrameToSender(late.data(), 2, 2, kBGRA, 7, 1, 1);
        EXPECT_EQ(data->busy, holder);
        EXPECT_EQ(waitingBytes(16), waiting);
    }
}

TEST_F(MailboxSlot, ZeroSizeFramesAreTakenWithoutASend) {
    const auto none = filled(4, 0);
    postFrameToSender(none.data(), 0, 0, kBGRA, 7, 1, 1);
    EXPECT_EQ(data->ready, 1);
    const auto frame = filled(16, 3);
    runSender(0);
    EXPECT_TRUE(recorder.frames.empty());
    // The loop took the empty frame; a real one still goes through.
    data->running = 1;
    postFrameToSender(frame.data(), 2, 2, kBGRA, 7, 1, 1);
    runSender(1);
    EXPECT_EQ(recorder.frames.size(), 1u);
}

// The program's consumer less its check for receivers: the compressed path
// gives the slot back once the picture is converted, before the encode.
std::atomic<int32_t> busyAfterSend{-1};
int32_t encodeAndSend(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                      int32_t rateCode, int32_t aspect16x9, int32_t progressive) {
    NDIlib_video_frame_v2_t frame;
    NDIlib_send_instance_t sender = ensureNDISender();
    if (sender != nullptr && fillVideoFrame(&frame, pixels, width, height, fourcc, rateCode,
                                            aspect16x9, progressive) == 0)
        sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &theHXState, 2);
    busyAfterSend = theNDISendData.load()->busy.load();
    return 0;
}

TEST_F(MailboxSlot, TheCompressedPathGivesTheSlotBackBeforeItEncodes) {
    // Nothing for pixels the caller has not taken from the mailbox.
    data->busy = kSlotSending;
    releaseFramePixels(data->pixels);
    EXPECT_EQ(data->busy, kSlotSending);
    data->busy = kSlotFree;

    setFrameConsumer(encodeAndSend);
    for (const uint32_t fourcc : {kBGRA, k2VUY}) {
        busyAfterSend = -1;
        const auto frame = filled(64 * 32 * 4, 90);
        data->running = 1;
        postFrameToSender(frame.data(), 64, 32, fourcc, 7, 1, 1);
        runSender(0);
        EXPECT_EQ(busyAfterSend.load(), kSlotFree) << std::hex << fourcc;
    }
    ASSERT_EQ(theHXState.encoderReady[0], 1);
    EXPECT_EQ(theHXState.encoder[0]->param->i_threads, encoderThreadCount());
}

TEST_F(MailboxSlot, EmptyPicturesMayComeWithoutABufferButSizedOnesMayNot) {
    // The ticks before the first capture submit a buffer not yet allocated.
    postFrameToSender(nullptr, 0, 0, kBGRA, 7, 1, 1);
    EXPECT_EQ(data->ready, 1);
    EXPECT_EQ(data->width, 0);
    data->ready = 0;
    testing::internal::CaptureStdout();
    postFrameToSender(nullptr, 2, 2, kBGRA, 7, 1, 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("without pixels"), std::string::npos);
    EXPECT_EQ(data->ready, 0);
}

TEST_F(MailboxSlot, PackedFramesCopyTwoBytesAPixel) {
    // width x height x 2 bytes of frame, then as many that must stay behind.
    constexpr size_t kFrameBytes = 6 * 2 * 2;
    std::vector<uint8_t> frame(2 * kFrameBytes, 0xAB);
    for (size_t i = 0; i < kFrameBytes; ++i) frame[i] = uint8_t(i);
    memset(data->pixels, 0xEE, frame.size());
    postFrameToSender(frame.data(), 6, 2, k2VUY, 7, 1, 1);
    EXPECT_EQ(data->fourcc, k2VUY);
    std::vector<uint8_t> expected(frame.begin(), frame.begin() + kFrameBytes);
    expected.resize(frame.size(), 0xEE);
    EXPECT_EQ(waitingBytes(frame.size()), expected);
}

TEST_F(MailboxSlot, RefusesFramesLargerThanTheBuffer) {
    const auto frame = filled(16, 4);
    for (auto [width, height] :
         {std::pair{kMaxFrameWidth + 1, 2}, std::pair{2, kMaxFrameHeight + 1}, std::pair{-2, 2},
          std::pair{2, -2}}) {
        testing::internal::CaptureStdout();
        postFrameToSender(frame.data(), width, height, kBGRA, 7, 1, 1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("dropped"), std::string::npos);
        EXPECT_EQ(data->ready, 0);
    }
}

TEST_F(MailboxSlot, HalvesWideFramesOnHighDensityDisplaysWhenAsked) {
    displayIsRetina = 1;
    thePrefs.prescaleIt = 1;
    const int width = 3840, height = 2160;
    const auto frame = filled(size_t(width) * height * 4, 255);  // white
    postFrameToSender(frame.data(), width, height, kBGRA, 7, 1, 1);
    EXPECT_EQ(data->width, 1920);
    EXPECT_EQ(data->height, 1080);
    EXPECT_EQ(data->fourcc, k2VUY);
    EXPECT_EQ(waitingBytes(4), (std::vector<uint8_t>{127, 235, 128, 235}));
    const size_t last = size_t(1920) * 1080 * 2 - 4;
    EXPECT_EQ(std::vector<uint8_t>(data->pixels + last, data->pixels + last + 4),
              (std::vector<uint8_t>{127, 235, 128, 235}));
}

TEST_F(MailboxSlot, CopiesFramesUnchangedOffTheHalfSizePath) {
    struct Case {
        int32_t retina, prescale, width;
        uint32_t fourcc;
    };
    // 1920 is below the threshold; a packed frame is never halved again.
    for (const Case& c : {Case{1, 1, 1920, kBGRA}, Case{1, 0, 3840, kBGRA}, Case{0, 1, 3840, kBGRA},
                          Case{1, 1, 3840, k2VUY}}) {
        displayIsRetina = c.retina;
        thePrefs.prescaleIt = c.prescale;
        const auto frame = filled(size_t(c.width) * 4 * (c.fourcc == kBGRA ? 4 : 2), 200);
        postFrameToSender(frame.data(), c.width, 4, c.fourcc, 7, 1, 1);
        EXPECT_EQ(data->width, c.width);
        EXPECT_EQ(data->height, 4);
        EXPECT_EQ(data->fourcc, c.fourcc);
        EXPECT_EQ(waitingBytes(frame.size()), frame);
    }
}

TEST_F(MailboxSlot, HalfSizePathKeepsOddWidthsInsideTheFrame) {
    displayIsRetina = 1;
    thePrefs.prescaleIt = 1;
    const int width = 1923, height = 6;
    const auto frame = filled(size_t(width) * height * 4, 0);  // exact size: no overread
    postFrameToSender(frame.data(), width, height, kBGRA, 7, 1, 1);
    EXPECT_EQ(data->width, 960);
    EXPECT_EQ(data->height, 3);
}

TEST_F(MailboxSlot, SubmitFrameAnnouncesTheCaptureSizeRateAndScaling) {
    captureWidth = 8;
    captureHeight = 4;
    frameRateCode = 2;
    for (int32_t scaling : {0, 3}) {
        thePrefs.scalingMode = scaling;
        const auto frame = filled(8 * 4 * 4, 5);
        submitFrame(frame.data(), kBGRA);
        EXPECT_EQ(data->width, 8);
        EXPECT_EQ(data->height, 4);
        EXPECT_EQ(data->frameRateCode, 2);
        EXPECT_EQ(data->aspect16x9, scaling != 0 ? 1 : 0);
        EXPECT_EQ(data->progressive, 1);
    }
}

}  // namespace
