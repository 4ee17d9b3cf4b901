// Diagnostic lines from the sending, I/O and audio threads never wait for a
// reader of standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/diagnostics.h"

namespace {

// Points standard error (or output) at a pipe for the life of the object.
class StandardErrorOnAPipe {
  public:
    explicit StandardErrorOnAPipe(int fd = STDERR_FILENO) : fd_(fd) {
        EXPECT_EQ(pipe(ends_), 0);
        saved_ = dup(fd_);
        dup2(ends_[1], fd_);
    }
    ~StandardErrorOnAPipe() {
        dup2(saved_, fd_);
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

    // Fills the pipe through an opening of its own, so that the end the code
    // writes to stays blocking.
    void fill() {
        const int own = open(("/proc/self/fd/" + std::to_string(ends_[1])).c_str(),
                             O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(own, 0);
        const std::vector<char> block(4096, 'x');
        while (write(own, block.data(), block.size()) > 0) {
        }
        while (write(own, block.data(), 1) > 0) {
        }
        close(own);
    }

  private:
    int fd_;
    int ends_[2] = {-1, -1};
    int saved_ = -1;
};

// Reads everything once the queues are written out, draining as it waits.
std::string drainAll(StandardErrorOnAPipe& pipe) {
    std::string text;
    for (int i = 0; i < 200 && !flushDiagnostics(50); ++i) text += pipe.drain();
    return text + pipe.drain();
}

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

TEST(Diagnostics, StandardOutputNobodyReadsHoldsUpNeitherItsLinesNorPrintf) {
    StandardErrorOnAPipe pipe(STDOUT_FILENO);
    ASSERT_TRUE(flushDiagnostics(5000));
    diagnosticOutputLine("before %d", 1);
    diagnosticBytes(DiagnosticStream::output, "no line end", 11);
    EXPECT_EQ(pipe.drain(), "before 1\nno line end");  // at once, as given
    pipe.fill();
    std::thread([] {
        for (int i = 0; i < 20000; ++i) diagnosticOutputLine("setupH264 = %d x 720", i);
    }).join();
    // The bound C stream goes the same way: printf returns at once too. Made
    // here, not as the process's stdout, so that the test's output stays.
    FILE* output = fopencookie(nullptr, "w",
                               {nullptr,
                                [](void*, const char* data, size_t size) -> ssize_t {
                                    diagnosticBytes(DiagnosticStream::output, data, size);
                                    return static_cast<ssize_t>(size);
                                },
                                nullptr, nullptr});
    ASSERT_NE(output, nullptr);
    for (int i = 0; i < 20000; ++i) fprintf(output, "DataRate = %d MBit\n", i);
    fclose(output);
    const std::string text = drainAll(pipe);
    EXPECT_NE(text.find("setupH264 = 0 x 720\n"), std::string::npos);
    EXPECT_NE(text.find("lines dropped: standard output was not read\n"), std::string::npos);
}

TEST(Diagnostics, ARepeatedLineIsWrittenOnceThenCountedUntilItsConditionEnds) {
    StandardErrorOnAPipe pipe;
    ASSERT_TRUE(flushDiagnostics(5000));
    RepeatedLine noMemory;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) noMemory.write("out of memory : stream=%d", 0);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(noMemory.repeats(), 999u);
    EXPECT_EQ(pipe.drain(), "out of memory : stream=0\n");
    noMemory.ended();
    noMemory.ended();  // nothing more to say
    EXPECT_EQ(pipe.drain(), "out of memory : stream=0 (repeated 999 more times)\n");
    noMemory.write("out of memory : stream=%d", 1);  // written again
    noMemory.write("out of memory : stream=%d", 1);
    reportRepeatedLines();  // the quit gives the count too
    EXPECT_EQ(pipe.drain(),
              "out of memory : stream=1\nout of memory : stream=1 (repeated 1 more times)\n");
}

TEST(Diagnostics, HeldLinesAreCountedNotWrittenOnTheirThreadOnly) {
    StandardErrorOnAPipe pipe;
    ASSERT_TRUE(flushDiagnostics(5000));
    {
        const HeldLines held(true);
        diagnosticLine("setupH264 = 641 x 360");
        std::thread([] { diagnosticLine("from another thread"); }).join();
        {
            const HeldLines notHeld(false);
            diagnosticLine("x264_encoder_open error!");
        }
        EXPECT_EQ(held.count(), 2u);
    }
    diagnosticLine("after");
    EXPECT_EQ(pipe.drain(), "from another thread\nafter\n");
}

}  // namespace
