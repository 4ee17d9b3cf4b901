#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ndi/wire.h"

using ndiwire::Header;

namespace {

std::vector<uint8_t> packet(uint32_t flags, std::vector<uint8_t> body, uint32_t statedSize) {
    std::vector<uint8_t> bytes(44 + body.size(), 0);
    const uint32_t fields[][2] = {
        {0, 44}, {4, NDIlib_FourCC_type_H264}, {32, flags}, {36, statedSize}};
    for (const auto& f : fields) memcpy(&bytes[f[0]], &f[1], 4);  // host is little-endian
    std::copy(body.begin(), body.end(), bytes.begin() + 44);
    return bytes;
}

const std::vector<uint8_t> kIDR = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65, 0x88};
const std::vector<uint8_t> kInter = {0, 0, 0, 1, 0x41, 0x9a, 0, 0, 1, 0x01, 0x02};

bool keyframe(uint32_t fourCC, const std::vector<uint8_t>& bytes) {
    return ndiwire::isKeyframe(fourCC, bytes.data(), bytes.size());
}

bool decodes(const Header& header, const char** error) {
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(header, bytes);
    Header back;
    return ndiwire::decodeHeader(bytes, &back, error);
}

}  // namespace

TEST(NDIWire, KeyframesAreTakenFromThePacketFlagOrAnIDRSlice) {
    EXPECT_TRUE(keyframe(NDIlib_FourCC_type_H264, packet(1, kInter, kInter.size())));
    EXPECT_TRUE(keyframe(NDIlib_FourCC_type_h264, packet(0, kIDR, kIDR.size())));
    EXPECT_FALSE(keyframe(NDIlib_FourCC_type_H264, packet(0, kInter, kInter.size())));
    EXPECT_TRUE(keyframe(NDIlib_FourCC_type_H264, kIDR));  // bare Annex B
    EXPECT_FALSE(keyframe(NDIlib_FourCC_type_H264, kInter));
    EXPECT_FALSE(keyframe(NDIlib_FourCC_type_H264, {}));
    // A header that claims more bytes than there are is not trusted; the scan
    // of what is there decides.
    EXPECT_FALSE(keyframe(NDIlib_FourCC_type_H264, packet(1, kInter, 4096)));
    EXPECT_TRUE(keyframe(NDIlib_FourCC_type_BGRA, kInter));  // raw pictures stand alone
}

TEST(NDIWire, EveryFieldSurvivesEncoding) {
    Header sent;
    sent.type = ndiwire::kVideo;
    sent.fourCC = NDIlib_FourCC_type_UYVY;
    sent.xres = 4;
    sent.yres = 3;
    sent.strideOrSize = 12;
    sent.dataSize = 36;
    sent.metadataSize = 9;
    sent.frameRateN = 30000;
    sent.frameRateD = 1001;
    sent.aspect = 1.5f;
    sent.frameFormatType = 0;
    sent.timecode = -5;
    sent.timestamp = INT64_MAX;
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(sent, bytes);
    Header back;
    const char* error = nullptr;
    ASSERT_TRUE(ndiwire::decodeHeader(bytes, &back, &error)) << error;
    EXPECT_EQ(back.xres, 4);
    EXPECT_EQ(back.metadataSize, 9u);
    EXPECT_EQ(back.frameRateD, 1001);
    EXPECT_EQ(back.aspect, 1.5f);
    EXPECT_EQ(back.timecode, -5);
    EXPECT_EQ(back.timestamp, INT64_MAX);
    uint8_t again[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(back, again);
    EXPECT_EQ(0, memcmp(bytes, again, sizeof bytes));
}

TEST(NDIWire, HeadersNoSenderOfOursWritesAreRefused) {
    const char* error = nullptr;
    uint8_t garbage[ndiwire::kHeaderSize];
    memset(garbage, 'A', sizeof garbage);
    Header back;
    EXPECT_FALSE(ndiwire::decodeHeader(garbage, &back, &error));

    Header h;
    h.type = 9;
    EXPECT_FALSE(decodes(h, &error));
    h.type = ndiwire::kMetadata;
    h.dataSize = ndiwire::kMaxDataSize + 1;
    EXPECT_FALSE(decodes(h, &error));
    h.dataSize = 3;
    h.metadataSize = 2;
    EXPECT_FALSE(decodes(h, &error));
    h = Header{};
    h.type = ndiwire::kHello;
    h.dataSize = 300;
    EXPECT_FALSE(decodes(h, &error));
    h = Header{};
    h.type = ndiwire::kVideo;
    h.fourCC = NDIlib_FourCC_type_BGRA;
    h.xres = 100000;
    EXPECT_FALSE(decodes(h, &error));
    h.xres = 2;
    h.yres = 2;
    h.strideOrSize = 8;
    h.dataSize = 17;  // one byte more than two rows
    EXPECT_FALSE(decodes(h, &error));
    h.dataSize = 16;
    EXPECT_TRUE(decodes(h, &error)) << error;
}

TEST(NDIWire, OutgoingFramesAreCheckedLikeIncomingOnes) {
    Header h;
    const char* error = nullptr;
    NDIlib_audio_frame_v2_t audio;
    float samples[8] = {};
    audio.p_data = samples;
    audio.no_channels = 2;
    audio.no_samples = 4;
    EXPECT_TRUE(ndiwire::headerForAudio(audio, &h, &error));
    EXPECT_EQ(h.channelStride, 16);
    EXPECT_EQ(h.dataSize, 32u);
    audio.no_samples = INT32_MAX;  // a stride that does not fit the field
    EXPECT_FALSE(ndiwire::headerForAudio(audio, &h, &error));
    audio.no_samples = 4;
    audio.no_channels = -1;
    EXPECT_FALSE(ndiwire::headerForAudio(audio, &h, &error));

    NDIlib_video_frame_v2_t video;
    uint8_t byte = 0;
    video.p_data = &byte;
    video.FourCC = NDIlib_FourCC_type_H264;
    video.data_size_in_bytes = -1;
    EXPECT_FALSE(ndiwire::headerForVideo(video, &h, &error));
    video.data_size_in_bytes = 1;
    EXPECT_TRUE(ndiwire::headerForVideo(video, &h, &error));
    EXPECT_EQ(h.dataSize, 1u);

    char text[] = "abcdef";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    metadata.length = 4;  // only the first three bytes and a NUL are meant
    EXPECT_TRUE(ndiwire::headerForMetadata(metadata, &h, &error));
    EXPECT_EQ(h.dataSize, 3u);
}

namespace {

// Feeds a peer reader bytes cut at every `step`, as a socket may hand them.
ndiwire::PeerReader::Progress feed(ndiwire::PeerReader& reader, const std::vector<uint8_t>& bytes,
                                   size_t step = 7) {
    auto progress = ndiwire::PeerReader::kMore;
    const char* error = nullptr;
    for (size_t at = 0; at < bytes.size();) {
        size_t room = 0;
        uint8_t* space = reader.space(&room);
        const size_t n = std::min({room, step, bytes.size() - at});
        memcpy(space, bytes.data() + at, n);
        at += n;
        progress = reader.advance(n, &error);
        if (progress == ndiwire::PeerReader::kRefused) break;
    }
    return progress;
}

std::vector<uint8_t> encoded(const Header& header, const std::string& data = "") {
    std::vector<uint8_t> bytes(ndiwire::kHeaderSize);
    ndiwire::encodeHeader(header, bytes.data());
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

}  // namespace

// A receiver that reports says so in its hello, and after it may write
// reports alone; older peers still read the hellos of newer ones.
TEST(NDIWire, AfterItsHelloAPeerMayWriteProgressReportsAndNothingElse) {
    Header hello;
    ndiwire::headerForReceiverHello("r", ndiwire::kWantEverything, &hello, true);
    ndiwire::PeerReader reader;
    EXPECT_EQ(feed(reader, encoded(hello, "r")), ndiwire::PeerReader::kGreeted);
    EXPECT_TRUE(reader.reportsProgress());
    EXPECT_EQ(reader.wants(), uint32_t{ndiwire::kWantEverything});
    Header report;
    ndiwire::headerForProgress(12345, &report);
    EXPECT_EQ(feed(reader, encoded(report)), ndiwire::PeerReader::kReported);
    EXPECT_EQ(reader.reported(), 12345u);
    ndiwire::headerForProgress(99999, &report);
    EXPECT_EQ(feed(reader, encoded(report), 80), ndiwire::PeerReader::kReported);
    EXPECT_EQ(reader.reported(), 99999u);
    // A stray byte is refused at once, any other message at its header.
    EXPECT_EQ(feed(reader, {'x'}), ndiwire::PeerReader::kRefused);
    ndiwire::PeerReader second;
    ndiwire::headerForReceiverHello("r", ndiwire::kWantVideo, &hello);
    EXPECT_EQ(feed(second, encoded(hello, "r")), ndiwire::PeerReader::kGreeted);
    EXPECT_FALSE(second.reportsProgress());
    EXPECT_EQ(feed(second, encoded(hello, "r")), ndiwire::PeerReader::kRefused);

    const char* error = nullptr;
    Header sender;
    ndiwire::headerForHello("Source", &sender);
    EXPECT_TRUE(ndiwire::helloHearsProgress(sender));
    EXPECT_TRUE(decodes(sender, &error)) << error;
    report.dataSize = 1;
    EXPECT_FALSE(decodes(report, &error));
}
