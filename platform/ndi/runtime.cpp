// Runtime start-up and version. There is no global state to set up: each
// sender and receiver owns its sockets.
#include <cstdlib>
#include <cstring>

#include "platform/ndi/ndi.h"

bool NDIlib_initialize() {
    // Lets tests and users exercise the "runtime cannot run" path.
    const char* disabled = getenv("NDI_RUNTIME_DISABLED");
    return disabled == nullptr || strcmp(disabled, "1") != 0;
}

void NDIlib_destroy() {}

const char* NDIlib_version() { return "NDITabrivo built-in runtime 1.0 (TCP)"; }
