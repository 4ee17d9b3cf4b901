// Keeping the display awake: asks the desktop's screen saver service not to
// blank the screen or sleep for idleness while the process lives.
#pragma once

#include <cstdint>

namespace platform {

// Raises the inhibit under the application name and reason given, through
// org.freedesktop.ScreenSaver.Inhibit on the session bus. The inhibit is held
// until the process ends (the service drops it with the bus connection).
// Returns 0 when the service took it, -1 when there is no session bus or the
// service refused or is absent; nothing is printed either way. Main thread
// only, with the application object made.
int32_t inhibitDisplaySleep(const char* applicationName, const char* reason);

}  // namespace platform
