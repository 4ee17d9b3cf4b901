// The mailbox and its sender thread as the first submitted frame makes them.
// CTest runs every test in a process of its own; the tests that need the
// mailbox not to exist yet skip themselves when run after another one.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/mailbox.h"
#include "tests/engine/mailbox_recorder.h"

namespace {

using mailboxtest::recorder;

constexpr uint32_t kBGRA = 0x62677261;

std::vector<uint8_t> frameWithId(uint8_t id) { return std::vector<uint8_t>(4 * 2 * 4, id); }

void post(const std::vector<uint8_t>& frame) {
    postFrameToSender(frame.data(), 4, 2, kBGRA, 7, 1, 1);
}

std::vector<uint32_t> takenIds() {
    std::lock_guard<std::mutex> hold(recorder.lock);
    std::vector<uint32_t> ids;
    for (const auto& frame : recorder.frames) ids.push_back(frame.firstWord & 0xFF);
    return ids;
}

// Long enough for the sender to take a frame that should not be there.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(40)); }

class MailboxStart : public testing::Test {
  protected:
    void SetUp() override { mailboxtest::installRecorder(); }
    void TearDown() override { mailboxtest::setHold(false); }
};

TEST_F(MailboxStart, FirstFrameCreatesMailboxAndThreadAndIsNotSent) {
    if (theNDISendData.load() != nullptr) GTEST_SKIP() << "mailbox made by an earlier test";
    const float factors[] = {1.0f, 2.0f};
    setScreenScaleFactors(factors, 2);
    testing::internal::CaptureStdout();
    post(frameWithId(1));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(theNDISendData.load(), nullptr);
    EXPECT_NE(out.find("Display Is Retina\n"), std::string::npos);
    EXPECT_EQ(displayIsRetina, 1);

    ASSERT_TRUE(mailboxtest::startMailbox());
    settle();
    EXPECT_TRUE(takenIds().empty());
    post(frameWithId(2));
    ASSERT_TRUE(mailboxtest::waitFor([] { return recorder.frames.size() == 1; }));
    EXPECT_EQ(takenIds(), std::vector<uint32_t>{2});
    EXPECT_TRUE(recorder.frames[0].uniform);
    EXPECT_NE(recorder.frames[0].thread, std::this_thread::get_id());
}

TEST_F(MailboxStart, NoHighDensityScreenLeavesDisplayIsRetinaAt0) {
    if (theNDISendData.load() != nullptr) GTEST_SKIP() << "mailbox made by an earlier test";
    const float factors[] = {1.0f};
    setScreenScaleFactors(factors, 1);
    testing::internal::CaptureStdout();
    post(frameWithId(1));
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("Display Is Retina"), std::string::npos);
    EXPECT_EQ(displayIsRetina, 0);
}

TEST_F(MailboxStart, SecondStartPrintsItsLineAndChangesNothing) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    NDISendData* const mailbox = theNDISendData.load();
    testing::internal::CaptureStdout();
    startNDISenderThread();
    ensureNDISenderThread();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "startNDISenderThread called when theNDISendData is not NULL\n");
    EXPECT_EQ(theNDISendData.load(), mailbox);
    const size_t before = mailboxtest::framesTaken();
    post(frameWithId(3));
    EXPECT_TRUE(mailboxtest::waitFor([&] { return recorder.frames.size() == before + 1; }));
}

TEST_F(MailboxStart, FramesArrivingDuringASendAreDropped) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    mailboxtest::setHold(true);
    const size_t before = mailboxtest::framesTaken();
    const int32_t started = mailboxtest::sendsStarted();
    post(frameWithId(4));
    ASSERT_TRUE(mailboxtest::waitFor([&] { return recorder.sendsStarted > started; }));
    post(frameWithId(5));
    post(frameWithId(6));
    mailboxtest::setHold(false);
    ASSERT_TRUE(mailboxtest::waitFor([&] { return recorder.frames.size() == before + 1; }));
    settle();
    EXPECT_EQ(takenIds().back(), 4u);
    EXPECT_EQ(mailboxtest::framesTaken(), before + 1);
    post(frameWithId(7));
    ASSERT_TRUE(mailboxtest::waitFor([&] { return recorder.frames.size() == before + 2; }));
    EXPECT_EQ(takenIds().back(), 7u);
}

TEST_F(MailboxStart, AStoppedSenderDropsEveryLaterFrameForGood) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    NDISendData* const mailbox = theNDISendData.load();
    stopNDISenderThread();
    const size_t before = mailboxtest::framesTaken();
    post(frameWithId(8));
    ensureNDISenderThread();
    post(frameWithId(9));
    settle();
    EXPECT_EQ(mailboxtest::framesTaken(), before);
    EXPECT_EQ(theNDISendData.load(), mailbox);
    EXPECT_EQ(mailbox->ready, 0);
}

}  // namespace
