// The mailbox and its sender thread as the first submitted frame makes them.
// The tests that need the mailbox not to exist yet, and the one that stops
// the sender for good, run in a process of their own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/mailbox.h"
#include "engine/threads.h"
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

class MailboxStart : public testing::Test {
  protected:
    void SetUp() override { mailboxtest::installRecorder(); }
    void TearDown() override { mailboxtest::setHold(false); }
};

TEST_F(MailboxStart, FirstFrameCreatesMailboxAndThreadAndIsNotSent) {
    mailboxtest::inFreshProcess([] {
        const float factors[] = {1.0f, 2.0f};
        setScreenScaleFactors(factors, 2);
        testing::internal::CaptureStdout();
        post(frameWithId(1));
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_NE(theNDISendData.load(), nullptr);
        EXPECT_NE(out.find("Display Is Retina\n"), std::string::npos);
        EXPECT_EQ(displayIsRetina, 1);

        // A frame placed would have been sent before the mailbox is empty.
        ASSERT_TRUE(mailboxtest::startMailbox());
        EXPECT_EQ(mailboxtest::sendsStarted(), 0);
        post(frameWithId(2));
        ASSERT_TRUE(mailboxtest::waitFor([] { return recorder.frames.size() == 1; }));
        EXPECT_EQ(takenIds(), std::vector<uint32_t>{2});
        EXPECT_TRUE(recorder.frames[0].uniform);
        EXPECT_NE(recorder.frames[0].thread, std::this_thread::get_id());
    });
}

TEST_F(MailboxStart, NoHighDensityScreenLeavesDisplayIsRetinaAt0) {
    mailboxtest::inFreshProcess([] {
        const float factors[] = {1.0f};
        setScreenScaleFactors(factors, 1);
        testing::internal::CaptureStdout();
        post(frameWithId(1));
        EXPECT_EQ(testing::internal::GetCapturedStdout().find("Display Is Retina"),
                  std::string::npos);
        ASSERT_NE(theNDISendData.load(), nullptr);
        EXPECT_EQ(displayIsRetina, 0);
    });
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

// Frames that come while the consumer still reads the pixels are dropped.
// Once it has given them back, the newest frame waits for the next take even
// though the send goes on.
TEST_F(MailboxStart, FramesArrivingDuringASendAreDroppedUntilThePixelsAreGivenBack) {
    ASSERT_TRUE(mailboxtest::startMailbox());
    for (const bool releaseEarly : {false, true}) {
        mailboxtest::installRecorder(releaseEarly);
        mailboxtest::setHold(true);
        const size_t before = mailboxtest::framesTaken();
        const int32_t started = mailboxtest::sendsStarted();
        post(frameWithId(4));
        ASSERT_TRUE(mailboxtest::waitFor([&] { return recorder.sendsStarted > started; }));
        post(frameWithId(5));
        post(frameWithId(6));
        EXPECT_EQ(theNDISendData.load()->pixels[0], releaseEarly ? 6 : 4);
        mailboxtest::setHold(false);
        const size_t sent = releaseEarly ? 2 : 1;
        ASSERT_TRUE(mailboxtest::waitFor([&] { return recorder.frames.size() == before + sent; }));
        ASSERT_TRUE(mailboxtest::waitMailboxEmpty());
        const std::vector<uint32_t> ids = takenIds();
        EXPECT_EQ(std::vector<uint32_t>(ids.end() - std::ptrdiff_t(sent), ids.end()),
                  releaseEarly ? (std::vector<uint32_t>{4, 6}) : std::vector<uint32_t>{4});
        post(frameWithId(7));
        ASSERT_TRUE(
            mailboxtest::waitFor([&] { return recorder.frames.size() == before + sent + 1; }));
        EXPECT_EQ(takenIds().back(), 7u);
        // A frame is recorded a moment before its slot is given back.
        ASSERT_TRUE(mailboxtest::waitMailboxEmpty());
    }
}

ThreadSchedule schedOf(pid_t tid) {
    ThreadSchedule schedule{};
    EXPECT_TRUE(readThreadSchedule(tid, &schedule));
    return schedule;
}

pid_t threadId() { return pid_t(syscall(SYS_gettid)); }

// The threads of this process, each with its name.
std::map<pid_t, std::string> threadsByName() {
    std::map<pid_t, std::string> threads;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = tasks != nullptr ? readdir(tasks) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        std::getline(std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm"),
                     threads[pid_t(atoi(entry->d_name))]);
    }
    if (tasks != nullptr) closedir(tasks);
    return threads;
}

// The first thread of this process with the given name, or 0.
pid_t taskNamed(const std::string& name) {
    for (const auto& [tid, comm] : threadsByName())
        if (comm == name) return tid;
    return 0;
}

// The turn the engine asks for, or 0 when this kernel keeps no turn length
// of a thread's own (before Linux 6.12): a probe thread asks for an odd turn
// of its own, by hand, and sees whether the kernel reports it back.
uint64_t shortTurnOfThisKernel() {
    constexpr uint64_t kProbeTurnNs = 1234567;
    bool kept = false;
    std::thread probe([&] {
        ThreadSchedule attr = schedOf(threadId());
        attr.size = sizeof attr;
        attr.flags = 0;
        attr.runtime = kProbeTurnNs;
        kept = syscall(SYS_sched_setattr, 0, &attr, 0) == 0 &&
               schedOf(threadId()).runtime == kProbeTurnNs;
    });
    probe.join();
    return kept ? kShortTurnNs : 0;
}

// Set by a consumer that starts a thread on the sender thread: that thread's turn.
std::atomic<uint64_t> childTurn{0};

int32_t startChildAndReadItsTurn(const uint8_t*, int32_t, int32_t, uint32_t, int32_t, int32_t,
                                 int32_t) {
    std::thread child([] { childTurn = schedOf(threadId()).runtime; });
    child.join();
    return 0;
}

TEST_F(MailboxStart, TheSenderThreadAndTheThreadsItStartsGetShortTurns) {
    const uint64_t shortTurn = shortTurnOfThisKernel();
    if (shortTurn == 0) GTEST_SKIP() << "this kernel keeps no turn length of a thread's own";
    ASSERT_TRUE(mailboxtest::startMailbox());
    const pid_t sender = taskNamed("ndi-sender");
    ASSERT_NE(sender, 0);
    const ThreadSchedule attr = schedOf(sender);
    EXPECT_EQ(attr.runtime, shortTurn);
    EXPECT_EQ(attr.policy, uint32_t(SCHED_OTHER));

    setFrameConsumer(startChildAndReadItsTurn);
    post(frameWithId(10));
    for (int i = 0; i < 500 && childTurn.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(childTurn.load(), shortTurn);
    mailboxtest::installRecorder();
}

TEST(ShortTurns, KeepTheThreadsNiceValue) {
    const uint64_t shortTurn = shortTurnOfThisKernel();
    if (shortTurn == 0) GTEST_SKIP() << "this kernel keeps no turn length of a thread's own";
    std::thread thread([&] {
        // A nicer value may always be asked for, and must survive the request.
        ASSERT_EQ(setpriority(PRIO_PROCESS, id_t(threadId()), 7), 0);
        EXPECT_TRUE(requestShortTurns());
        const ThreadSchedule attr = schedOf(threadId());
        EXPECT_EQ(attr.nice, 7);
        EXPECT_EQ(attr.runtime, shortTurn);
    });
    thread.join();
}

TEST(EncoderThreads, HalfTheCoresFromFourOnAllOfThemBelow) {
    const std::vector<std::pair<int32_t, int32_t>> coresToThreads = {
        {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 2}, {8, 4}, {9, 4}, {16, 8}};
    for (const auto& [cores, threads] : coresToThreads)
        EXPECT_EQ(encoderThreadsFor(cores), threads) << cores << " cores";
    const int32_t cores = int32_t(std::thread::hardware_concurrency());
    EXPECT_EQ(encoderThreadCount(), cores >= 4 ? cores / 2 : cores) << cores << " cores";
}

TEST_F(MailboxStart, AStoppedSenderDropsEveryLaterFrameForGood) {
    mailboxtest::inFreshProcess([] {
        ASSERT_TRUE(mailboxtest::startMailbox());
        NDISendData* const mailbox = theNDISendData.load();
        stopNDISenderThread();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (taskNamed("ndi-sender") != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(taskNamed("ndi-sender"), 0) << "the sender thread still runs";
        const size_t threads = threadsByName().size();
        post(frameWithId(8));
        ensureNDISenderThread();
        post(frameWithId(9));
        // No frame waits and no thread is left or started to take one.
        EXPECT_EQ(mailbox->ready, 0);
        EXPECT_EQ(threadsByName().size(), threads);
        EXPECT_EQ(theNDISendData.load(), mailbox);
        EXPECT_EQ(mailboxtest::framesTaken(), 0u);
    });
}

}  // namespace
