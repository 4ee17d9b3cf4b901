// Whether the X display the program is to run on can be reached, asked before
// the toolkit is started: the toolkit itself aborts without one.
#pragma once

namespace platform {

// True when the windows will go somewhere: the toolkit is told to use another
// platform than X11 (QT_QPA_PLATFORM, e.g. "offscreen"), or a connection to
// the X display in DISPLAY succeeds and its screen has a depth the toolkit
// can draw in (true colour, 15 bits or more). Otherwise prints one line on
// standard error naming the display (or that DISPLAY is not set) or the
// screen's depth, and returns false.
bool xDisplayCanBeOpened(const char* programName);

}  // namespace platform
