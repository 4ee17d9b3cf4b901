// The sender's listening socket.
#pragma once

namespace ndiwire {

// Listens on NDI_BIND (default every interface) and NDI_PORT (default 5960,
// 0 for any free port). When that port is taken, listens on a free one, as
// NDI sources take their ports, and says so in one line. -1, with one line,
// when no port can be had; a second attempt with the same address and port
// within a few seconds then fails at once and quietly, so callers that retry
// every frame neither flood the log nor spin.
int openListener(int* port);

}  // namespace ndiwire
