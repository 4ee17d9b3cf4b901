// Diagnostic lines from the sending, I/O and audio threads never wait for a
// reader of standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/diagnostics.h"

namespace {

// Points standard error at a pipe for the life of the object.
class StandardErrorOnAPipe {
  public:
    StandardErrorOnAPipe() {
        EXPECT_EQ(pipe(ends_), 0);
        saved_ = dup(STDERR_FILENO);
        dup2(ends_[1], STDERR_FILENO);
    }
    ~StandardErrorOnAPipe() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(ends_[0]);
        close(ends_[1]);
    }
    // Reads what waits in the pipe, without waiting for more.
    std::string drain() {
        std::string text;
        int flags = fcntl(ends_[0], F_GETFL);
        fcntl(ends_[0], F_SETFL, flags | O_NONBLOCK);
        char chunk[65536];
        for (ssize_t n; (n = read(ends_[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
        fcntl(ends_[0], F_SETFL, flags);
        return text;
    }

  private:
    int ends_[2] = {-1, -1};
    int saved_ = -1;
};

TEST(Diagnostics, APipeNobodyReadsNeitherBlocksNorLosesTheCount) {
    StandardErrorOnAPipe pipe;
    // Far more than a pipe (64 KiB) and the queue (64 KiB) hold together: a
    // blocking write would hang this loop for good.
    constexpr int kLines = 20000;
    uint64_t droppedBefore = diagnosticLinesDropped();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines / 4; ++i) diagnosticLine("thread %d line %d", t, i);
        });
    }
    for (auto& thread : threads) thread.join();
    uint64_t dropped = diagnosticLinesDropped() - droppedBefore;
    EXPECT_GT(dropped, 0u);
    EXPECT_LT(dropped, static_cast<uint64_t>(kLines));

    // Once the reader catches up, what waited is written and the drops are
    // counted in a line of their own.
    std::string text;
    for (int i = 0; i < 200 && !flushDiagnostics(50); ++i) text += pipe.drain();
    text += pipe.drain();
    EXPECT_NE(text.find("thread 0 line 0\n"), std::string::npos);
    EXPECT_NE(text.find("lines dropped: standard error was not read\n"), std::string::npos);
}

TEST(Diagnostics, AReadStandardErrorGetsEachLineAtOnceWholeAndEnded) {
    StandardErrorOnAPipe pipe;
    ASSERT_TRUE(flushDiagnostics(5000));
    diagnosticLine("peer said %s", "hello");
    diagnosticLine("already ended\n");
    std::string longText(4 * kMaxDiagnosticLine, 'x');
    diagnosticLine("%s", longText.c_str());
    // Written before the call returned: no flush needed.
    std::string text = pipe.drain();
    EXPECT_EQ(text.substr(0, 27), "peer said hello\nalready end");
    ASSERT_GT(text.size(), 31u);
    size_t cut = text.find('\n', 30);
    ASSERT_NE(cut, std::string::npos);
    EXPECT_EQ(cut - 30, static_cast<size_t>(kMaxDiagnosticLine - 2));
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace
