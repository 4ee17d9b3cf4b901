// libFuzzer target: the receiver's message parsing. Any byte stream, cut into
// reads of any size, must give only messages whose frame records stay inside
// their payload, or a refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/cut_stream.h"
#include "platform/ndi/wire.h"

namespace {

// Touches every byte a reader of the record would: ASan sees any overrun.
uint32_t readVideo(const NDIlib_video_frame_v2_t& frame) {
    size_t size = static_cast<size_t>(frame.data_size_in_bytes);
    if (!ndiwire::isCompressed(frame.FourCC)) {
        size = static_cast<size_t>(frame.line_stride_in_bytes) * static_cast<size_t>(frame.yres);
    }
    uint32_t sum = 0;
    for (size_t i = 0; frame.p_data != nullptr && i < size; ++i) sum += frame.p_data[i];
    return sum + (ndiwire::isKeyframe(frame.FourCC, frame.p_data, size) ? 1 : 0);
}

uint32_t readAudio(const NDIlib_audio_frame_v2_t& frame) {
    uint32_t sum = 0;
    const auto* base = reinterpret_cast<const uint8_t*>(frame.p_data);
    for (int32_t c = 0; base != nullptr && c < frame.no_channels; ++c) {
        const uint8_t* channel = base + static_cast<size_t>(c) * frame.channel_stride_in_bytes;
        for (size_t i = 0; i < static_cast<size_t>(frame.no_samples) * 4; ++i) sum += channel[i];
    }
    return sum;
}

uint32_t readRecord(const ndiwire::Header& header, uint8_t* payload) {
    switch (header.type) {
        case ndiwire::kVideo: {
            NDIlib_video_frame_v2_t video;
            ndiwire::videoFromMessage(header, payload, &video);
            return readVideo(video);
        }
        case ndiwire::kAudio: {
            NDIlib_audio_frame_v2_t audio;
            ndiwire::audioFromMessage(header, payload, &audio);
            return readAudio(audio);
        }
        case ndiwire::kMetadata: {
            NDIlib_metadata_frame_t text;
            ndiwire::metadataFromMessage(header, payload, &text);
            uint32_t sum = 0;
            for (int32_t i = 0; i < text.length; ++i) sum += static_cast<uint8_t>(text.p_data[i]);
            return sum;
        }
        default:
            return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CutStream stream(data, size);
    ndiwire::MessageReader reader;
    volatile uint32_t sink = 0;
    while (!stream.empty()) {
        size_t room = 0;
        uint8_t* space = reader.space(&room);
        const size_t take = stream.readInto(space, room);
        const char* error = nullptr;
        const auto progress = reader.advance(take, &error);
        if (progress == ndiwire::MessageReader::kFailed) {
            if (error == nullptr) abort();  // every refusal names its reason
            return 0;
        }
        if (progress != ndiwire::MessageReader::kComplete) continue;
        uint8_t* payload = reader.takePayload();
        sink = sink + readRecord(reader.header(), payload);
        free(payload);
    }
    return 0;
}
