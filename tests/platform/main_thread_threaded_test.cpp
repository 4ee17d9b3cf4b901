#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/desktop/main_thread.h"

namespace {

int argc = 1;
char appName[] = "main_thread_test";
char* argv[] = {appName, nullptr};

// A limit that only a failing run reaches.
constexpr auto kDeadline = std::chrono::seconds(10);

// Runs the event loop until done() or the deadline.
template <typename Done>
void runUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!done()) QThread::msleep(1);
    }
}

TEST(MainThread, RequestsFromOtherThreadsRunOnTheMainThreadInOrder) {
    QCoreApplication app(argc, argv);
    std::vector<int> seen;  // main thread only
    std::atomic<int> wrongThread{0};
    constexpr int kRequests = 2000;
    std::thread asker([&] {
        for (int i = 0; i < kRequests; ++i)
            EXPECT_EQ(platform::performOnMainThread([&, i] {
                          if (QThread::currentThread() != app.thread()) ++wrongThread;
                          seen.push_back(i);
                      }),
                      0);
    });
    asker.join();
    runUntil([&] { return seen.size() == size_t(kRequests); });
    ASSERT_EQ(seen.size(), size_t(kRequests));
    for (int i = 0; i < kRequests; ++i) ASSERT_EQ(seen[size_t(i)], i);
    EXPECT_EQ(wrongThread.load(), 0);
}

TEST(MainThread, ARequestFromTheMainThreadRunsAfterTheCurrentWork) {
    QCoreApplication app(argc, argv);
    std::vector<int> seen;
    platform::performOnMainThread([&] {
        platform::performOnMainThread([&] { seen.push_back(2); });
        seen.push_back(1);
    });
    runUntil([&] { return seen.size() == 2; });
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(MainThread, ADelayedRequestRunsAfterLaterImmediateOnes) {
    QCoreApplication app(argc, argv);
    std::vector<int> seen;
    std::thread asker([&] {
        platform::performOnMainThreadAfter(100, [&] { seen.push_back(2); });
        platform::performOnMainThread([&] { seen.push_back(1); });
    });
    asker.join();
    runUntil([&] { return seen.size() == 2; });
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(MainThread, RequestsWithoutAnApplicationAreDroppedSafely) {
    // Only a process in which no application has ended yet says so, so the
    // first request is made in a fresh one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(platform::performOnMainThread([] {}) == -1 ? 0 : 1),
                testing::ExitedWithCode(0), "no application object, requests dropped");
    {
        QCoreApplication app(argc, argv);
        EXPECT_EQ(platform::performOnMainThread([] {}), 0);
    }
    // The application has gone while another thread keeps asking.
    std::thread asker([] {
        for (int i = 0; i < 100; ++i) EXPECT_EQ(platform::performOnMainThread([] {}), -1);
    });
    asker.join();
}

TEST(MainThread, AskingWhileTheApplicationEndsIsSafe) {
    std::atomic<bool> stop{false};
    std::atomic<int> ran{0};
    // As the display link does: it starts once the application exists and
    // goes on asking while the application ends.
    auto* app = new QCoreApplication(argc, argv);
    std::atomic<int> afterTheEnd{0};
    std::thread asker([&] {
        while (!stop)
            if (platform::performOnMainThread([&] { ++ran; }) != 0) ++afterTheEnd;
    });
    runUntil([&] { return ran > 100; });
    testing::internal::CaptureStderr();
    delete app;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (afterTheEnd.load() < 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    stop = true;
    asker.join();
    EXPECT_GE(afterTheEnd.load(), 100) << "requests were still taken after the end";
    EXPECT_GT(ran.load(), 100);
    // A quit is no fault: nothing is said about the requests dropped.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
