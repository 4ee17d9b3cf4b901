// Requests from any thread for work on the main (user-interface) thread: queued
// in the order made, never merged, the caller never waiting.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Queues work to run on the main thread once it returns to its event loop.
// Works from any thread, the main thread included (the work then runs after
// the current event). Returns 0, or -1 when there is no application object to
// run it, with a diagnostic line unless the application has already ended.
int32_t performOnMainThread(std::function<void()> work);

// As performOnMainThread, but the work runs no sooner than milliseconds from
// now.
int32_t performOnMainThreadAfter(int32_t milliseconds, std::function<void()> work);

}  // namespace platform
