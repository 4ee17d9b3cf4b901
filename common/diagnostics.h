// Diagnostic lines from threads that must never wait on a reader of standard
// error: the ones that send frames, run the network I/O or serve the audio
// device. A terminal scrolled back or a log reader that stopped leaves a pipe
// that is never drained, and a plain fprintf then blocks the thread for as
// long as nobody reads.
//
// A line is written at once when standard error can take it without waiting,
// so in the usual case the lines keep their order with everything else the
// process prints. Otherwise it waits in a bounded queue that a writer thread of
// its own drains; a line that does not fit there is dropped and counted, and
// the count is written as soon as the reader catches up.
#pragma once

#include <cstdarg>
#include <cstdint>

// Writes one line (a line end is added when the text has none), cut at
// kMaxDiagnosticLine bytes. Never waits for the reader of standard error.
void diagnosticLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a caller that takes a format and arguments of its own.
void diagnosticLineV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Lines dropped since the process started because the queue was full.
uint64_t diagnosticLinesDropped();

// Waits up to timeoutMs for the queue to be written out; true when it was.
// For the end of the process and for tests that read what was written.
bool flushDiagnostics(int timeoutMs);

inline constexpr int kMaxDiagnosticLine = 1024;
inline constexpr int kDiagnosticQueueBytes = 64 * 1024;
