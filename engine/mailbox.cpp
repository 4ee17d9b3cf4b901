#include "engine/mailbox.h"

#include <pthread.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/globals.h"
#include "engine/sender.h"
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

// Source row of output row `row` of the half-size picture: rows 4k and 4k + 1
// make output rows 2k and 2k + 1; rows 4k + 2 and 4k + 3 are skipped.
int32_t halfSizeSourceRow(int32_t row) { return (row >> 1) * 4 + (row & 1); }

// BT.709 limited range in 8-bit fixed point; >> floors, so white gives U 127.
uint8_t lumaOf(const uint8_t* bgra) {
    return static_cast<uint8_t>(((16 * bgra[0] + 157 * bgra[1] + 47 * bgra[2]) >> 8) + 16);
}
uint8_t blueDifferenceOf(const uint8_t* bgra) {
    return static_cast<uint8_t>(((112 * bgra[0] - 87 * bgra[1] - 26 * bgra[2]) >> 8) + 128);
}
uint8_t redDifferenceOf(const uint8_t* bgra) {
    return static_cast<uint8_t>(((112 * bgra[2] - 102 * bgra[1] - 10 * bgra[0]) >> 8) + 128);
}

void placeHalfSize(NDISendData* data, const uint8_t* pixels, int32_t width, int32_t height) {
    bgraToUYVYHalf(pixels, data->pixels, width, height);
    data->width = halfSizeWidth(width);
    data->height = height >> 1;
    data->fourcc = kPixelTag2VUY;
}

void placeCopy(NDISendData* data, const uint8_t* pixels, int32_t width, int32_t height,
               uint32_t fourcc) {
    // The ticks before the first capture submit an empty picture from a
    // buffer that may not exist yet: nothing to copy.
    const size_t bytes = static_cast<size_t>(int64_t{width} * height * bytesPerPixel(fourcc));
    if (bytes != 0) memcpy(data->pixels, pixels, bytes);
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

void releaseTakenFrame(NDISendData* data) {
    data->ready.store(0, std::memory_order_relaxed);
    data->busy.store(kSlotFree, std::memory_order_release);
}

void consumeFrame(NDISendData* data) {
    if (data->width != 0 && data->height != 0) {
        FrameConsumer consumer = frameConsumer.load(std::memory_order_acquire);
        if (consumer == nullptr) consumer = sendVideoToNDI;
        consumer(data->pixels, data->width, data->height, data->fourcc, data->frameRateCode,
                 data->aspect16x9, data->progressive);
    }
    releaseTakenFrame(data);
}

void* senderThreadEntry(void* record) {
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

NDISendData* allocateMailbox() {
    std::unique_ptr<NDISendData> data(new (std::nothrow) NDISendData);
    if (!data) return nullptr;
    data->pixels = new (std::nothrow) uint8_t[static_cast<size_t>(kMaxFrameBytes)];
    if (data->pixels == nullptr) return nullptr;
    return data.release();
}

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
        printf("postFrameToSender: frame of %d x %d is outside 0 to %d x %d, dropped\n", width,
               height, kMaxFrameWidth, kMaxFrameHeight);
        return 0;
    }
    if (pixels == nullptr && width != 0 && height != 0) {
        printf("postFrameToSender: frame of %d x %d without pixels, dropped\n", width, height);
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
        printf("startNDISenderThread called when theNDISendData is not NULL\n");
        return 0;
    }
    NDISendData* data = allocateMailbox();
    if (data == nullptr) {
        printf("startNDISenderThread: cannot allocate the frame mailbox, no video will be sent\n");
        return -1;
    }
    theNDISendData.store(data, std::memory_order_release);
    displayIsRetina = isRetinaDisplay();
    if (displayIsRetina == 1) printf("Display Is Retina\n");
    if (launchSenderThread(data) != 0) printf("error creating thread.\n");
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

int32_t halfSizeWidth(int32_t width) { return width < 1 ? 0 : (width >> 2) * 2; }

namespace {

void halfSizePairs(const uint8_t* in, uint8_t* out, int32_t first, int32_t pairs) {
    for (int32_t m = first; m < pairs; ++m) {
        const uint8_t* a = in + int64_t{m} * 16;
        uint8_t* o = out + int64_t{m} * 4;
        o[0] = blueDifferenceOf(a);
        o[1] = lumaOf(a);
        o[2] = redDifferenceOf(a + 8);
        o[3] = lumaOf(a + 8);
    }
}

#if defined(__SSE2__)
// Four pairs at a time, the same arithmetic in 16-bit lanes: luma sums stay
// below 2^16 (unsigned shift), the colour differences within +-2^15
// (arithmetic shift, which floors as the scalar >> does). Returns the pairs
// done.
int32_t halfSizePairsSSE2(const uint8_t* in, uint8_t* out, int32_t pairs) {
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    // Lanes 0, 2, 4, 6 hold the pixels giving U, lanes 1, 3, 5, 7 those giving V.
    const __m128i uLanes = _mm_set1_epi32(0x0000FFFF);
    auto channel = [&](__m128i first, __m128i second, int shift) {
        return _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(first, shift), byteMask),
                               _mm_and_si128(_mm_srli_epi32(second, shift), byteMask));
    };
    auto weighted = [](__m128i b, __m128i g, __m128i r, int16_t kb, int16_t kg, int16_t kr) {
        return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(b, _mm_set1_epi16(kb)),
                                           _mm_mullo_epi16(g, _mm_set1_epi16(kg))),
                             _mm_mullo_epi16(r, _mm_set1_epi16(kr)));
    };
    int32_t m = 0;
    for (; m + 4 <= pairs; m += 4, in += 64, out += 16) {
        auto load = [in](int i) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i));
        };
        // Pixels 0 and 2 of each group of four source pixels, in order.
        const __m128i evens01 =
            _mm_unpacklo_epi64(_mm_shuffle_epi32(load(0), 0x08), _mm_shuffle_epi32(load(1), 0x08));
        const __m128i evens23 =
            _mm_unpacklo_epi64(_mm_shuffle_epi32(load(2), 0x08), _mm_shuffle_epi32(load(3), 0x08));
        const __m128i b = channel(evens01, evens23, 0);
        const __m128i g = channel(evens01, evens23, 8);
        const __m128i r = channel(evens01, evens23, 16);
        const __m128i y =
            _mm_add_epi16(_mm_srli_epi16(weighted(b, g, r, 16, 157, 47), 8), _mm_set1_epi16(16));
        const __m128i u =
            _mm_add_epi16(_mm_srai_epi16(weighted(b, g, r, 112, -87, -26), 8), _mm_set1_epi16(128));
        const __m128i v = _mm_add_epi16(_mm_srai_epi16(weighted(b, g, r, -10, -102, 112), 8),
                                        _mm_set1_epi16(128));
        const __m128i chroma = _mm_or_si128(_mm_and_si128(u, uLanes), _mm_andnot_si128(uLanes, v));
        // Each 16-bit lane is written low byte first: chroma then luma, so
        // the four pairs come out as U Y0 V Y1.
        const __m128i packed =
            _mm_or_si128(_mm_and_si128(chroma, _mm_set1_epi16(0xFF)), _mm_slli_epi16(y, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
    }
    return m;
}
#endif

}  // namespace

// On the display link's thread at every tick of a high-density screen: at
// 3840 x 2160 the scalar loop alone took about 5 ms of the 16.7.
void bgraToUYVYHalf(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    const int32_t pairs = width >> 2;
    const size_t srcStride = static_cast<size_t>(width) * 4;
    const size_t dstStride = static_cast<size_t>(pairs) * 4;
    for (int32_t row = 0; row < (height >> 1); ++row) {
        const uint8_t* in = src + static_cast<size_t>(halfSizeSourceRow(row)) * srcStride;
        uint8_t* out = dst + static_cast<size_t>(row) * dstStride;
        int32_t done = 0;
#if defined(__SSE2__)
        done = halfSizePairsSSE2(in, out, pairs);
#endif
        halfSizePairs(in, out, done, pairs);
    }
}

void decimate32Half(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    const int32_t outWidth = width / 2;
    const int32_t outHeight = (height + 1) / 2;
    for (int32_t y = 0; y < outHeight; ++y) {
        const uint8_t* in = src + static_cast<size_t>(2 * y) * width * 4;
        uint8_t* out = dst + static_cast<size_t>(y) * outWidth * 4;
        for (int32_t x = 0; x < outWidth; ++x) memcpy(out + 4 * x, in + 8 * x, 4);
    }
}

int32_t sendTestFrame() {
    constexpr int32_t kWidth = 1920;
    constexpr int32_t kHeight = 1080;
    std::unique_ptr<uint8_t[]> picture(new (std::nothrow) uint8_t[kWidth * kHeight * 4]());
    if (!picture) {
        printf("sendTestFrame: cannot allocate the test picture\n");
        return -1;
    }
    printf("NDIlib_version = %s\n", NDIlib_version());
    sendVideoToNDI(picture.get(), kWidth, kHeight, kPixelTagBGRA, frameRateCode, 1, 1);
    return 0;
}
