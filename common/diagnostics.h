// Diagnostic lines that must never make a thread wait on a reader of standard
// output or standard error: a terminal scrolled back, a log reader that
// stopped or a pipe into a program that never reads leaves a pipe that is
// never drained, and a plain printf then blocks the thread (the sender, the
// network I/O, the audio device, the main thread) for as long as nobody reads.
//
// A line is written at once when its stream can take it without waiting, so
// in the usual case the lines keep their order with everything else the
// process prints. Otherwise it waits in a bounded queue (one per stream) that
// a writer thread of its own drains; a line that does not fit there is
// dropped and counted, and the count is written as soon as the reader catches
// up. A stream whose reader went away (the write fails) loses its lines.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>

enum class DiagnosticStream { output, error };  // standard output, standard error

// Writes one line to standard error (a line end is added when the text has
// none), cut at kMaxDiagnosticLine bytes. Never waits for the reader.
void diagnosticLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a caller that takes a format and arguments of its own.
void diagnosticLineV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// The same on standard output, for the lines the program prints there.
void diagnosticOutputLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void diagnosticStreamLineV(DiagnosticStream stream, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// Writes size bytes as they are (no line end added) through the same bounded
// path; what does not fit the queue is dropped and counted as one line.
void diagnosticBytes(DiagnosticStream stream, const char* data, size_t size);

// Makes stdout and stderr (the C streams, and so printf, puts, fprintf and
// Qt's messages) write through the bounded path: from then on no write to
// them waits for a reader. Call first thing in main, before any thread
// exists. False when the streams could not be made (they stay as they were).
bool boundStandardStreams();

// Lines dropped since the process started because a queue was full.
uint64_t diagnosticLinesDropped();

// Waits up to timeoutMs for both queues to be written out; true when they
// were. For the end of the process and for tests that read what was written.
bool flushDiagnostics(int timeoutMs);

inline constexpr int kMaxDiagnosticLine = 1024;
inline constexpr int kDiagnosticQueueBytes = 64 * 1024;

// One place in the code whose line may come again and again while a
// condition lasts, once a frame or once a block (memory that cannot be had,
// a thread that cannot be started). The first time, the line is written;
// after that each repeat is only counted, until the caller says the
// condition is over (ended), or the process quits (reportRepeatedLines):
// then, when there were repeats, one line gives their number with the text
// of the first, and the next occurrence is written again. Any thread may use
// one; make it a static of the place.
//
//   static RepeatedLine noBuffer(DiagnosticStream::output);
//   if (buffer == nullptr) { noBuffer.write("out of memory : stream=%d", s); return; }
//   noBuffer.ended();
class RepeatedLine {
  public:
    explicit constexpr RepeatedLine(DiagnosticStream stream = DiagnosticStream::error)
        : stream_(stream) {}
    ~RepeatedLine();
    RepeatedLine(const RepeatedLine&) = delete;
    RepeatedLine& operator=(const RepeatedLine&) = delete;

    // Writes the line, or counts it when it was written already.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The condition is over: writes "<first line> (repeated N more times)"
    // when there were repeats, and arms the line again.
    void ended();
    // Repeats counted since the line was last written.
    uint64_t repeats();

  private:
    friend void reportRepeatedLines();
    DiagnosticStream stream_;
    std::mutex lock_;
    RepeatedLine* nextWritten_ = nullptr;  // in the list of lines ever written
    bool listed_ = false;
    bool written_ = false;
    uint64_t repeats_ = 0;
    char text_[kMaxDiagnosticLine] = {};
};

// Gives the count of every repeated line whose condition still lasts (as
// RepeatedLine::ended does), for the quit.
void reportRepeatedLines();

// Holds back, while it lives and when `hold` is true, every line the calling
// thread writes through this path (printf and fprintf included, once the
// standard streams are bound): they are counted, not written. For an attempt
// that repeats one that failed, whose lines were written the first time.
class HeldLines {
  public:
    explicit HeldLines(bool hold);
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
    // Lines held back so far.
    uint64_t count() const { return count_; }

  private:
    uint64_t count_ = 0;
    uint64_t* outer_ = nullptr;
    bool holding_ = false;
};
