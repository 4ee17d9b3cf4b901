// Ending the program from outside the way closing its window does: a desktop
// session sends SIGTERM at logout, `kill` sends it too, and a terminal that
// goes away sends SIGHUP. Either one quits through the application's own quit
// path, so the settings are saved and the exit status is 0.
#pragma once

#include <cstdint>

namespace platform {

// Installs the handlers for SIGTERM and SIGHUP. The handlers only write the
// signal's number to a pipe (all that is safe inside a handler); the main
// thread reads it once its event loop runs. Call first thing in main, before
// any thread exists, so that every later thread inherits nothing unusual.
// Returns 0, or -1 with a diagnostic line when the pipe could not be made
// (the signals then keep their default action).
int32_t catchQuitSignals();

// Ignores SIGPIPE, whose default action ends the program without saving
// when a reader of standard output goes away (`NDITabrivo | head`) or
// someone sends it: a write to a reader that went away fails instead. Call
// first thing in main, before any thread exists.
void ignoreBrokenPipes();

// Starts watching the pipe on the main thread: each signal caught asks the
// application to quit. Call once the application object exists; a signal
// that came before is acted on when the event loop starts.
void quitOnCaughtSignals();

}  // namespace platform
