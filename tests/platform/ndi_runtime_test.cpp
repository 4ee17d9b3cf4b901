#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ndi/link.h"
#include "platform/ndi/ndi.h"
#include "platform/ndi/room.h"
#include "platform/ndi/wire.h"
#include "tests/platform/ndi_loopback.h"

using namespace nditest;

namespace {

// A compressed packet as the engine builds it: 44-byte header, then Annex B.
std::vector<uint8_t> h264Packet(bool keyframe) {
    const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65, 0x88, 0x84};
    const std::vector<uint8_t> inter = {0, 0, 0, 1, 0x41, 0x9a, 0x02, 0x03};
    const std::vector<uint8_t>& body = keyframe ? idr : inter;
    std::vector<uint8_t> packet(44 + body.size(), 0);
    auto put32 = [&](size_t at, uint32_t v) { memcpy(&packet[at], &v, 4); };  // host is LE
    put32(0, 44);
    put32(4, NDIlib_FourCC_type_H264);
    put32(32, keyframe ? 1 : 0);
    put32(36, static_cast<uint32_t>(body.size()));
    std::copy(body.begin(), body.end(), packet.begin() + 44);
    return packet;
}

NDIlib_video_frame_v2_t compressedFrame(std::vector<uint8_t>& packet, uint32_t fourCC) {
    NDIlib_video_frame_v2_t frame;
    frame.xres = 1920;
    frame.yres = 1080;
    frame.FourCC = fourCC;
    frame.frame_rate_N = 60;
    frame.frame_rate_D = 1;
    frame.picture_aspect_ratio = 16.0f / 9.0f;
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.timecode = 123456789;
    frame.p_data = packet.data();
    frame.data_size_in_bytes = static_cast<int32_t>(packet.size());
    frame.timestamp = INT64_MAX;
    return frame;
}

NDIlib_video_frame_v2_t probe(uint32_t fourCC) {
    NDIlib_video_frame_v2_t frame;
    frame.FourCC = fourCC;
    frame.timecode = INT64_MAX;
    return frame;
}

class NDILoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        sender = makeSender();
        ASSERT_NE(sender, nullptr);
        receiver = makeReceiver(addressOf(sender));
        ASSERT_NE(receiver, nullptr);
        ASSERT_TRUE(waitForConnections(sender, 1));
    }
    void TearDown() override {
        NDIlib_recv_destroy(receiver);
        NDIlib_send_destroy(sender);
    }
    NDIlib_send_instance_t sender = nullptr;
    NDIlib_recv_instance_t receiver = nullptr;
};

}  // namespace

TEST_F(NDILoopback, FramesArriveWithTheirFieldsAndBytes) {
    EXPECT_STREQ(NDIlib_recv_get_source_name(receiver), "Test Source");
    std::vector<uint8_t> packet = h264Packet(true);
    NDIlib_video_frame_v2_t sent = compressedFrame(packet, NDIlib_FourCC_type_H264);
    NDIlib_send_send_video_v2(sender, &sent);

    std::vector<float> samples(2 * 480);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i) * 0.001f - 0.3f;
    NDIlib_audio_frame_v2_t audio;
    audio.sample_rate = 44100;
    audio.no_channels = 2;
    audio.no_samples = 480;
    audio.timecode = 42;
    audio.p_data = samples.data();
    audio.channel_stride_in_bytes = 480 * 4;
    audio.timestamp = INT64_MAX;
    NDIlib_send_send_audio_v2(sender, &audio);

    char text[] = "<ndi_tally on_program=\"true\"/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    metadata.timecode = 7;
    NDIlib_send_send_metadata(sender, &metadata);

    // Audio and metadata may overtake video; each kind keeps its own order.
    NDIlib_video_frame_v2_t video;
    NDIlib_audio_frame_v2_t got;
    NDIlib_metadata_frame_t gotText;
    int kinds = 0;
    for (int i = 0; i < 3; ++i) {
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(receiver, &video, &got, &gotText, 5000);
        kinds |= 1 << type;
        if (type == NDIlib_frame_type_video) {
            EXPECT_EQ(video.xres, 1920);
            EXPECT_EQ(video.yres, 1080);
            EXPECT_EQ(video.FourCC, NDIlib_FourCC_type_H264);
            EXPECT_EQ(video.frame_rate_N, 60);
            EXPECT_EQ(video.frame_rate_D, 1);
            EXPECT_FLOAT_EQ(video.picture_aspect_ratio, 16.0f / 9.0f);
            EXPECT_EQ(video.frame_format_type, 1);
            EXPECT_EQ(video.timecode, 123456789);
            EXPECT_EQ(video.timestamp, INT64_MAX);
            EXPECT_EQ(video.p_metadata, nullptr);
            EXPECT_EQ(video.data_size_in_bytes, static_cast<int32_t>(packet.size()));
            EXPECT_EQ(0, memcmp(video.p_data, packet.data(), packet.size()));
            NDIlib_recv_free_video_v2(receiver, &video);
        } else if (type == NDIlib_frame_type_audio) {
            EXPECT_EQ(got.sample_rate, 44100);
            EXPECT_EQ(got.no_channels, 2);
            EXPECT_EQ(got.no_samples, 480);
            EXPECT_EQ(got.channel_stride_in_bytes, 480 * 4);
            EXPECT_EQ(got.timecode, 42);
            EXPECT_EQ(0, memcmp(got.p_data, samples.data(), samples.size() * 4));
            NDIlib_recv_free_audio_v2(receiver, &got);
        } else if (type == NDIlib_frame_type_metadata) {
            EXPECT_STREQ(gotText.p_data, text);
            EXPECT_EQ(gotText.length, static_cast<int32_t>(sizeof text));
            EXPECT_EQ(gotText.timecode, 7);
            NDIlib_recv_free_metadata(receiver, &gotText);
        }
    }
    EXPECT_EQ(kinds, 1 << 1 | 1 << 2 | 1 << 3);
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, &video, &got, &gotText, 20), NDIlib_frame_type_none);
}

TEST_F(NDILoopback, UncompressedRowsTravelWithTheirStrideAndMetadata) {
    // 3 x 2 BGRA with 4 bytes of padding per row.
    std::vector<uint8_t> pixels(16 * 2);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7);
    char note[] = "<note/>";
    NDIlib_video_frame_v2_t frame;
    frame.xres = 3;
    frame.yres = 2;
    frame.FourCC = NDIlib_FourCC_type_BGRA;
    frame.p_data = pixels.data();
    frame.line_stride_in_bytes = 16;
    frame.p_metadata = note;
    NDIlib_send_send_video_v2(sender, &frame);

    NDIlib_video_frame_v2_t got;
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &got, nullptr, nullptr, 5000),
              NDIlib_frame_type_video);
    EXPECT_EQ(got.line_stride_in_bytes, 16);
    EXPECT_EQ(0, memcmp(got.p_data, pixels.data(), pixels.size()));
    EXPECT_STREQ(got.p_metadata, note);
    NDIlib_recv_free_video_v2(receiver, &got);

    // Stride 0 means packed rows: 3 x 4 bytes each.
    frame.line_stride_in_bytes = 0;
    frame.p_metadata = nullptr;
    NDIlib_send_send_video_v2(sender, &frame);
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &got, nullptr, nullptr, 5000),
              NDIlib_frame_type_video);
    EXPECT_EQ(got.line_stride_in_bytes, 12);
    EXPECT_EQ(0, memcmp(got.p_data, pixels.data(), 24));
    NDIlib_recv_free_video_v2(receiver, &got);
}

TEST_F(NDILoopback, FramesThatCannotBeLaidOutAreNotSent) {
    testing::internal::CaptureStderr();
    NDIlib_video_frame_v2_t frame;
    frame.xres = 640;
    frame.yres = 480;
    frame.FourCC = NDIlib_FourCC_type_BGRA;
    frame.line_stride_in_bytes = 640 * 4;  // but no pixels
    NDIlib_send_send_video_v2(sender, &frame);
    uint8_t byte = 0;
    frame.p_data = &byte;
    frame.line_stride_in_bytes = 100;  // shorter than a row
    NDIlib_send_send_video_v2(sender, &frame);
    NDIlib_audio_frame_v2_t audio;
    float sample = 0;
    audio.p_data = &sample;
    audio.no_samples = 100;
    audio.channel_stride_in_bytes = 4;  // shorter than its samples
    NDIlib_send_send_audio_v2(sender, &audio);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("video frame not sent"), std::string::npos);
    EXPECT_NE(errors.find("audio frame not sent"), std::string::npos);
    NDIlib_video_frame_v2_t got;
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, &got, nullptr, nullptr, 50), NDIlib_frame_type_none);
    EXPECT_EQ(NDIlib_send_get_no_connections(sender, 0), 1);
}

TEST_F(NDILoopback, TwoReceiversBothGetEveryFrame) {
    NDIlib_recv_instance_t second = makeReceiver(addressOf(sender));
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(waitForConnections(sender, 2));
    for (int i = 0; i < 10; ++i) {
        std::vector<uint8_t> packet = h264Packet(i == 0);
        NDIlib_video_frame_v2_t frame = compressedFrame(packet, NDIlib_FourCC_type_H264);
        frame.timecode = i;
        NDIlib_send_send_video_v2(sender, &frame);
        for (NDIlib_recv_instance_t r : {receiver, second}) {
            NDIlib_video_frame_v2_t got;
            ASSERT_EQ(NDIlib_recv_capture_v2(r, &got, nullptr, nullptr, 5000),
                      NDIlib_frame_type_video);
            EXPECT_EQ(got.timecode, i);
            NDIlib_recv_free_video_v2(r, &got);
        }
    }
    NDIlib_recv_destroy(second);
}

TEST_F(NDILoopback, KeyframeRequiredUntilOneOfThatFourCCWasSent) {
    NDIlib_video_frame_v2_t upper = probe(NDIlib_FourCC_type_H264);
    NDIlib_video_frame_v2_t lower = probe(NDIlib_FourCC_type_h264);
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender, &upper));
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender, &lower));

    std::vector<uint8_t> inter = h264Packet(false);
    NDIlib_video_frame_v2_t frame = compressedFrame(inter, NDIlib_FourCC_type_H264);
    frame.timecode = 1;
    NDIlib_send_send_video_v2(sender, &frame);
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender, &upper));

    std::vector<uint8_t> key = h264Packet(true);
    frame = compressedFrame(key, NDIlib_FourCC_type_H264);
    frame.timecode = 2;
    NDIlib_send_send_video_v2(sender, &frame);
    EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender, &upper));
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender, &lower));
    // A clean start: the picture before the keyframe never reached the receiver.
    NDIlib_video_frame_v2_t got;
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &got, nullptr, nullptr, 5000),
              NDIlib_frame_type_video);
    EXPECT_EQ(got.timecode, 2);
    NDIlib_recv_free_video_v2(receiver, &got);

    // A newcomer needs its own keyframe.
    NDIlib_recv_instance_t late = makeReceiver(addressOf(sender));
    ASSERT_NE(late, nullptr);
    ASSERT_TRUE(waitForConnections(sender, 2));
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender, &upper));
    NDIlib_recv_destroy(late);
    ASSERT_TRUE(waitForConnections(sender, 1));
    EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender, &upper));
}

TEST_F(NDILoopback, AReceiverThatWantsNoVideoGetsNoneAndAsksForNoKeyframe) {
    NDIlib_recv_destroy(receiver);
    ASSERT_TRUE(waitForConnections(sender, 0));
    NDIlib_recv_create_v3_t create;
    const std::string address = addressOf(sender);
    create.source_to_connect_to.p_url_address = address.c_str();
    create.bandwidth = NDIlib_recv_bandwidth_audio_only;
    receiver = NDIlib_recv_create_v4(&create, nullptr);
    ASSERT_NE(receiver, nullptr);
    ASSERT_TRUE(waitForConnections(sender, 1));
    NDIlib_video_frame_v2_t upper = probe(NDIlib_FourCC_type_H264);
    EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender, &upper));
    std::vector<uint8_t> key = h264Packet(true);
    NDIlib_video_frame_v2_t frame = compressedFrame(key, NDIlib_FourCC_type_H264);
    NDIlib_send_send_video_v2(sender, &frame);
    char text[] = "<after/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    NDIlib_send_send_metadata(sender, &metadata);
    NDIlib_video_frame_v2_t video;
    NDIlib_metadata_frame_t got;
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, &video, nullptr, &got, 5000),
              NDIlib_frame_type_metadata);
    NDIlib_recv_free_metadata(receiver, &got);
}

TEST(NDIRuntime, NoReceiverNeedsNoKeyframe) {
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    NDIlib_video_frame_v2_t upper = probe(NDIlib_FourCC_type_H264);
    EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender, &upper));
    NDIlib_send_destroy(sender);
}

TEST_F(NDILoopback, PeersSendingGarbageAreDropped) {
    testing::internal::CaptureStderr();
    const int stranger = rawConnect(NDIlib_send_get_port(sender));
    ASSERT_GE(stranger, 0);
    ASSERT_EQ(write(stranger, "GET / HTTP/1.0\r\n\r\n", 18), 18);
    EXPECT_TRUE(waitForClose(stranger));
    close(stranger);
    // A receiver talking after its hello goes too.
    const int chatty = rawReceiver(NDIlib_send_get_port(sender));
    ASSERT_GE(chatty, 0);
    ASSERT_TRUE(waitForConnections(sender, 2));
    ASSERT_EQ(write(chatty, "x", 1), 1);
    ASSERT_TRUE(waitForConnections(sender, 1));
    EXPECT_TRUE(waitForClose(chatty));
    close(chatty);
    // So does one that says it read more than it was sent.
    const int liar = rawReceiver(NDIlib_send_get_port(sender));
    ASSERT_GE(liar, 0);
    ASSERT_TRUE(waitForConnections(sender, 2));
    ndiwire::Header report;
    ndiwire::headerForProgress(uint64_t{1} << 40, &report);
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(report, bytes);
    ASSERT_EQ(write(liar, bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
    ASSERT_TRUE(waitForConnections(sender, 1));
    EXPECT_TRUE(waitForClose(liar));
    close(liar);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("reported reading more than it was sent"), std::string::npos) << errors;
    EXPECT_NE(errors.find("dropped peer 127.0.0.1:"), std::string::npos) << errors;
    EXPECT_NE(errors.find("dropped receiver \"raw\" at 127.0.0.1:"), std::string::npos) << errors;

    // The well-behaved receiver is unharmed.
    char text[] = "<still-here/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    NDIlib_send_send_metadata(sender, &metadata);
    NDIlib_metadata_frame_t got;
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, &got, 5000),
              NDIlib_frame_type_metadata);
    EXPECT_STREQ(got.p_data, text);
    NDIlib_recv_free_metadata(receiver, &got);
}

TEST_F(NDILoopback, ReceiverThatHangsUpIsForgotten) {
    NDIlib_recv_destroy(receiver);
    receiver = nullptr;
    ASSERT_TRUE(waitForConnections(sender, 0));
    std::vector<uint8_t> packet = h264Packet(true);
    NDIlib_video_frame_v2_t frame = compressedFrame(packet, NDIlib_FourCC_type_H264);
    NDIlib_send_send_video_v2(sender, &frame);  // nobody to send to, nothing breaks
}

namespace {

// A fake sender on a free loopback port that greets one receiver and then
// writes whatever the test gives it.
class FakeSender {
  public:
    FakeSender() {
        listenFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listenFd, 1);
        socklen_t length = sizeof address;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~FakeSender() {
        if (peer >= 0) close(peer);
        close(listenFd);
    }
    // Accepts the receiver (already queued by its connect) and greets it as
    // a sender that does not hear progress reports.
    void acceptAndGreet() {
        peer = accept(listenFd, nullptr, nullptr);
        ndiwire::Header hello;
        ndiwire::headerForHello("Fake", &hello);
        hello.xres = 0;
        writeHeader(hello);
        ASSERT_EQ(write(peer, "Fake", 4), 4);
    }
    void writeHeader(const ndiwire::Header& header) {
        uint8_t bytes[ndiwire::kHeaderSize];
        ndiwire::encodeHeader(header, bytes);
        ASSERT_EQ(write(peer, bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
    }
    int listenFd = -1;
    int peer = -1;
    int port = 0;
};

// Connects a receiver to the fake sender; the connect completes against the
// listen backlog, and the greeting arrives while the receiver waits for it.
NDIlib_recv_instance_t connectToFake(FakeSender& fake) {
    NDIlib_recv_instance_t receiver = nullptr;
    std::thread greeter([&] { fake.acceptAndGreet(); });
    receiver = makeReceiver("127.0.0.1:" + std::to_string(fake.port));
    greeter.join();
    return receiver;
}

}  // namespace

// A header reaching a receiver must be refused with a diagnostic, and the
// connection stays refused.
void expectRefused(const ndiwire::Header& header) {
    FakeSender fake;
    NDIlib_recv_instance_t receiver = connectToFake(fake);
    ASSERT_NE(receiver, nullptr);
    fake.writeHeader(header);
    testing::internal::CaptureStderr();
    NDIlib_video_frame_v2_t video;
    NDIlib_audio_frame_v2_t audio;
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, &video, &audio, nullptr, 5000),
              NDIlib_frame_type_error);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("refused message"), std::string::npos);
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, &video, &audio, nullptr, 0),
              NDIlib_frame_type_error);
    NDIlib_recv_destroy(receiver);
}

TEST(NDIReceiver, AbsurdSizesAreRefusedWithADiagnostic) {
    ndiwire::Header huge;
    huge.type = ndiwire::kVideo;
    huge.fourCC = NDIlib_FourCC_type_H264;
    huge.dataSize = 0xFFFFFFF0u;
    huge.strideOrSize = -16;
    expectRefused(huge);
}

TEST(NDIReceiver, SizesThatDisagreeWithTheLayoutAreRefused) {
    ndiwire::Header audio;
    audio.type = ndiwire::kAudio;
    audio.channels = 2;
    audio.samples = 1000;
    audio.channelStride = 16;  // a reader walking 1000 samples would overrun
    audio.dataSize = 32;
    expectRefused(audio);
}

TEST(NDIReceiver, AMessageSplitAcrossCapturesIsPutTogether) {
    FakeSender fake;
    NDIlib_recv_instance_t receiver = connectToFake(fake);
    ASSERT_NE(receiver, nullptr);
    ndiwire::Header text;
    text.type = ndiwire::kMetadata;
    text.dataSize = 5;
    uint8_t bytes[ndiwire::kHeaderSize];
    ndiwire::encodeHeader(text, bytes);
    ASSERT_EQ(write(fake.peer, bytes, 30), 30);
    NDIlib_metadata_frame_t got;
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, &got, 30), NDIlib_frame_type_none);
    ASSERT_EQ(write(fake.peer, bytes + 30, sizeof bytes - 30),
              static_cast<ssize_t>(sizeof bytes - 30));
    ASSERT_EQ(write(fake.peer, "ab", 2), 2);
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, &got, 30), NDIlib_frame_type_none);
    ASSERT_EQ(write(fake.peer, "cde", 3), 3);
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, &got, 5000),
              NDIlib_frame_type_metadata);
    EXPECT_STREQ(got.p_data, "abcde");
    NDIlib_recv_free_metadata(receiver, &got);
    // To a sender that does not hear them, the receiver writes no report:
    // its hello is all it ever says.
    uint8_t said[2 * ndiwire::kHeaderSize];
    EXPECT_EQ(recv(fake.peer, said, sizeof said, MSG_DONTWAIT),
              static_cast<ssize_t>(ndiwire::kHeaderSize));
    NDIlib_recv_destroy(receiver);
}

TEST(NDIReceiver, APeerThatIsNotASenderIsRefused) {
    FakeSender fake;
    std::thread silent([&] { fake.peer = accept(fake.listenFd, nullptr, nullptr); });
    testing::internal::CaptureStderr();
    NDIlib_recv_instance_t receiver = makeReceiver("127.0.0.1:" + std::to_string(fake.port));
    silent.join();
    EXPECT_EQ(receiver, nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("did not greet"), std::string::npos);
    EXPECT_EQ(makeReceiver("no-port-here"), nullptr);
}

TEST(NDIRuntime, SenderAnnouncesItsNameAndPort) {
    testing::internal::CaptureStdout();
    NDIlib_send_instance_t sender = makeSender("Announced");
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(out, "NDI source \"Announced\" on TCP port " +
                       std::to_string(NDIlib_send_get_port(sender)) + "\n");
    NDIlib_send_destroy(sender);
}

TEST(NDIRuntime, InitializeReportsFalseWhenDisabled) {
    EXPECT_TRUE(NDIlib_initialize());
    ASSERT_EQ(setenv("NDI_RUNTIME_DISABLED", "1", 1), 0);
    EXPECT_FALSE(NDIlib_initialize());
    ASSERT_EQ(setenv("NDI_RUNTIME_DISABLED", "0", 1), 0);
    EXPECT_TRUE(NDIlib_initialize());
    EXPECT_NE(std::string(NDIlib_version()), "");
}

TEST(NDIRuntime, WithoutABindAddressEveryInterfaceListens) {
    ASSERT_EQ(unsetenv("NDI_BIND"), 0);
    NDIlib_send_instance_t sender = makeSender();
    ASSERT_NE(sender, nullptr);
    const std::string port = std::to_string(NDIlib_send_get_port(sender));
    NDIlib_recv_instance_t overIPv4 = makeReceiver("127.0.0.1:" + port);
    EXPECT_NE(overIPv4, nullptr);
    NDIlib_recv_destroy(overIPv4);
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    if (probe >= 0) {
        close(probe);
        NDIlib_recv_instance_t overIPv6 = makeReceiver("[::1]:" + port);
        EXPECT_NE(overIPv6, nullptr);
        NDIlib_recv_destroy(overIPv6);
    }
    NDIlib_send_destroy(sender);
}

TEST(NDIRuntime, AnUnreadablePortSettingFallsBackWithADiagnostic) {
    ASSERT_EQ(setenv("NDI_PORT", "70000", 1), 0);
    ASSERT_EQ(setenv("NDI_BIND", "no such host.invalid", 1), 0);  // so nothing really listens
    testing::internal::CaptureStderr();
    EXPECT_EQ(makeSender(), nullptr);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("ignoring NDI_PORT=\"70000\""), std::string::npos);
    EXPECT_NE(errors.find("cannot resolve listen address"), std::string::npos);
}

TEST(NDIRuntime, NoPortAtAllFailsOnceThenQuietlyUntilTheRequestChanges) {
    ASSERT_EQ(setenv("NDI_PORT", "0", 1), 0);
    ASSERT_EQ(setenv("NDI_BIND", "no such host.invalid", 1), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(makeSender(), nullptr);
    EXPECT_EQ(makeSender(), nullptr);  // callers retry every frame
    EXPECT_EQ(makeSender(), nullptr);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "ndi: cannot resolve listen address \"no such host.invalid\"\n");
    ASSERT_EQ(setenv("NDI_BIND", "127.0.0.1", 1), 0);
    NDIlib_send_instance_t sender = makeSender();
    EXPECT_NE(sender, nullptr);
    NDIlib_send_destroy(sender);
}

TEST(NDILink, AReceiverThatFallsBehindLosesWholeVideoMessagesUpToAKeyframe) {
    using namespace ndilink;
    ndiwire::Header header;
    header.type = ndiwire::kVideo;
    header.fourCC = NDIlib_FourCC_type_H264;
    auto video = [&](bool keyframe) { return makeMessage(header, nullptr, nullptr, keyframe, 0); };
    ndiwire::Header audioHeader;
    audioHeader.type = ndiwire::kAudio;
    const MessagePtr audio = makeMessage(audioHeader, nullptr, nullptr, false, 0);
    LinkQueues link;
    link.wants = ndiwire::kWantEverything;
    EXPECT_TRUE(wantsKeyframe(link, NDIlib_FourCC_type_H264, 0));
    EXPECT_FALSE(offerVideo(link, video(false), 0));  // a clean start waits
    EXPECT_TRUE(link.video.empty());
    EXPECT_TRUE(offerVideo(link, video(true), 0));
    EXPECT_FALSE(wantsKeyframe(link, NDIlib_FourCC_type_H264, 0));
    const MessagePtr inFlight = takeNext(link);
    ASSERT_NE(inFlight, nullptr);
    for (size_t i = 0; i < kVideoQueueFrames; ++i) EXPECT_TRUE(offerVideo(link, video(false), 10));
    offerOrdered(link, audio);
    EXPECT_EQ(link.video.size(), kVideoQueueFrames);
    // One more is one too many: the queued ones go, the one being written
    // stays, and the stream waits for a keyframe without asking at once.
    offerVideo(link, video(false), 10);
    EXPECT_TRUE(link.video.empty());
    EXPECT_FALSE(wantsKeyframe(link, NDIlib_FourCC_type_H264, 10));  // still writing
    EXPECT_EQ(takeNext(link), audio);                                // audio overtakes video
    EXPECT_EQ(takeNext(link), nullptr);
    EXPECT_TRUE(link.drained);
    EXPECT_FALSE(wantsKeyframe(link, NDIlib_FourCC_type_H264, 10));
    EXPECT_TRUE(wantsKeyframe(link, NDIlib_FourCC_type_H264, 10 + kLaggardKeyframeDelayMs));
    offerVideo(link, video(false), 20);
    EXPECT_TRUE(link.video.empty());
    EXPECT_TRUE(offerVideo(link, video(true), 30));
    EXPECT_EQ(link.video.size(), 1u);
}

TEST(NDILink, AudioOvertakesVideoAndMetadataKeepsItsPlaceBesideIt) {
    using namespace ndilink;
    auto message = [](uint32_t type, uint64_t sequence) {
        ndiwire::Header header;
        header.type = type;
        return makeMessage(header, nullptr, nullptr, true, 0, sequence);
    };
    LinkQueues link;
    link.wants = ndiwire::kWantEverything;
    const MessagePtr video = message(ndiwire::kVideo, 1);
    const MessagePtr text = message(ndiwire::kMetadata, 2);
    const MessagePtr audio = message(ndiwire::kAudio, 3);
    offerVideo(link, video, 0);
    offerOrdered(link, text);
    offerOrdered(link, audio);
    EXPECT_EQ(takeNext(link), audio);
    EXPECT_EQ(takeNext(link), video);
    EXPECT_EQ(takeNext(link), text);
}

TEST(NDILink, AudioFarBehindDropsTheReceiver) {
    using namespace ndilink;
    ndiwire::Header header;
    header.type = ndiwire::kAudio;
    LinkQueues link;
    link.wants = ndiwire::kWantEverything;
    offerOrdered(link, makeMessage(header, nullptr, nullptr, false, 1000));
    EXPECT_EQ(lostCause(link, 1000 + kOrderedBacklogMs), nullptr);
    EXPECT_NE(lostCause(link, 1001 + kOrderedBacklogMs), nullptr);
}

TEST(NDILink, ForcedKeyframesComeTwoAtOnceThenOneEveryInterval) {
    ndilink::KeyframeBudget budget;
    const long long t = 1000000;
    EXPECT_TRUE(budget.available(t));
    budget.spend(t, 1);
    budget.spend(t, 1);  // the same picture under a second FourCC
    EXPECT_TRUE(budget.available(t));
    budget.spend(t, 2);
    EXPECT_FALSE(budget.available(t));
    EXPECT_FALSE(budget.available(t + ndilink::KeyframeBudget::kIntervalMs - 1));
    EXPECT_TRUE(budget.available(t + ndilink::KeyframeBudget::kIntervalMs));
    budget.spend(t + ndilink::KeyframeBudget::kIntervalMs, 3);
    EXPECT_FALSE(budget.available(t + ndilink::KeyframeBudget::kIntervalMs));
}

// A request is paid for when granted and stands until its keyframe; the
// keyframe the encoder adds after it is paid for too and pushes the next
// grant out, so each join costs two keyframes' credit.
TEST(NDILink, AGrantedKeyframeAndTheOneAfterItBothUseUpCredit) {
    ndilink::KeyframeBudget budget;
    const long long t = 1000000;
    budget.grant(t);
    EXPECT_TRUE(budget.available(t));
    budget.grant(t);  // the same request, asked for the second FourCC
    budget.spend(t, 1);
    EXPECT_TRUE(budget.available(t));
    budget.grant(t);
    budget.spend(t, 2);
    budget.spend(t + 1, 3);
    EXPECT_FALSE(budget.available(t + 998));
    EXPECT_TRUE(budget.available(t + 1000));
    // However many keyframes the stream makes itself, the debt is bounded.
    constexpr long long kInterval = ndilink::KeyframeBudget::kIntervalMs;
    for (int64_t picture = 4; picture < 10; ++picture) budget.spend(t + 1000, picture);
    EXPECT_FALSE(budget.available(t + 1000 + 3 * kInterval - 1));
    EXPECT_TRUE(budget.available(t + 1000 + 3 * kInterval));
}

// Nobody may push out a receiver that has taken data and is not behind; of
// the rest, the one furthest behind goes first, then the first to say hello
// of those that took nothing. A newcomer that reports its progress may also
// push out one that does not, the last to say hello first, but never one
// that reports and keeps up.
TEST(NDIRoom, OnlyAReceiverThatIsBehindOrTookNothingGivesUpItsPlace) {
    using ndiroom::Figures;
    using ndiroom::kNobody;
    using ndiroom::whomToDrop;
    const Figures keeper{.sinceProgressMs = 60000, .tookData = true, .greeting = 1};
    // In the middle of a large keyframe, taking it as fast as it comes.
    const Figures busyKeeper{.waitingBytes = 4 << 20, .sinceProgressMs = 20, .tookData = true};
    const Figures stopped{.waitingBytes = 1000, .sinceProgressMs = 1000, .tookData = true};
    const Figures further{.waitingBytes = 9000, .sinceProgressMs = 1000, .tookData = true};
    const Figures lostVideo{.lostVideo = true, .tookData = true, .greeting = 3};
    const Figures newest{.greeting = 9};
    const Figures older{.greeting = 8};
    for (const bool reports : {false, true}) {
        EXPECT_EQ(whomToDrop(std::vector<Figures>{}, reports), kNobody);
        EXPECT_EQ(whomToDrop(std::vector{keeper, newest, older, keeper}, reports), 2u);
        EXPECT_EQ(whomToDrop(std::vector{older, stopped, keeper, further}, reports), 3u);
        EXPECT_EQ(whomToDrop(std::vector{keeper, newest, lostVideo}, reports), 2u);
        EXPECT_FALSE(ndiroom::keepsUp(stopped, reports));
    }
    EXPECT_EQ(whomToDrop(std::vector{keeper, busyKeeper, keeper}, false), kNobody);
    EXPECT_TRUE(ndiroom::keepsUp(busyKeeper, false));

    // Peers that never read, whose kernel took all that was sent, beside
    // receivers that report: only a newcomer that reports gets a place, the
    // peer that came last giving it up.
    const Figures silent1{.tookData = true, .greeting = 4};
    const Figures silent2{.tookData = true, .greeting = 6};
    const Figures reader{.waitingBytes = 300,
                         .sinceProgressMs = 900,
                         .tookData = true,
                         .reportsProgress = true,
                         .greeting = 2};
    const Figures readHello{.tookData = true, .reportsProgress = true, .greeting = 7};
    EXPECT_EQ(whomToDrop(std::vector{reader, silent2, silent1, readHello}, false), kNobody);
    EXPECT_EQ(whomToDrop(std::vector{reader, silent2, silent1, readHello}, true), 1u);
    EXPECT_EQ(whomToDrop(std::vector{reader, readHello}, true), kNobody);
    // A reporter that has not even said it read our hello took nothing; one
    // whose reports stopped while data waits is behind.
    const Figures mute{.reportsProgress = true, .greeting = 5};
    const Figures fellSilent{.waitingBytes = 300,
                             .sinceProgressMs = ndiroom::kBehindMs,
                             .tookData = true,
                             .reportsProgress = true,
                             .greeting = 1};
    EXPECT_EQ(whomToDrop(std::vector{reader, silent1, mute}, true), 2u);
    EXPECT_EQ(whomToDrop(std::vector{reader, mute, fellSilent}, true), 2u);
    EXPECT_EQ(whomToDrop(std::vector{reader, silent1, silent2}, false), kNobody);
}

namespace {

// Room for this many more bytes of address space: enough for small buffers,
// too little for a thread's stack or a large picture. The soft limit only,
// so that it can be lifted again.
void limitAddressSpace(size_t headroom) {
    unsigned long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) std::_Exit(10);
    fclose(statm);
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + headroom;
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(11);
}

void liftAddressSpaceLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_AS, &limit);
}

bool underSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

}  // namespace

// Without memory for its thread a sender is not made: one line, however often
// the engine asks, and nothing thrown.
TEST(NDIRuntimeLowMemory, ASenderWithoutItsThreadIsNullWithOneLine) {
    if (underSanitizer()) GTEST_SKIP() << "sanitizers reserve address space of their own";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            limitAddressSpace(4 << 20);
            for (int frame = 0; frame < 5; ++frame) {
                if (makeSender() != nullptr) std::_Exit(2);
            }
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "^ndi: cannot make a sender: [^\n]*\n$");
}

// A frame there is no memory for is dropped with one line, its repeats
// counted once frames go again; the sender and its receivers go on.
TEST(NDIRuntimeLowMemory, AFrameWithoutMemoryIsDroppedWithOneLine) {
    if (underSanitizer()) GTEST_SKIP() << "sanitizers reserve address space of their own";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ConnectedPair pair;
            if (!pair.ready) std::_Exit(2);
            const int large = 4096;
            std::vector<uint8_t> pixels(size_t{large} * large * 3);
            NDIlib_video_frame_v2_t frame;
            frame.xres = large;
            frame.yres = large * 3 / 4;
            frame.FourCC = NDIlib_FourCC_type_BGRA;
            frame.p_data = pixels.data();
            frame.line_stride_in_bytes = large * 4;
            limitAddressSpace(16 << 20);
            NDIlib_send_send_video_v2(pair.sender, &frame);
            NDIlib_send_send_video_v2(pair.sender, &frame);
            liftAddressSpaceLimit();
            frame.xres = frame.yres = 16;
            frame.line_stride_in_bytes = 64;
            NDIlib_send_send_video_v2(pair.sender, &frame);
            NDIlib_video_frame_v2_t got;
            if (NDIlib_recv_capture_v2(pair.receiver, &got, nullptr, nullptr, 5000) !=
                    NDIlib_frame_type_video ||
                got.xres != 16) {
                std::_Exit(3);
            }
            std::_Exit(0);
        },
        testing::ExitedWithCode(0),
        "^ndi: video frame not sent: out of memory\n"
        "ndi: video frame not sent: out of memory \\(repeated 1 more times\\)\n$");
}
