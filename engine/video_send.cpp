#include "engine/video_send.h"

#include <cstdio>

#include "common/globals.h"
#include "engine/hx_send.h"
#include "engine/sender.h"
#include "platform/clock/clock.h"
#include "platform/ndi/ndi.h"

TimebaseInfo timebaseInfo;

namespace {

// The compressed path sends the picture twice, under 'H264' and 'h264', so
// receivers of either stream get it.
constexpr int32_t kStreamModeBoth = 2;

constexpr float k16x9 = 16.0f / 9.0f;

struct PixelLayout {
    uint32_t fourCC;
    int32_t bytesPerPixel;  // 0: unknown tag, no data sent
};

PixelLayout layoutOf(uint32_t tag) {
    switch (tag) {
        case kPixelTagBGRA:
        case kPixelTagARGB:
            return {NDIlib_FourCC_type_BGRA, 4};
        case kPixelTagRGBA:
            return {NDIlib_FourCC_type_RGBA, 4};
        case kPixelTag2VUY:
        case kPixelTagYUV2:
            return {NDIlib_FourCC_type_UYVY, 2};
        default:
            return {0, 0};
    }
}

void setPixelLayout(NDIlib_video_frame_v2_t* frame, const uint8_t* pixels, int32_t width,
                    uint32_t tag) {
    const PixelLayout layout = layoutOf(tag);
    frame->FourCC = layout.fourCC;
    frame->line_stride_in_bytes = width * layout.bytesPerPixel;
    // The record's data pointer is writable because receivers fill it; the
    // send side only reads through it.
    frame->p_data = layout.bytesPerPixel != 0 ? const_cast<uint8_t*>(pixels) : nullptr;
}

}  // namespace

uint64_t currentTime100ns() {
    const uint64_t ticks = platform::hostTicks();
    if (timebaseInfo.denom.load(std::memory_order_acquire) == 0) {
        const platform::HostTimebase base = platform::hostTimebase();
        timebaseInfo.numer.store(base.numer, std::memory_order_relaxed);
        timebaseInfo.denom.store(base.denom, std::memory_order_release);
    }
    const uint64_t denom = timebaseInfo.denom.load(std::memory_order_acquire);
    const uint64_t numer = timebaseInfo.numer.load(std::memory_order_relaxed);
    return ticks * numer / (denom * 100);
}

uint64_t frameDurationNs(int32_t frameRateCode) {
    if (frameRateCode < 0 || frameRateCode >= kFrameRateCount) return 0;
    const FrameRate& rate = frameRateTable[frameRateCode];
    return uint64_t(rate.frame_rate_D) * 1'000'000'000u / uint64_t(rate.frame_rate_N);
}

int32_t fillVideoFrame(NDIlib_video_frame_v2_t* frame, const uint8_t* pixels, int32_t width,
                       int32_t height, uint32_t fourcc, int32_t frameRateCode, int32_t aspect16x9,
                       int32_t progressive) {
    if (frameRateCode < 0 || frameRateCode >= kFrameRateCount) {
        printf("sendVideoToNDI: frame rate code %d is not in the table, frame dropped\n",
               frameRateCode);
        return -1;
    }
    if (width < 1 || height < 1 || width > kMaxFrameWidth || height > kMaxFrameHeight) {
        printf("sendVideoToNDI: frame of %d x %d is outside 1 x 1 to %d x %d, frame dropped\n",
               width, height, kMaxFrameWidth, kMaxFrameHeight);
        return -1;
    }
    setPixelLayout(frame, pixels, width, fourcc);
    frame->frame_rate_N = frameRateTable[frameRateCode].frame_rate_N;
    frame->frame_rate_D = frameRateTable[frameRateCode].frame_rate_D;
    frame->picture_aspect_ratio =
        aspect16x9 != 0 ? k16x9 : static_cast<float>(width) / static_cast<float>(height);
    frame->frame_format_type = progressive != 0 ? NDIlib_frame_format_type_progressive
                                                : NDIlib_frame_format_type_interleaved;
    frame->timecode = static_cast<int64_t>(currentTime100ns());
    frame->xres = width;
    frame->yres = height;
    frame->p_metadata = nullptr;
    frame->timestamp = INT64_MAX;
    return 0;
}

int32_t sendVideoToNDI(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                       int32_t frameRateCode, int32_t aspect16x9, int32_t progressive) {
    const bool creates = theNDISender.load(std::memory_order_acquire) == nullptr;
    if (ensureNDISender() == nullptr) return 0;
    // From here to the end of the send the sender cannot go away; one
    // destroyed since ensureNDISender leaves nothing to send with.
    const SenderHold hold;
    NDIlib_send_instance_t sender = hold.sender();
    if (sender == nullptr) return 0;
    // Nobody would see the picture. A receiver that connects later asks the
    // runtime for a keyframe, so skipping pictures here leaves no gap.
    if (!creates && !hold.receiverConnected()) return 0;
    NDIlib_video_frame_v2_t frame;
    if (fillVideoFrame(&frame, pixels, width, height, fourcc, frameRateCode, aspect16x9,
                       progressive) != 0)
        return 0;
    sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &theHXState, kStreamModeBoth);
    return 0;
}
