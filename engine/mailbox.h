// The single-slot frame mailbox between the frame producers (display link,
// and the main thread in black-frame mode) and the one sender thread that
// encodes and sends. Frames are never queued: a frame that cannot be placed
// at once is dropped, and no producer ever waits for the sender. The record
// and the producers' calls are in engine.h; here the thread's own operations.
// The producer's copy (plain or halved) is in convert.h.
#pragma once

#include <cstdint>

#include "engine/engine.h"

// Creates the mailbox, sets displayIsRetina and starts the sender thread.
// Only the first call (of any thread) does so; later calls print a line and
// change nothing. Returns 0, or -1 when the mailbox cannot be allocated.
int32_t startNDISenderThread();
// startNDISenderThread when no mailbox exists yet.
int32_t ensureNDISenderThread();
// Asks the sender thread to end after its current pass; it then destroys the
// NDI sender. The mailbox stays, and every later frame is dropped.
int32_t stopNDISenderThread();
// The sender thread's body: takes one waiting frame at a time and hands it to
// the frame consumer (frames of width or height 0 are taken without a send).
int32_t ndiSenderThread(NDISendData* data);

// 1 when some screen handed in has a scale factor above 1.0, else 0.
int32_t isRetinaDisplay();

// Prints the runtime version and sends one black 1920 x 1080 frame directly,
// on the caller's thread; must not overlap the sender thread's sends.
int32_t sendTestFrame();
