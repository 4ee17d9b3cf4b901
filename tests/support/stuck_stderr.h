// Standard error on a pipe that is full and that nobody reads, as a terminal
// scrolled back or a log reader that stopped leaves it.
#pragma once

#include <functional>

namespace testsupport {

// Runs work on a thread of its own while standard error is such a pipe. True
// when work ended within deadlineMs; either way everything it wrote is
// drained before standard error comes back, so nothing is left blocked.
bool finishesWhileStandardErrorIsStuck(const std::function<void()>& work, int deadlineMs = 5000);

}  // namespace testsupport
