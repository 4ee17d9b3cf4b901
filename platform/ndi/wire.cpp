#include "platform/ndi/wire.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/little_endian.h"
#include "platform/ndi/packet_header.h"

namespace ndiwire {

namespace {

constexpr uint32_t kBGRX = ndiFourCC('B', 'G', 'R', 'X');
constexpr uint32_t kRGBX = ndiFourCC('R', 'G', 'B', 'X');
constexpr uint32_t kUYVA = ndiFourCC('U', 'Y', 'V', 'A');

// Bytes in one row of packed pixels, 0 for FourCCs we do not lay out.
int64_t packedRowBytes(uint32_t fourCC, int32_t xres) {
    switch (fourCC) {
        case NDIlib_FourCC_type_BGRA:
        case NDIlib_FourCC_type_RGBA:
        case kBGRX:
        case kRGBX:
            return int64_t{xres} * 4;
        case NDIlib_FourCC_type_UYVY:
        case kUYVA:
            return int64_t{xres} * 2;
        default:
            return 0;
    }
}

// Byte count of an uncompressed picture, -1 when the layout is inconsistent.
int64_t uncompressedSize(uint32_t fourCC, int32_t xres, int32_t yres, int32_t stride) {
    if (xres < 0 || yres < 0 || xres > kMaxDimension || yres > kMaxDimension) return -1;
    if (stride < packedRowBytes(fourCC, xres)) return -1;
    int64_t size = int64_t{stride} * yres;
    if (fourCC == kUYVA) size += int64_t{xres} * yres;  // alpha plane after the rows
    return size;
}

bool fail(const char** error, const char* reason) {
    *error = reason;
    return false;
}

bool checkMetadataText(const char* text, Header* header, const char** error) {
    const size_t length = text != nullptr ? strnlen(text, kMaxMetadataSize + 1) : 0;
    if (length > kMaxMetadataSize) return fail(error, "metadata text too long");
    header->metadataSize = static_cast<uint32_t>(length);
    return true;
}

bool checkVideoLayout(const Header& h, const char** error) {
    if (h.xres < 0 || h.yres < 0 || h.xres > kMaxDimension || h.yres > kMaxDimension) {
        return fail(error, "video size out of range");
    }
    if (isCompressed(h.fourCC)) {
        if (h.strideOrSize < 0 || static_cast<uint32_t>(h.strideOrSize) != h.dataSize) {
            return fail(error, "compressed video size mismatch");
        }
        return true;
    }
    const int64_t size = uncompressedSize(h.fourCC, h.xres, h.yres, h.strideOrSize);
    if (size < 0 || size != h.dataSize) return fail(error, "video stride or size mismatch");
    return true;
}

bool checkAudioLayout(const Header& h, const char** error) {
    if (h.channels < 0 || h.channels > kMaxChannels || h.samples < 0 || h.sampleRate < 0) {
        return fail(error, "audio channels, samples or rate out of range");
    }
    if (h.channelStride < 0 || int64_t{h.channelStride} < int64_t{h.samples} * 4) {
        return fail(error, "audio channel stride shorter than its samples");
    }
    if (int64_t{h.channelStride} * h.channels != h.dataSize) {
        return fail(error, "audio size mismatch");
    }
    return true;
}

bool checkDataSize(int64_t size, const void* data, Header* header, const char** error) {
    if (size < 0) return fail(error, "negative or inconsistent frame size");
    if (size > kMaxDataSize) return fail(error, "frame larger than the 64 MiB message cap");
    if (size > 0 && data == nullptr) return fail(error, "frame has a size but no data");
    header->dataSize = static_cast<uint32_t>(size);
    return true;
}

}  // namespace

bool isCompressed(uint32_t fourCC) { return packedRowBytes(fourCC, 1) == 0; }

bool headerForVideo(const NDIlib_video_frame_v2_t& frame, Header* header, const char** error) {
    *header = Header{};
    header->type = kVideo;
    header->fourCC = frame.FourCC;
    header->xres = frame.xres;
    header->yres = frame.yres;
    header->frameRateN = frame.frame_rate_N;
    header->frameRateD = frame.frame_rate_D;
    header->aspect = frame.picture_aspect_ratio;
    header->frameFormatType = frame.frame_format_type;
    header->timecode = frame.timecode;
    header->timestamp = frame.timestamp;
    int64_t size = frame.data_size_in_bytes;
    header->strideOrSize = frame.data_size_in_bytes;
    if (!isCompressed(frame.FourCC)) {
        header->strideOrSize = frame.line_stride_in_bytes != 0
                                   ? frame.line_stride_in_bytes
                                   : static_cast<int32_t>(packedRowBytes(frame.FourCC, frame.xres));
        size = uncompressedSize(frame.FourCC, frame.xres, frame.yres, header->strideOrSize);
    }
    return checkDataSize(size, frame.p_data, header, error) && checkVideoLayout(*header, error) &&
           checkMetadataText(frame.p_metadata, header, error);
}

bool headerForAudio(const NDIlib_audio_frame_v2_t& frame, Header* header, const char** error) {
    *header = Header{};
    header->type = kAudio;
    header->sampleRate = frame.sample_rate;
    header->channels = frame.no_channels;
    header->samples = frame.no_samples;
    // A stride too large for the field fails the layout check below.
    const int64_t stride = frame.channel_stride_in_bytes != 0 ? frame.channel_stride_in_bytes
                                                              : int64_t{frame.no_samples} * 4;
    header->channelStride = static_cast<int32_t>(stride > INT32_MAX ? -1 : stride);
    header->timecode = frame.timecode;
    header->timestamp = frame.timestamp;
    const int64_t size =
        frame.no_channels < 0 ? -1 : int64_t{header->channelStride} * frame.no_channels;
    return checkDataSize(size, frame.p_data, header, error) && checkAudioLayout(*header, error) &&
           checkMetadataText(frame.p_metadata, header, error);
}

bool headerForMetadata(const NDIlib_metadata_frame_t& frame, Header* header, const char** error) {
    *header = Header{};
    header->type = kMetadata;
    header->timecode = frame.timecode;
    // length counts the NUL; 0 or less asks us to find the end ourselves.
    const size_t limit =
        frame.length > 0 ? static_cast<size_t>(frame.length) - 1 : kMaxDataSize + 1u;
    const int64_t size = frame.p_data != nullptr ? strnlen(frame.p_data, limit) : 0;
    return checkDataSize(size, frame.p_data, header, error);
}

namespace {

void helloHeader(uint32_t type, const char* name, Header* header) {
    *header = Header{};
    header->type = type;
    header->fourCC = kProtocolVersion;
    header->dataSize = static_cast<uint32_t>(strnlen(name != nullptr ? name : "", kMaxNameSize));
}

bool checkHello(const Header& h, const char** error) {
    if (h.dataSize > kMaxNameSize || h.metadataSize != 0) return fail(error, "bad hello message");
    if (h.fourCC != kProtocolVersion) return fail(error, "hello of another protocol version");
    if (h.type == kReceiverHello && (helloWants(h) & ~uint32_t{kWantEverything}) != 0) {
        return fail(error, "hello asks for unknown kinds of frames");
    }
    return true;
}

}  // namespace

void headerForHello(const char* sourceName, Header* header) {
    helloHeader(kHello, sourceName, header);
    header->xres = kHearsProgress;
}

void headerForReceiverHello(const char* receiverName, uint32_t wants, Header* header,
                            bool reportsProgress) {
    helloHeader(kReceiverHello, receiverName, header);
    header->xres = static_cast<int32_t>(wants & kWantEverything);
    header->yres = reportsProgress ? kReportsProgress : 0;
}

void headerForProgress(uint64_t bytesRead, Header* header) {
    *header = Header{};
    header->type = kProgress;
    header->timecode = static_cast<int64_t>(std::min<uint64_t>(bytesRead, INT64_MAX));
}

void encodeHeader(const Header& h, uint8_t out[kHeaderSize]) {
    uint32_t aspectBits = 0;
    memcpy(&aspectBits, &h.aspect, 4);
    putLE32(out + 0, kMagic);
    putLE32(out + 4, h.type);
    putLE32(out + 8, h.dataSize);
    putLE32(out + 12, h.metadataSize);
    putLE32(out + 16, h.fourCC);
    putLE32(out + 20, static_cast<uint32_t>(h.xres));
    putLE32(out + 24, static_cast<uint32_t>(h.yres));
    putLE32(out + 28, static_cast<uint32_t>(h.frameRateN));
    putLE32(out + 32, static_cast<uint32_t>(h.frameRateD));
    putLE32(out + 36, aspectBits);
    putLE32(out + 40, static_cast<uint32_t>(h.frameFormatType));
    putLE32(out + 44, static_cast<uint32_t>(h.strideOrSize));
    putLE64(out + 48, static_cast<uint64_t>(h.timecode));
    putLE64(out + 56, static_cast<uint64_t>(h.timestamp));
    putLE32(out + 64, static_cast<uint32_t>(h.sampleRate));
    putLE32(out + 68, static_cast<uint32_t>(h.channels));
    putLE32(out + 72, static_cast<uint32_t>(h.samples));
    putLE32(out + 76, static_cast<uint32_t>(h.channelStride));
}

bool decodeHeader(const uint8_t in[kHeaderSize], Header* h, const char** error) {
    if (getLE32(in) != kMagic) return fail(error, "not a message of ours (bad magic)");
    *h = Header{};
    h->type = getLE32(in + 4);
    h->dataSize = getLE32(in + 8);
    h->metadataSize = getLE32(in + 12);
    h->fourCC = getLE32(in + 16);
    h->xres = static_cast<int32_t>(getLE32(in + 20));
    h->yres = static_cast<int32_t>(getLE32(in + 24));
    h->frameRateN = static_cast<int32_t>(getLE32(in + 28));
    h->frameRateD = static_cast<int32_t>(getLE32(in + 32));
    const uint32_t aspectBits = getLE32(in + 36);
    memcpy(&h->aspect, &aspectBits, 4);
    h->frameFormatType = static_cast<int32_t>(getLE32(in + 40));
    h->strideOrSize = static_cast<int32_t>(getLE32(in + 44));
    h->timecode = static_cast<int64_t>(getLE64(in + 48));
    h->timestamp = static_cast<int64_t>(getLE64(in + 56));
    h->sampleRate = static_cast<int32_t>(getLE32(in + 64));
    h->channels = static_cast<int32_t>(getLE32(in + 68));
    h->samples = static_cast<int32_t>(getLE32(in + 72));
    h->channelStride = static_cast<int32_t>(getLE32(in + 76));
    if (h->dataSize > kMaxDataSize) return fail(error, "data size over the 64 MiB cap");
    if (h->metadataSize > kMaxMetadataSize) return fail(error, "metadata size over the cap");
    switch (h->type) {
        case kVideo:
            return checkVideoLayout(*h, error);
        case kAudio:
            return checkAudioLayout(*h, error);
        case kMetadata:
            return h->metadataSize == 0 || fail(error, "metadata message with extra text");
        case kHello:
        case kReceiverHello:
            return checkHello(*h, error);
        case kProgress:
            if (h->dataSize != 0 || h->metadataSize != 0 || h->timecode < 0) {
                return fail(error, "bad progress report");
            }
            return true;
        default:
            return fail(error, "unknown message type");
    }
}

namespace {

// The metadata text rides behind the data, NUL-terminated by the allocation.
const char* metadataText(const Header& h, uint8_t* payload) {
    return h.metadataSize > 0 ? reinterpret_cast<char*>(payload + h.dataSize) : nullptr;
}

}  // namespace

void videoFromMessage(const Header& h, uint8_t* payload, NDIlib_video_frame_v2_t* frame) {
    frame->xres = h.xres;
    frame->yres = h.yres;
    frame->FourCC = h.fourCC;
    frame->frame_rate_N = h.frameRateN;
    frame->frame_rate_D = h.frameRateD;
    frame->picture_aspect_ratio = h.aspect;
    frame->frame_format_type = h.frameFormatType;
    frame->timecode = h.timecode;
    frame->line_stride_in_bytes = h.strideOrSize;
    frame->timestamp = h.timestamp;
    frame->p_data = h.dataSize > 0 ? payload : nullptr;
    frame->p_metadata = metadataText(h, payload);
}

void audioFromMessage(const Header& h, uint8_t* payload, NDIlib_audio_frame_v2_t* frame) {
    frame->sample_rate = h.sampleRate;
    frame->no_channels = h.channels;
    frame->no_samples = h.samples;
    frame->timecode = h.timecode;
    frame->channel_stride_in_bytes = h.channelStride;
    frame->timestamp = h.timestamp;
    frame->p_data = h.dataSize > 0 ? reinterpret_cast<float*>(payload) : nullptr;
    frame->p_metadata = metadataText(h, payload);
}

void metadataFromMessage(const Header& h, uint8_t* payload, NDIlib_metadata_frame_t* frame) {
    frame->length = static_cast<int32_t>(h.dataSize) + 1;
    frame->timecode = h.timecode;
    frame->p_data = reinterpret_cast<char*>(payload);
}

MessageReader::~MessageReader() { free(payload_); }

uint8_t* MessageReader::space(size_t* room) {
    if (headerReady_) {
        *room = payloadSize_ - payloadHave_;
        return payload_ + payloadHave_;
    }
    *room = kHeaderSize - headerHave_;
    return headerBytes_ + headerHave_;
}

MessageReader::Progress MessageReader::advance(size_t got, const char** error) {
    if (headerReady_) {
        payloadHave_ += got;
        return payloadHave_ == payloadSize_ ? kComplete : kMore;
    }
    headerHave_ += got;
    if (headerHave_ < kHeaderSize) return kMore;
    if (!decodeHeader(headerBytes_, &header_, error)) return kFailed;
    payloadSize_ = size_t{header_.dataSize} + header_.metadataSize;
    payloadHave_ = 0;
    payload_ = static_cast<uint8_t*>(malloc(payloadSize_ + 1));
    if (payload_ == nullptr) {
        *error = "no memory for the message";
        return kFailed;
    }
    payload_[payloadSize_] = 0;
    headerReady_ = true;
    return payloadSize_ == 0 ? kComplete : kMore;
}

uint8_t* MessageReader::takePayload() {
    uint8_t* payload = payload_;
    payload_ = nullptr;
    headerReady_ = false;
    headerHave_ = 0;
    return payload;
}

uint8_t* PeerReader::space(size_t* room) {
    if (greeted_) {
        *room = kHeaderSize - reportHave_;
        return report_ + reportHave_;
    }
    const size_t whole = headerRead_ ? kHeaderSize + header_.dataSize : kHeaderSize;
    *room = whole - have_;
    return bytes_ + have_;
}

PeerReader::Progress PeerReader::advanceReport(size_t got, const char** error) {
    // Anything but a report is refused at its first byte that cannot begin one.
    uint8_t magic[4];
    putLE32(magic, kMagic);
    for (size_t i = reportHave_; i < reportHave_ + got && i < sizeof magic; ++i) {
        if (report_[i] != magic[i]) {
            fail(error, "sent data after its hello");
            return kRefused;
        }
    }
    reportHave_ += got;
    if (reportHave_ < kHeaderSize) return kMore;
    reportHave_ = 0;
    Header report;
    if (!decodeHeader(report_, &report, error)) return kRefused;
    if (report.type != kProgress) {
        fail(error, "sent a message other than a progress report after its hello");
        return kRefused;
    }
    reported_ = static_cast<uint64_t>(report.timecode);
    return kReported;
}

PeerReader::Progress PeerReader::advance(size_t got, const char** error) {
    if (greeted_) return advanceReport(got, error);
    have_ += got;
    if (have_ < kHeaderSize) return kMore;
    if (!headerRead_) {
        if (!decodeHeader(bytes_, &header_, error)) return kRefused;
        if (header_.type != kReceiverHello) {
            fail(error, "sent another message before its hello");
            return kRefused;
        }
        headerRead_ = true;
    }
    if (have_ < kHeaderSize + header_.dataSize) return kMore;
    bytes_[have_] = 0;
    greeted_ = true;
    return kGreeted;
}

namespace {

// An H.264 IDR slice (NAL type 5) after any 00 00 01 start code.
bool containsIDR(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1F) == 5) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool isKeyframe(uint32_t fourCC, const uint8_t* data, size_t size) {
    if (fourCC != NDIlib_FourCC_type_H264 && fourCC != NDIlib_FourCC_type_h264) {
        return true;  // raw pictures stand alone; other codecs we cannot look into
    }
    if (data == nullptr) return false;
    HXPacketHeader header;
    if (decodeHXPacketHeader(data, size, &header) && header.headerSize == kHXPacketHeaderSize &&
        header.codec == kHXCodecH264 && header.dataSize <= size - kHXPacketHeaderSize) {
        const uint8_t* payload = data + kHXPacketHeaderSize;
        return (header.flags & 1) != 0 || containsIDR(payload, header.dataSize);
    }
    return containsIDR(data, size);
}

}  // namespace ndiwire
