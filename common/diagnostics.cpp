#include "common/diagnostics.h"

#include <limits.h>
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
#include <new>
#include <system_error>
#include <thread>

namespace {

// One stream's queue and its writer. Both live for the whole process (never
// destroyed, so a thread that logs during exit finds them intact).
struct DiagnosticQueue {
    explicit DiagnosticQueue(int descriptor, const char* streamName)
        : fd(descriptor), name(streamName) {}
    const int fd;
    const char* const name;  // for the line that counts drops
    std::mutex lock;
    std::condition_variable wake;     // the writer waits for lines
    std::condition_variable drained;  // flushDiagnostics waits for an empty queue
    std::array<char, kDiagnosticQueueBytes> bytes{};
    size_t head = 0;  // first byte waiting
    size_t used = 0;  // bytes waiting
    bool writing = false;
    bool writerStarted = false;
    uint64_t droppedUnreported = 0;
};

std::atomic<uint64_t> droppedTotal{0};

// The count of the innermost HeldLines of this thread that holds; null when
// none does.
thread_local uint64_t* heldLines = nullptr;

// In static storage rather than on the heap: a process short of memory still
// gets its lines out.
template <int Fd>
DiagnosticQueue& queueOf(const char* name) {
    alignas(DiagnosticQueue) static unsigned char storage[sizeof(DiagnosticQueue)];
    static DiagnosticQueue* const queue = new (storage) DiagnosticQueue(Fd, name);
    return *queue;
}

DiagnosticQueue& theQueue(DiagnosticStream stream) {
    return stream == DiagnosticStream::output ? queueOf<STDOUT_FILENO>("standard output")
                                              : queueOf<STDERR_FILENO>("standard error");
}

// A pipe or socket that reports POLLOUT takes a write of up to PIPE_BUF bytes
// without blocking; regular files always do.
bool takesAWrite(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

// A failed write (the stream is closed, or its reader went away) ends the
// attempt: the bytes are lost, as they would be to any writer.
void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Writes at once what the stream takes without waiting, in pieces of at most
// PIPE_BUF bytes; returns how many bytes were written.
size_t writeWithoutWaiting(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size && takesAWrite(fd)) {
        const size_t piece = std::min(size - done, static_cast<size_t>(PIPE_BUF));
        writeAll(fd, data + done, piece);
        done += piece;
    }
    return done;
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
            writeAll(q.fd, chunk.data(), run);
            held.lock();
        }
        if (q.droppedUnreported > 0) {
            int n = snprintf(chunk.data(), chunk.size(),
                             "diagnostics: %llu lines dropped: %s was not read\n",
                             static_cast<unsigned long long>(q.droppedUnreported), q.name);
            q.droppedUnreported = 0;
            held.unlock();
            writeAll(q.fd, chunk.data(), static_cast<size_t>(n));
            held.lock();
        }
        q.writing = false;
        if (q.used == 0 && q.droppedUnreported == 0) q.drained.notify_all();
    }
}

// A writer that cannot be started now (no memory, no threads left) is tried
// again with the next line; meanwhile lines wait, or are dropped and counted.
void startWriterLocked(DiagnosticQueue& q) {
    if (q.writerStarted) return;
    try {
        std::thread([&q] { writerLoop(q); }).detach();
        q.writerStarted = true;
    } catch (const std::exception&) {
    }
}

// Writes at once what can be, queues the rest. Called with the queue's lock
// held. Written straight away only when nothing waits before it, so lines
// keep their order.
void putLocked(DiagnosticQueue& q, const char* data, size_t size) {
    if (q.used == 0 && !q.writing && q.droppedUnreported == 0) {
        const size_t done = writeWithoutWaiting(q.fd, data, size);
        data += done;
        size -= done;
        if (size == 0) return;
    }
    if (q.bytes.size() - q.used >= size) {
        append(q, data, size);
    } else {
        ++q.droppedUnreported;
        droppedTotal.fetch_add(1, std::memory_order_relaxed);
    }
    startWriterLocked(q);
    q.wake.notify_one();
}

size_t formatLine(char* out, const char* format, va_list args) {
    int n = vsnprintf(out, kMaxDiagnosticLine, format, args);
    if (n < 0) n = 0;
    size_t size = std::min(static_cast<size_t>(n), static_cast<size_t>(kMaxDiagnosticLine - 2));
    if (size == 0 || out[size - 1] != '\n') out[size++] = '\n';
    return size;
}

ssize_t writeToOutput(void* /*cookie*/, const char* data, size_t size) {
    diagnosticBytes(DiagnosticStream::output, data, size);
    return static_cast<ssize_t>(size);
}

ssize_t writeToError(void* /*cookie*/, const char* data, size_t size) {
    diagnosticBytes(DiagnosticStream::error, data, size);
    return static_cast<ssize_t>(size);
}

}  // namespace

void diagnosticLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    diagnosticStreamLineV(DiagnosticStream::error, format, args);
    va_end(args);
}

void diagnosticLineV(const char* format, va_list args) {
    diagnosticStreamLineV(DiagnosticStream::error, format, args);
}

void diagnosticOutputLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    diagnosticStreamLineV(DiagnosticStream::output, format, args);
    va_end(args);
}

void diagnosticStreamLineV(DiagnosticStream stream, const char* format, va_list args) {
    char line[kMaxDiagnosticLine];
    const size_t size = formatLine(line, format, args);
    diagnosticBytes(stream, line, size);
}

void diagnosticBytes(DiagnosticStream stream, const char* data, size_t size) {
    if (data == nullptr || size == 0) return;
    if (heldLines != nullptr) {
        ++*heldLines;
        return;
    }
    DiagnosticQueue& q = theQueue(stream);
    std::lock_guard<std::mutex> held(q.lock);
    putLocked(q, data, size);
}

bool boundStandardStreams() {
    // Output is line-buffered, so a line goes out whole and at once, also to
    // a file; error is unbuffered, as it always is.
    FILE* output = fopencookie(nullptr, "w", {nullptr, writeToOutput, nullptr, nullptr});
    FILE* error = fopencookie(nullptr, "w", {nullptr, writeToError, nullptr, nullptr});
    if (output == nullptr || error == nullptr || setvbuf(output, nullptr, _IOLBF, BUFSIZ) != 0 ||
        setvbuf(error, nullptr, _IONBF, 0) != 0) {
        if (output != nullptr) fclose(output);
        if (error != nullptr) fclose(error);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    // The C library's streams are variables of their own that may be set.
    stdout = output;
    stderr = error;
    return true;
}

uint64_t diagnosticLinesDropped() { return droppedTotal.load(std::memory_order_relaxed); }

bool flushDiagnostics(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool flushed = true;
    for (DiagnosticStream stream : {DiagnosticStream::output, DiagnosticStream::error}) {
        DiagnosticQueue& q = theQueue(stream);
        std::unique_lock<std::mutex> held(q.lock);
        flushed = q.drained.wait_until(held, deadline, [&] {
            return q.used == 0 && !q.writing && q.droppedUnreported == 0;
        }) && flushed;
    }
    return flushed;
}

namespace {

// Every RepeatedLine ever written, for the count at the quit. Lock order: the
// list's lock before a line's own.
std::mutex repeatedLinesLock;
RepeatedLine* repeatedLines = nullptr;

}  // namespace

RepeatedLine::~RepeatedLine() {
    std::lock_guard<std::mutex> list(repeatedLinesLock);
    for (RepeatedLine** link = &repeatedLines; *link != nullptr; link = &(*link)->nextWritten_) {
        if (*link == this) {
            *link = nextWritten_;
            break;
        }
    }
}

void reportRepeatedLines() {
    std::lock_guard<std::mutex> list(repeatedLinesLock);
    for (RepeatedLine* line = repeatedLines; line != nullptr; line = line->nextWritten_)
        line->ended();
}

void RepeatedLine::write(const char* format, ...) {
    {
        std::lock_guard<std::mutex> list(repeatedLinesLock);
        std::lock_guard<std::mutex> held(lock_);
        if (!listed_) {
            listed_ = true;
            nextWritten_ = repeatedLines;
            repeatedLines = this;
        }
    }
    std::lock_guard<std::mutex> held(lock_);
    if (written_) {
        ++repeats_;
        return;
    }
    va_list args;
    va_start(args, format);
    const size_t size = formatLine(text_, format, args);
    va_end(args);
    written_ = true;
    repeats_ = 0;
    diagnosticBytes(stream_, text_, size);
    text_[size - 1] = '\0';  // kept without its line end, for the count
}

void RepeatedLine::ended() {
    std::lock_guard<std::mutex> held(lock_);
    if (!written_) return;
    written_ = false;
    if (repeats_ == 0) return;
    char line[kMaxDiagnosticLine + 64];
    const int n = snprintf(line, sizeof line, "%s (repeated %llu more times)\n", text_,
                           static_cast<unsigned long long>(repeats_));
    repeats_ = 0;
    if (n > 0) diagnosticBytes(stream_, line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

uint64_t RepeatedLine::repeats() {
    std::lock_guard<std::mutex> held(lock_);
    return repeats_;
}

HeldLines::HeldLines(bool hold) : outer_(heldLines), holding_(hold) {
    if (holding_) heldLines = &count_;
}

HeldLines::~HeldLines() {
    if (holding_) heldLines = outer_;
}
