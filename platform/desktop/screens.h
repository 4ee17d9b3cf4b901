// The screens' backing scale factors (device pixels per logical pixel), read
// from Qt on the main thread and cached, so that threads without Qt access
// (the producer that creates the frame mailbox) can ask about them.
#pragma once

#include <cstdint>

namespace platform {

// At most this many screens are remembered; further screens are ignored.
inline constexpr int32_t kMaxCachedScreens = 16;

// Reads every screen's devicePixelRatio and replaces the cache. Main thread
// only, with the application object made. Returns the number of screens
// cached, or -1 with a diagnostic line when there is no application (the
// cache then stays as it was).
int32_t cacheScreenScaleFactors();

// Replaces the cache with count factors (count above kMaxCachedScreens is cut
// to it); count -1 forgets the screens, as before the first cache. For tests
// and for start-up paths that learn the factors some other way.
void setScreenScaleFactors(const float* factors, int32_t count);

// Copies up to capacity cached factors into out and returns the number of
// screens cached, or -1 when the screens were never cached (no main screen to
// ask). Safe from any thread.
int32_t copyScreenScaleFactors(float* out, int32_t capacity);

}  // namespace platform
