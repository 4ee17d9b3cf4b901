// Two producers against the one sender thread: every frame the sender takes
// must be whole (every pixel carries the id of one frame), the mailbox and the
// thread must come into being once, and producers must never wait.
#include <gtest/gtest.h>

#include <latch>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "engine/mailbox.h"
#include "tests/engine/mailbox_recorder.h"

namespace {

using mailboxtest::recorder;

constexpr uint32_t kBGRA = 0x62677261;
constexpr int kWidth = 256;
constexpr int kHeight = 128;

// Posts `count` frames whose every 32-bit pixel is (producer << 24 | number).
void produce(uint32_t producer, uint32_t count) {
    std::vector<uint32_t> frame(size_t(kWidth) * kHeight);
    for (uint32_t number = 1; number <= count; ++number) {
        std::fill(frame.begin(), frame.end(), producer << 24 | number);
        postFrameToSender(reinterpret_cast<const uint8_t*>(frame.data()), kWidth, kHeight, kBGRA, 7,
                          1, 1);
        if (number % 8 == 0) std::this_thread::yield();
    }
}

class MailboxProducers : public testing::Test {
  protected:
    void SetUp() override {
        mailboxtest::installRecorder();
        const float factors[] = {1.0f};
        setScreenScaleFactors(factors, 1);
    }
    void TearDown() override { mailboxtest::setHold(false); }
};

TEST_F(MailboxProducers, FirstFramesAtOnceMakeOneMailboxAndOneThread) {
    if (theNDISendData.load() != nullptr) GTEST_SKIP() << "mailbox made by an earlier test";
    testing::internal::CaptureStdout();
    std::latch go(3);
    std::thread first([&] {
        go.arrive_and_wait();
        produce(1, 1);
    });
    std::thread second([&] {
        go.arrive_and_wait();
        produce(2, 1);
    });
    go.arrive_and_wait();
    first.join();
    second.join();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(theNDISendData.load(), nullptr);
    size_t repeats = 0;
    for (size_t at = out.find("called when"); at != std::string::npos;
         at = out.find("called when", at + 1))
        ++repeats;
    EXPECT_LE(repeats, 1u);  // the producer that lost the race says so

    ASSERT_TRUE(mailboxtest::startMailbox());
    std::thread third([] { produce(3, 200); });
    std::thread fourth([] { produce(4, 200); });
    third.join();
    fourth.join();
    ASSERT_TRUE(mailboxtest::waitMailboxEmpty());
    std::lock_guard<std::mutex> hold(recorder.lock);
    ASSERT_FALSE(recorder.frames.empty());
    std::set<std::thread::id> senders;
    for (const auto& frame : recorder.frames) senders.insert(frame.thread);
    EXPECT_EQ(senders.size(), 1u);
}

TEST_F(MailboxProducers, EveryTakenFrameIsWholeAndTakenOnce) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    const size_t before = mailboxtest::framesTaken();
    constexpr uint32_t kFrames = 3000;
    std::thread first([] { produce(5, kFrames); });
    std::thread second([] { produce(6, kFrames); });
    first.join();
    second.join();
    ASSERT_TRUE(mailboxtest::waitMailboxEmpty());

    std::lock_guard<std::mutex> hold(recorder.lock);
    ASSERT_GT(recorder.frames.size(), before);
    std::map<uint32_t, uint32_t> lastNumber;  // per producer: numbers only rise
    for (size_t i = before; i < recorder.frames.size(); ++i) {
        const auto& frame = recorder.frames[i];
        ASSERT_TRUE(frame.uniform) << "frame " << i << " mixes pixels of two frames";
        const uint32_t producer = frame.firstWord >> 24, number = frame.firstWord & 0xFFFFFF;
        ASSERT_TRUE(producer == 5 || producer == 6);
        EXPECT_GT(number, lastNumber[producer]) << "producer " << producer;
        lastNumber[producer] = number;
    }
}

TEST_F(MailboxProducers, ProducersNeverWaitForABusySender) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    mailboxtest::setHold(true);
    const size_t before = mailboxtest::framesTaken();
    const int32_t started = mailboxtest::sendsStarted();
    produce(7, 1);
    ASSERT_TRUE(mailboxtest::waitFor([&] { return recorder.sendsStarted > started; }));
    // The sender is held inside its send: all of these must return at once
    // (a producer that waited would hang here until the test times out).
    std::thread first([] { produce(8, 500); });
    std::thread second([] { produce(9, 500); });
    first.join();
    second.join();
    mailboxtest::setHold(false);
    ASSERT_TRUE(mailboxtest::waitMailboxEmpty());
    EXPECT_EQ(mailboxtest::framesTaken(), before + 1);
}

}  // namespace
