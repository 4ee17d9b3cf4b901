#include "engine/mailbox.h"

#include <pthread.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/diagnostics.h"
#include "common/globals.h"
#include "engine/band_pool.h"
#include "engine/convert.h"
#include "engine/sender.h"
#include "engine/threads.h"
#include "engine/timing.h"
#include "engine/video_send.h"
#include "platform/ndi/ndi.h"
#include "settings/prefs.h"

std::atomic<NDISendData*> theNDISendData{nullptr};

namespace {

// Set by the one startNDISenderThread that creates the mailbox, so that two
// producers submitting their first frames at once create it only once, and a
// mailbox that could not be allocated is not tried again on every frame.
std::atomic<int32_t> mailboxClaimed{0};

std::atomic<FrameConsumer> frameConsumer{nullptr};

constexpr auto kIdleWait = std::chrono::milliseconds(10);
constexpr int32_t kHalfSizeMinWidth = 1921;

bool isFourByteBGRA(uint32_t fourcc) { return fourcc == kPixelTagBGRA || fourcc == kPixelTagARGB; }

int64_t bytesPerPixel(uint32_t fourcc) {
    return fourcc == kPixelTag2VUY || fourcc == kPixelTagYUV2 ? 2 : 4;
}

bool fitsMailbox(int32_t width, int32_t height) {
    return width >= 0 && height >= 0 && width <= kMaxFrameWidth && height <= kMaxFrameHeight;
}

void placeHalfSize(NDISendData* data, const uint8_t* pixels, int32_t width, int32_t height) {
    bgraToUYVYHalfInBands(pictureBandPool(), pixels, data->pixels, width, height);
    data->width = halfSizeWidth(width);
    data->height = height >> 1;
    data->fourcc = kPixelTag2VUY;
}

void placeCopy(NDISendData* data, const uint8_t* pixels, int32_t width, int32_t height,
               uint32_t fourcc) {
    // The ticks before the first capture submit an empty picture from a
    // buffer that may not exist yet: nothing to copy.
    copyInBands(pictureBandPool(), data->pixels, pixels, int64_t{width} * bytesPerPixel(fourcc),
                height);
    data->width = width;
    data->height = height;
    data->fourcc = fourcc;
}

bool wantsHalfSize(int32_t width, uint32_t fourcc) {
    return displayIsRetina != 0 && width >= kHalfSizeMinWidth && thePrefs.prescaleIt != 0 &&
           isFourByteBGRA(fourcc);
}

// Taking the lock before notifying means a sender that has just found no
// frame is already waiting when the notice comes, so the wake-up is not lost.
void wakeSender(NDISendData* data) {
    { std::lock_guard<std::mutex> hold(data->wakeLock); }
    data->frameWaiting.notify_one();
}

bool frameTakeable(const NDISendData* data) {
    return data->ready.load(std::memory_order_acquire) == 1 &&
           data->busy.load(std::memory_order_acquire) == kSlotFree;
}

void waitForFrame(NDISendData* data) {
    std::unique_lock<std::mutex> lock(data->wakeLock);
    data->frameWaiting.wait_for(lock, kIdleWait, [data] {
        return frameTakeable(data) || data->running.load(std::memory_order_acquire) == 0;
    });
}

bool takeWaitingFrame(NDISendData* data) {
    if (data->ready.load(std::memory_order_acquire) != 1) return false;
    int32_t expected = kSlotFree;
    return data->busy.compare_exchange_strong(expected, kSlotSending, std::memory_order_acq_rel);
}

// The mailbox whose frame this thread has taken and not yet given back. Only
// the sender thread ever sets it, so a consumer called on any other thread
// (sendTestFrame's) cannot free a slot it does not hold.
thread_local NDISendData* slotInHand = nullptr;

void releaseTakenFrame(NDISendData* data) {
    data->ready.store(0, std::memory_order_relaxed);
    data->busy.store(kSlotFree, std::memory_order_release);
}

// What the libraries under the send throw (a thread or memory they cannot
// get) drops the frame; the next one tries again, its lines (the same as the
// failed one's) held back. Touched only by the sender thread, but for the
// line.
RepeatedLine frameNotSent{DiagnosticStream::output};
bool lastFrameFailed = false;

void consumeFrame(NDISendData* data) {
    slotInHand = data;
    if (data->width != 0 && data->height != 0) {
        FrameConsumer consumer = frameConsumer.load(std::memory_order_acquire);
        if (consumer == nullptr) consumer = sendVideoToNDI;
        try {
            const HeldLines repeated(lastFrameFailed);
            consumer(data->pixels, data->width, data->height, data->fourcc, data->frameRateCode,
                     data->aspect16x9, data->progressive);
            if (lastFrameFailed) frameNotSent.ended();
            lastFrameFailed = false;
        } catch (const std::exception& error) {
            frameNotSent.write("ndiSenderThread: %s, frame dropped", error.what());
            lastFrameFailed = true;
        }
    }
    // Does nothing when the consumer gave the pixels back already: the slot
    // may hold a producer's next frame by now.
    releaseFramePixels(data->pixels);
}

void* senderThreadEntry(void* record) {
    // Named, so that a look at the process's threads tells the sender apart.
    pthread_setname_np(pthread_self(), "ndi-sender");
    // Before the encoder and the NDI sender start their threads, which
    // inherit the request.
    requestShortTurns();
    ndiSenderThread(static_cast<NDISendData*>(record));
    return nullptr;
}

// The thread is detached: nothing ever joins it, and a detached thread's
// resources go back to the system when it ends.
int32_t launchSenderThread(NDISendData* data) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, senderThreadEntry, data);
    pthread_attr_destroy(&attributes);
    return result == 0 ? 0 : -1;
}

// On huge pages where the system grants them: the copy into the buffer and
// the conversion out of it walk 33 MB a frame at 3840 x 2160, 8100 pages of
// 4 KiB, each a miss in the address cache, against 16 of 2 MiB. Only the
// part a frame touches takes memory, as with any allocation.
uint8_t* allocatePixels() {
    constexpr size_t kHugePage = size_t{2} << 20;
    constexpr size_t kBytes =
        (static_cast<size_t>(kMaxFrameBytes) + kHugePage - 1) & ~(kHugePage - 1);
    void* pixels = std::aligned_alloc(kHugePage, kBytes);
    if (pixels != nullptr) madvise(pixels, kBytes, MADV_HUGEPAGE);
    return static_cast<uint8_t*>(pixels);
}

NDISendData* allocateMailbox() {
    std::unique_ptr<NDISendData> data(new (std::nothrow) NDISendData);
    if (!data) return nullptr;
    data->pixels = allocatePixels();
    if (data->pixels == nullptr) return nullptr;
    return data.release();
}

void freeMailbox(NDISendData* data) {
    std::free(data->pixels);
    delete data;
}

// Tried again by every frame while memory or threads are short: each line is
// written once, then counted.
RepeatedLine noMailbox{DiagnosticStream::output};
RepeatedLine noSenderThread{DiagnosticStream::output};

}  // namespace

int32_t submitFrame(const uint8_t* pixels, uint32_t fourcc) {
    return postFrameToSender(pixels, captureWidth, captureHeight, fourcc, frameRateCode,
                             thePrefs.scalingMode != 0 ? 1 : 0, 1);
}

int32_t postFrameToSender(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                          int32_t frameRateCode, int32_t aspect16x9, int32_t progressive) {
    NDISendData* data = theNDISendData.load(std::memory_order_acquire);
    if (data == nullptr) {
        if (mailboxClaimed.load(std::memory_order_acquire) == 0) startNDISenderThread();
        return 0;
    }
    if (!fitsMailbox(width, height)) {
        diagnosticOutputLine(
            "postFrameToSender: frame of %d x %d is outside 0 to %d x %d, dropped\n", width, height,
            kMaxFrameWidth, kMaxFrameHeight);
        return 0;
    }
    if (pixels == nullptr && width != 0 && height != 0) {
        diagnosticOutputLine("postFrameToSender: frame of %d x %d without pixels, dropped\n", width,
                             height);
        return 0;
    }
    if (data->running.load(std::memory_order_acquire) == 0) return 0;
    int32_t expected = kSlotFree;
    if (!data->busy.compare_exchange_strong(expected, kSlotWriting, std::memory_order_acq_rel))
        return 0;
    data->ready.store(0, std::memory_order_relaxed);
    StageClock clock;
    if (wantsHalfSize(width, fourcc))
        placeHalfSize(data, pixels, width, height);
    else
        placeCopy(data, pixels, width, height, fourcc);
    clock.lap(EngineStage::MailboxCopy);
    data->frameRateCode = frameRateCode;
    data->aspect16x9 = aspect16x9;
    data->progressive = progressive;
    data->ready.store(1, std::memory_order_relaxed);
    data->busy.store(kSlotFree, std::memory_order_release);
    wakeSender(data);
    return 0;
}

int32_t startNDISenderThread() {
    int32_t unclaimed = 0;
    if (!mailboxClaimed.compare_exchange_strong(unclaimed, 1, std::memory_order_acq_rel)) {
        diagnosticOutputLine("startNDISenderThread called when theNDISendData is not NULL\n");
        return 0;
    }
    // A mailbox or thread that cannot be made now gives the claim back: the
    // frame is dropped and the next one tries again.
    NDISendData* data = allocateMailbox();
    if (data == nullptr) {
        noMailbox.write("startNDISenderThread: cannot allocate the frame mailbox, frame dropped\n");
        mailboxClaimed.store(0, std::memory_order_release);
        return -1;
    }
    noMailbox.ended();
    displayIsRetina = isRetinaDisplay();
    if (launchSenderThread(data) != 0) {
        noSenderThread.write("error creating thread.\n");
        freeMailbox(data);
        mailboxClaimed.store(0, std::memory_order_release);
        return -1;
    }
    noSenderThread.ended();
    if (displayIsRetina == 1) diagnosticOutputLine("Display Is Retina\n");
    theNDISendData.store(data, std::memory_order_release);
    return 0;
}

int32_t ensureNDISenderThread() {
    if (theNDISendData.load(std::memory_order_acquire) == nullptr) return startNDISenderThread();
    return 0;
}

int32_t stopNDISenderThread() {
    NDISendData* data = theNDISendData.load(std::memory_order_acquire);
    if (data == nullptr) return 0;
    data->running.store(0, std::memory_order_release);
    wakeSender(data);
    return 0;
}

int32_t ndiSenderThread(NDISendData* data) {
    data->running.store(1, std::memory_order_release);
    while (data->running.load(std::memory_order_acquire) != 0) {
        if (!takeWaitingFrame(data)) {
            waitForFrame(data);
            continue;
        }
        consumeFrame(data);
    }
    destroyNDISender();
    return 0;
}

void setFrameConsumer(FrameConsumer consumer) {
    frameConsumer.store(consumer, std::memory_order_release);
}

void releaseFramePixels(const uint8_t* pixels) {
    NDISendData* data = slotInHand;
    if (data == nullptr || pixels != data->pixels) return;
    slotInHand = nullptr;
    releaseTakenFrame(data);
}

namespace {
// The largest backing scale factor of the screens, as last handed in; 1.0
// until the application reads its screens.
std::atomic<float> largestScreenScale{1.0f};
}  // namespace

void setScreenScaleFactors(const float* factors, int32_t count) {
    float scale = 1.0f;
    for (int32_t i = 0; factors != nullptr && i < count; ++i)
        scale = factors[i] > scale ? factors[i] : scale;
    largestScreenScale.store(scale);
}

int32_t isRetinaDisplay() { return largestScreenScale.load() != 1.0f ? 1 : 0; }

int32_t sendTestFrame() {
    constexpr int32_t kWidth = 1920;
    constexpr int32_t kHeight = 1080;
    std::unique_ptr<uint8_t[]> picture(new (std::nothrow) uint8_t[kWidth * kHeight * 4]());
    if (!picture) {
        diagnosticOutputLine("sendTestFrame: cannot allocate the test picture\n");
        return -1;
    }
    diagnosticOutputLine("NDIlib_version = %s\n", NDIlib_version());
    sendVideoToNDI(picture.get(), kWidth, kHeight, kPixelTagBGRA, frameRateCode, 1, 1);
    return 0;
}
