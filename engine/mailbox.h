// The single-slot frame mailbox between the frame producers (display link,
// and the main thread in black-frame mode) and the one sender thread that
// encodes and sends. Frames are never queued: a frame that cannot be placed
// at once is dropped, and no producer ever waits for the sender. The record
// and the producers' calls are in engine.h; here the thread's own operations
// and the conversions of the producer's copy.
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

// Width in pixels of the '2vuy' picture bgraToUYVYHalf makes from a source
// width: half of it, cut down to whole pixel pairs.
int32_t halfSizeWidth(int32_t width);
// Halves a 'bgra' picture of width x height into '2vuy' of halfSizeWidth(width)
// x height / 2: output rows 2k and 2k + 1 come from source rows 4k and 4k + 1,
// output pair m from source pixels 4m (U, Y0) and 4m + 2 (V, Y1) of its row,
// BT.709 limited range. Writes nothing when width or height is below 1.
void bgraToUYVYHalf(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height);
// Halves a picture of 32-bit pixels: output (x, y) is source (2x, 2y), for
// ceil(height / 2) rows of width / 2 pixels. Writes nothing when width or
// height is below 1.
void decimate32Half(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height);

// Prints the runtime version and sends one black 1920 x 1080 frame directly,
// on the caller's thread; must not overlap the sender thread's sends.
int32_t sendTestFrame();
