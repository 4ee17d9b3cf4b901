#include "common/diagnostics.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// The queue and its writer live for the whole process (never destroyed, so a
// thread that logs during exit finds them intact).
struct DiagnosticQueue {
    std::mutex lock;
    std::condition_variable wake;     // the writer waits for lines
    std::condition_variable drained;  // flushDiagnostics waits for an empty queue
    std::array<char, kDiagnosticQueueBytes> bytes{};
    size_t head = 0;  // first byte waiting
    size_t used = 0;  // bytes waiting
    bool writing = false;
    bool writerStarted = false;
    uint64_t droppedUnreported = 0;
    std::atomic<uint64_t> droppedTotal{0};
};

DiagnosticQueue& theDiagnosticQueue() {
    static auto* queue = new DiagnosticQueue;
    return *queue;
}

// A pipe or socket that reports POLLOUT takes a write of up to PIPE_BUF bytes
// without blocking; regular files always do.
bool standardErrorTakesALine() {
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

void writeAll(const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(STDERR_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // standard error is closed: nothing more to do
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void append(DiagnosticQueue& q, const char* text, size_t size) {
    size_t tail = (q.head + q.used) % q.bytes.size();
    size_t first = std::min(size, q.bytes.size() - tail);
    memcpy(q.bytes.data() + tail, text, first);
    memcpy(q.bytes.data(), text + first, size - first);
    q.used += size;
}

// Takes the longest contiguous run of waiting bytes into out; returns its size.
size_t takeRun(DiagnosticQueue& q, char* out, size_t outSize) {
    size_t run = std::min({q.used, q.bytes.size() - q.head, outSize});
    memcpy(out, q.bytes.data() + q.head, run);
    q.head = (q.head + run) % q.bytes.size();
    q.used -= run;
    return run;
}

void writerLoop(DiagnosticQueue& q) {
    std::array<char, 4096> chunk{};
    std::unique_lock<std::mutex> held(q.lock);
    for (;;) {
        q.wake.wait(held, [&] { return q.used > 0 || q.droppedUnreported > 0; });
        q.writing = true;
        while (q.used > 0) {
            size_t run = takeRun(q, chunk.data(), chunk.size());
            held.unlock();
            writeAll(chunk.data(), run);
            held.lock();
        }
        if (q.droppedUnreported > 0) {
            int n = snprintf(chunk.data(), chunk.size(),
                             "diagnostics: %llu lines dropped: standard error was not read\n",
                             static_cast<unsigned long long>(q.droppedUnreported));
            q.droppedUnreported = 0;
            held.unlock();
            writeAll(chunk.data(), static_cast<size_t>(n));
            held.lock();
        }
        q.writing = false;
        if (q.used == 0 && q.droppedUnreported == 0) q.drained.notify_all();
    }
}

void startWriterLocked(DiagnosticQueue& q) {
    if (q.writerStarted) return;
    q.writerStarted = true;
    std::thread([&q] { writerLoop(q); }).detach();
}

size_t formatLine(char* out, const char* format, va_list args) {
    int n = vsnprintf(out, kMaxDiagnosticLine, format, args);
    if (n < 0) n = 0;
    size_t size = std::min(static_cast<size_t>(n), static_cast<size_t>(kMaxDiagnosticLine - 2));
    if (size == 0 || out[size - 1] != '\n') out[size++] = '\n';
    return size;
}

}  // namespace

void diagnosticLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    diagnosticLineV(format, args);
    va_end(args);
}

void diagnosticLineV(const char* format, va_list args) {
    char line[kMaxDiagnosticLine];
    size_t size = formatLine(line, format, args);

    DiagnosticQueue& q = theDiagnosticQueue();
    std::lock_guard<std::mutex> held(q.lock);
    // Written straight away only when nothing waits before it, so lines keep
    // their order.
    if (q.used == 0 && !q.writing && q.droppedUnreported == 0 && standardErrorTakesALine()) {
        writeAll(line, size);
        return;
    }
    if (q.bytes.size() - q.used >= size) {
        append(q, line, size);
    } else {
        ++q.droppedUnreported;
        q.droppedTotal.fetch_add(1, std::memory_order_relaxed);
    }
    startWriterLocked(q);
    q.wake.notify_one();
}

uint64_t diagnosticLinesDropped() {
    return theDiagnosticQueue().droppedTotal.load(std::memory_order_relaxed);
}

bool flushDiagnostics(int timeoutMs) {
    DiagnosticQueue& q = theDiagnosticQueue();
    std::unique_lock<std::mutex> held(q.lock);
    return q.drained.wait_for(held, std::chrono::milliseconds(timeoutMs), [&] {
        return q.used == 0 && !q.writing && q.droppedUnreported == 0;
    });
}
