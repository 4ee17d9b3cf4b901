// The single-slot frame mailbox between the frame producers (display link,
// and the main thread in black-frame mode) and the one sender thread that
// encodes and sends. Frames are never queued: a frame that cannot be placed
// at once is dropped, and no producer ever waits for the sender.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Values of NDISendData::busy: who holds the frame fields and pixels.
inline constexpr int32_t kSlotFree = 0;
inline constexpr int32_t kSlotSending = 1;  // the sender thread has taken the frame
inline constexpr int32_t kSlotWriting = 2;  // a producer is placing a frame

// The mailbox, one for the life of the process. The frame fields and pixels
// belong to whoever moved busy away from kSlotFree; they describe a complete
// frame while ready is 1 and busy is kSlotFree.
struct NDISendData {
    std::atomic<int32_t> running{0};  // set by the sender thread; 0 ends its loop
    std::atomic<int32_t> busy{kSlotFree};
    std::atomic<int32_t> ready{0};  // 1: a complete frame waits
    uint8_t* pixels = nullptr;      // 7680 x 4320 x 4 bytes, never released
    int32_t width = 0;
    int32_t height = 0;
    uint32_t fourcc = 0;
    int32_t frameRateCode = 0;
    int32_t aspect16x9 = 0;
    int32_t progressive = 0;
    // Wakes the idle sender as soon as a frame is placed; it otherwise looks
    // again every 10 ms. Held only around the sender's check, never while it
    // sends.
    std::mutex wakeLock;
    std::condition_variable frameWaiting;
};

// Null until the first frame is submitted; never released.
extern std::atomic<NDISendData*> theNDISendData;

// Posts theCaptureBuffer-sized pixels (captureWidth x captureHeight) with the
// current frame-rate code, 16:9 when thePrefs.scalingMode is set, progressive.
int32_t submitFrame(const uint8_t* pixels, uint32_t fourcc);

// Places one frame in the mailbox, or drops it: the first frame ever creates
// the mailbox and the sender thread instead; frames are dropped while the
// thread has not started, while it sends, while another producer places a
// frame, and when larger than 7680 x 4320 (with a diagnostic line). A frame
// still waiting is replaced. On a high-density display with thePrefs.prescaleIt
// set, a 'bgra' or 'argb' frame of 1921 pixels or wider is halved into '2vuy'.
// Reads pixels only during the call. Returns 0.
int32_t postFrameToSender(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                          int32_t frameRateCode, int32_t aspect16x9, int32_t progressive);

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

// What the sender thread does with each frame it takes: sendVideoToNDI,
// unless tests put another consumer in its place (null restores it).
using FrameConsumer = int32_t (*)(const uint8_t* pixels, int32_t width, int32_t height,
                                  uint32_t fourcc, int32_t frameRateCode, int32_t aspect16x9,
                                  int32_t progressive);
void setFrameConsumer(FrameConsumer consumer);

// The application hands in the backing scale factors of its screens; the
// engine never asks the window system itself.
void setScreenScaleFactors(const float* factors, int32_t count);
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
