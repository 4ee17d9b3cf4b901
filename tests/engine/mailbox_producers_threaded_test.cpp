// Two producers against the one sender thread: every frame the sender takes
// must be whole (every pixel carries the id of one frame), the mailbox and the
// thread must come into being once, and producers must never wait. Also the
// pool of threads that shares the copy and the conversions of a frame.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/band_pool.h"
#include "engine/mailbox.h"
#include "settings/prefs.h"
#include "tests/engine/mailbox_recorder.h"

namespace {

using mailboxtest::recorder;

constexpr uint32_t kBGRA = 0x62677261;
constexpr int kWidth = 256;
constexpr int kHeight = 128;

// Posts `count` frames whose every 32-bit pixel is (producer << 24 | number).
void produce(uint32_t producer, uint32_t count, int width = kWidth, int height = kHeight) {
    std::vector<uint32_t> frame(size_t(width) * height);
    for (uint32_t number = 1; number <= count; ++number) {
        std::fill(frame.begin(), frame.end(), producer << 24 | number);
        postFrameToSender(reinterpret_cast<const uint8_t*>(frame.data()), width, height, kBGRA, 7,
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
    void TearDown() override {
        mailboxtest::setHold(false);
        displayIsRetina = 0;
        thePrefs.prescaleIt = 0;
    }
};

TEST_F(MailboxProducers, FirstFramesAtOnceMakeOneMailboxAndOneThread) {
    mailboxtest::inFreshProcess([] {
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
    });
}

// Also when the consumer gives the slot back before its send ends, so that
// producers write the next frame while the last one is still being sent.
TEST_F(MailboxProducers, EveryTakenFrameIsWholeAndTakenOnce) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    for (const bool releaseEarly : {false, true}) {
        mailboxtest::installRecorder(releaseEarly);
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
}

// Frames large enough that the pool's threads share the copy, and the
// half-size conversion, of each: still whole, each from one submission.
TEST_F(MailboxProducers, FramesCopiedOrHalvedInBandsAreWhole) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    for (const bool halved : {false, true}) {
        displayIsRetina = halved ? 1 : 0;
        thePrefs.prescaleIt = halved ? 1 : 0;
        const size_t before = mailboxtest::framesTaken();
        std::thread first([] { produce(10, 150, 2048, 512); });
        std::thread second([] { produce(11, 150, 2048, 512); });
        first.join();
        second.join();
        ASSERT_TRUE(mailboxtest::waitMailboxEmpty());
        std::lock_guard<std::mutex> hold(recorder.lock);
        ASSERT_GT(recorder.frames.size(), before);
        for (size_t i = before; i < recorder.frames.size(); ++i) {
            const auto& frame = recorder.frames[i];
            // A halved frame of one colour is one 4-byte pair repeated.
            EXPECT_EQ(frame.width, halved ? 1024 : 2048);
            ASSERT_TRUE(frame.uniform) << "frame " << i << " mixes rows of two frames";
        }
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

namespace {

// Marks every row a job covers; a row covered twice, or not at all, shows.
struct RowMarks {
    explicit RowMarks(int rows) : marks(size_t(rows)) {}
    std::vector<std::atomic<int>> marks;
    bool eachOnce() const {
        for (const auto& mark : marks)
            if (mark.load() != 1) return false;
        return true;
    }
};

}  // namespace

TEST(BandPool, CallersAtOnceEachGetEveryRowOnceInWholeSteps) {
    BandPool pool(3);
    constexpr int kRows = 1001, kStep = 6, kJobs = 300;
    std::atomic<int> misaligned{0};
    auto caller = [&] {
        for (int job = 0; job < kJobs; ++job) {
            RowMarks rows(kRows);
            std::vector<int> plain(kRows, 0);  // written by the bands, read after run
            pool.run(kRows, kStep, [&](int32_t first, int32_t count, int32_t slot) {
                if (first % kStep != 0 || (first + count != kRows && count % kStep != 0) ||
                    slot < 0 || slot >= pool.slotCount())
                    ++misaligned;
                for (int row = first; row < first + count; ++row) {
                    ++rows.marks[size_t(row)];
                    plain[size_t(row)] = row;
                }
            });
            ASSERT_TRUE(rows.eachOnce()) << "job " << job;
            for (int row = 0; row < kRows; ++row) ASSERT_EQ(plain[size_t(row)], row);
        }
    };
    std::thread first(caller);
    std::thread second(caller);
    first.join();
    second.join();
    EXPECT_EQ(misaligned.load(), 0);
}

// A job whose bands are held keeps the pool's workers; a second caller must
// then do its whole job itself at once instead of waiting for the first. One
// that waits fails after a few seconds: the held job is let go so that both
// end.
TEST(BandPool, ASecondCallerWorksAloneWhileAJobIsHeld) {
    BandPool pool(3);
    std::mutex lock;
    std::condition_variable changed;
    bool release = false, secondDone = false;
    int held = 0;
    auto letGo = [&] {
        std::lock_guard<std::mutex> hold(lock);
        release = true;
        changed.notify_all();
    };
    std::thread first([&] {
        pool.run(64, 1, [&](int32_t, int32_t, int32_t) {
            std::unique_lock<std::mutex> hold(lock);
            ++held;
            changed.notify_all();
            changed.wait(hold, [&] { return release; });
        });
    });
    std::set<std::thread::id> threads;
    RowMarks rows(100);
    std::thread second([&] {
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return held > 0 || release; });
        }
        pool.run(100, 1, [&](int32_t first, int32_t count, int32_t slot) {
            threads.insert(std::this_thread::get_id());
            EXPECT_EQ(slot, 0);
            for (int row = first; row < first + count; ++row) ++rows.marks[size_t(row)];
        });
        std::lock_guard<std::mutex> hold(lock);
        secondDone = true;
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> hold(lock);
        EXPECT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return secondDone; }))
            << "the second caller waited for the held job";
    }
    const std::thread::id secondId = second.get_id();
    letGo();
    first.join();
    second.join();
    EXPECT_TRUE(rows.eachOnce());
    EXPECT_EQ(threads, std::set<std::thread::id>{secondId});
}

TEST(BandPool, WithoutWorkersEveryJobRunsOnItsCaller) {
    BandPool pool(0);
    EXPECT_EQ(pool.slotCount(), 1);
    int calls = 0;
    pool.run(1000, 2, [&](int32_t first, int32_t count, int32_t slot) {
        ++calls;
        EXPECT_EQ(first, 0);
        EXPECT_EQ(count, 1000);
        EXPECT_EQ(slot, 0);
    });
    pool.run(0, 2, [&](int32_t, int32_t, int32_t) { ++calls; });
    EXPECT_EQ(calls, 1);
}
