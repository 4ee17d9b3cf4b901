// ndi-recv as a child process against a sender in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/hx_send.h"
#include "engine/sender.h"
#include "tests/support/h264_check.h"

extern char** environ;

namespace {

struct Child {
    pid_t pid = -1;
    std::string out;
    std::string err;
};

// Starts build/ndi-recv with args, its standard output and error going to
// files in dir.
Child startRecv(const std::string& dir, std::vector<std::string> args) {
    Child child;
    child.out = dir + "stdout";
    child.err = dir + "stderr";
    const char* buildDir = std::getenv("NDITABRIVO_BUILD_DIR");
    const std::string program = std::string(buildDir != nullptr ? buildDir : ".") + "/ndi-recv";
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

int waitExit(const Child& child) {
    int status = 0;
    if (child.pid <= 0 || waitpid(child.pid, &status, 0) != child.pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = h264check::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string lastLine(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end + 1 - (start == std::string::npos ? 0 : start + 1));
}

bool waitForConnections(NDIlib_send_instance_t sender, int count) {
    for (int i = 0; i < 500; ++i) {
        if (NDIlib_send_get_no_connections(sender, 0) >= count) return true;
        usleep(10000);
    }
    return false;
}

class NdiRecv : public testing::Test {
  protected:
    void SetUp() override {
        sender = h264check::createLoopbackSender();
        ASSERT_NE(sender, nullptr);
        port = std::to_string(NDIlib_send_get_port(sender));
        state = h264check::makeHXState(2);
    }
    void TearDown() override {
        if (sender != nullptr) destroyNDIHXSender(sender, &state);
    }

    void sendPicture(int n) {
        std::vector<uint8_t> pixels = h264check::movingBgraPicture(kW, kH, n);
        NDIlib_video_frame_v2_t frame =
            h264check::videoFrame(NDIlib_FourCC_type_BGRA, pixels.data(), kW, kH);
        sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 2);
    }

    // 480 samples of 2 channels: channel c, sample i holds c + i / 1000.
    void sendAudio() {
        std::vector<float> planes(2 * 480);
        for (int c = 0; c < 2; ++c) {
            for (int i = 0; i < 480; ++i) planes[c * 480 + i] = static_cast<float>(c) + i / 1000.0f;
        }
        NDIlib_audio_frame_v2_t audio;
        audio.sample_rate = 48000;
        audio.no_channels = 2;
        audio.no_samples = 480;
        audio.p_data = planes.data();
        audio.channel_stride_in_bytes = 480 * 4;
        sendFunctionSendData(sender, nullptr, &audio, nullptr, 0, &state, 2);
    }

    void sendRawH264(std::vector<uint8_t> packet) {
        NDIlib_video_frame_v2_t frame;
        frame.xres = kW;
        frame.yres = kH;
        frame.FourCC = NDIlib_FourCC_type_H264;
        frame.frame_rate_N = 60;
        frame.frame_rate_D = 1;
        frame.p_data = packet.data();
        frame.data_size_in_bytes = static_cast<int32_t>(packet.size());
        NDIlib_send_send_video_v2(sender, &frame);
    }

    static constexpr int kW = 320;
    static constexpr int kH = 240;
    NDIlib_send_instance_t sender = nullptr;
    HXSenderState state{};
    std::string port;
    h264check::TempDir temp;
};

std::vector<uint8_t> packetWith(HXPacketHeader header, size_t payload) {
    std::vector<uint8_t> packet(kHXPacketHeaderSize + payload, 0);
    writeHXPacketHeader(packet.data(), header);
    for (size_t i = 0; i < payload; ++i)
        packet[kHXPacketHeaderSize + i] = static_cast<uint8_t>(0xA0 + i);
    return packet;
}

}  // namespace

TEST_F(NdiRecv, WritesVideoAndWavThatFfmpegReads) {
    const Child child = startRecv(
        temp.path, {"--host", "127.0.0.1", "--port", port, "--video", temp.path + "v.h264",
                    "--audio", temp.path + "a.wav", "--frames", "5"});
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(waitForConnections(sender, 1));
    for (int i = 0; i < 3; ++i) sendAudio();
    char text[] = "<note/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    sendFunctionSendData(sender, nullptr, nullptr, &metadata, 0, &state, 2);
    for (int n = 0; n < 5; ++n) sendPicture(n);
    ASSERT_EQ(waitExit(child), 0) << readText(child.err);
    EXPECT_EQ(lastLine(readText(child.out)),
              "received 5 video frames (2 keyframes), 3 audio frames, 1 metadata frames");

    h264check::ProbeResult video;
    ASSERT_TRUE(h264check::probeVideo(temp.path + "v.h264", &video));
    EXPECT_EQ(video.codec, "h264");
    EXPECT_EQ(video.width, kW);
    EXPECT_EQ(video.height, kH);
    EXPECT_EQ(video.frames, 5);

    const std::vector<uint8_t> wav = h264check::readFile(temp.path + "a.wav");
    ASSERT_EQ(wav.size(), 58u + 3 * 480 * 2 * 4);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(wav[22] | wav[23] << 8, 2);                      // channels
    EXPECT_EQ(wav[24] | wav[25] << 8 | wav[26] << 16, 48000);  // sample rate
    const std::vector<uint8_t> samples =
        h264check::ffmpegOutput("-i '" + temp.path + "a.wav' -f f32le -");
    ASSERT_EQ(samples.size(), 3u * 480 * 2 * 4);
    float interleaved[2];
    std::memcpy(interleaved, samples.data() + 8 * 5, sizeof interleaved);  // sample 5
    EXPECT_FLOAT_EQ(interleaved[0], 0.005f);
    EXPECT_FLOAT_EQ(interleaved[1], 1.005f);
}

TEST_F(NdiRecv, VideoToStandardOutputPutsTheSummaryOnStandardError) {
    const Child child = startRecv(
        temp.path, {"--host", "127.0.0.1", "--port", port, "--video", "-", "--frames", "3"});
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(waitForConnections(sender, 1));
    for (int n = 0; n < 3; ++n) sendPicture(n);
    ASSERT_EQ(waitExit(child), 0);
    EXPECT_EQ(lastLine(readText(child.err)),
              "received 3 video frames (2 keyframes), 0 audio frames, 0 metadata frames");
    const std::vector<int> nals = h264check::nalTypes(h264check::readFile(child.out));
    ASSERT_FALSE(nals.empty());
    EXPECT_EQ(nals[0], 7);
}

TEST_F(NdiRecv, MalformedPacketsAreCountedAndSkipped) {
    const Child child = startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--video",
                                              temp.path + "v.h264", "--frames", "1"});
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(waitForConnections(sender, 1));
    HXPacketHeader bad;
    bad.headerSize = 40;
    bad.dataSize = 4;
    sendRawH264(packetWith(bad, 4));
    bad.headerSize = 44;
    bad.codec = 0x35363248;  // "H265"
    sendRawH264(packetWith(bad, 4));
    bad.codec = kHXCodecH264;
    bad.dataSize = 100;
    sendRawH264(packetWith(bad, 4));
    sendRawH264(std::vector<uint8_t>(20, 0));
    HXPacketHeader good;
    good.flags = 1;
    good.dataSize = 3;
    sendRawH264(packetWith(good, 3));
    ASSERT_EQ(waitExit(child), 0);
    const std::string out = readText(child.out);
    EXPECT_NE(out.find("skipped 4 malformed packets\n"), std::string::npos) << out;
    EXPECT_EQ(lastLine(out),
              "received 1 video frames (1 keyframes), 0 audio frames, 0 metadata frames");
    const std::string err = readText(child.err);
    EXPECT_NE(err.find("header size 40"), std::string::npos) << err;
    EXPECT_NE(err.find("not H264"), std::string::npos) << err;
    EXPECT_NE(err.find("100 data bytes"), std::string::npos) << err;
    EXPECT_EQ(h264check::readFile(temp.path + "v.h264"), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2}));
}

TEST_F(NdiRecv, StopsAfterTheGivenSeconds) {
    const Child child =
        startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--seconds", "0.3"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(waitExit(child), 0);
    EXPECT_EQ(lastLine(readText(child.out)),
              "received 0 video frames (0 keyframes), 0 audio frames, 0 metadata frames");
}

TEST_F(NdiRecv, BadArgumentsAndNoSenderFail) {
    Child child = startRecv(temp.path, {"--host", "127.0.0.1"});
    EXPECT_EQ(waitExit(child), 2);
    child = startRecv(temp.path, {"--host", "127.0.0.1", "--port", "70000"});
    EXPECT_EQ(waitExit(child), 2);
    child = startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--frames", "x"});
    EXPECT_EQ(waitExit(child), 2);
    child = startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--audio", "-"});
    EXPECT_EQ(waitExit(child), 2);
    // The sender goes away: nothing listens on its port any more.
    destroyNDIHXSender(sender, &state);
    sender = nullptr;
    child = startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--seconds", "1"});
    EXPECT_EQ(waitExit(child), 1);
    EXPECT_NE(readText(child.err).find("cannot connect"), std::string::npos);
}
