#include "tests/support/stuck_stderr.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/diagnostics.h"

namespace testsupport {

bool finishesWhileStandardErrorIsStuck(const std::function<void()>& work, int deadlineMs) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    // Filled through a non-blocking end of its own; standard error itself
    // stays a blocking descriptor, as a real one is.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::vector<char> chunk(4096, 'x');
    while (write(fds[1], chunk.data(), chunk.size()) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool finished = done;
    // A worker still blocked gets its reader now, so it can be joined.
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);
    close(devNull);
    close(fds[1]);
    std::thread drain([&] {
        char sink[4096];
        while (read(fds[0], sink, sizeof sink) > 0) {
        }
    });
    worker.join();
    flushDiagnostics(10000);
    dup2(saved, STDERR_FILENO);
    close(saved);
    drain.join();
    close(fds[0]);
    return finished;
}

}  // namespace testsupport
