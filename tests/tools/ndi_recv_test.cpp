// ndi-recv as a child process against a sender in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
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
// files in dir (standard output to stdoutFd instead when one is given).
Child startRecv(const std::string& dir, std::vector<std::string> args, int stdoutFd = -1) {
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
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, child.out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
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

    // ndi-recv writing the video of `frames` frames to v.h264, once the
    // sender counts it.
    Child startVideoToFile(const char* frames) {
        Child child = startRecv(
            temp.path, {"--port", port, "--video", temp.path + "v.h264", "--frames", frames});
        if (child.pid > 0 && !waitForConnections(sender, 1)) child.pid = -1;
        return child;
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
    const Child child = startVideoToFile("2");
    ASSERT_GT(child.pid, 0);
    HXPacketHeader good;
    good.flags = 1;
    good.dataSize = 3;
    sendRawH264(packetWith(good, 3));
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
    good.flags = 0;
    good.dataSize = 2;
    sendRawH264(packetWith(good, 2));
    ASSERT_EQ(waitExit(child), 0);
    const std::string out = readText(child.out);
    EXPECT_NE(out.find("skipped 4 malformed packets\n"), std::string::npos) << out;
    EXPECT_EQ(lastLine(out),
              "received 2 video frames (1 keyframes), 0 audio frames, 0 metadata frames");
    const std::string err = readText(child.err);
    EXPECT_NE(err.find("header size 40"), std::string::npos) << err;
    EXPECT_NE(err.find("not H264"), std::string::npos) << err;
    EXPECT_NE(err.find("100 data bytes"), std::string::npos) << err;
    EXPECT_EQ(h264check::readFile(temp.path + "v.h264"),
              (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA0, 0xA1}));
}

TEST_F(NdiRecv, EveryFrameReachesAPipeAtOnce) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const Child child =
        startRecv(temp.path, {"--port=" + port, "--video=-", "--frames=2"}, pipeFds[1]);
    close(pipeFds[1]);
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(waitForConnections(sender, 1));
    HXPacketHeader key;
    key.flags = 1;
    key.dataSize = 3;
    sendRawH264(packetWith(key, 3));
    // The receiver still waits for its second frame: the first must not sit
    // in a buffer meanwhile.
    std::vector<uint8_t> got;
    while (got.size() < 3) {
        pollfd p{pipeFds[0], POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "first frame not flushed";
        uint8_t buffer[16];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2}));
    sendRawH264(packetWith(key, 3));
    EXPECT_EQ(waitExit(child), 0);
    close(pipeFds[0]);
}

TEST_F(NdiRecv, TheVideoFileStartsAtTheFirstKeyframe) {
    const Child child = startVideoToFile("2");
    ASSERT_GT(child.pid, 0);
    HXPacketHeader header;
    header.dataSize = 2;
    // The runtime itself starts a receiver at a keyframe; a packet whose
    // header calls an IDR picture no keyframe still reaches the tool.
    std::vector<uint8_t> idrUnflagged = packetWith(header, 5);
    const uint8_t idr[] = {0, 0, 1, 0x65, 0x88};
    std::copy(idr, idr + 5, idrUnflagged.begin() + kHXPacketHeaderSize);
    header.dataSize = 5;
    writeHXPacketHeader(idrUnflagged.data(), header);
    sendRawH264(idrUnflagged);
    header.flags = 1;
    header.dataSize = 3;
    sendRawH264(packetWith(header, 3));
    ASSERT_EQ(waitExit(child), 0);
    EXPECT_EQ(h264check::readFile(temp.path + "v.h264"), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2}));
}

TEST_F(NdiRecv, ALostConnectionBeforeTheAskedFramesFails) {
    const Child child =
        startRecv(temp.path, {"--port", port, "--audio", temp.path + "a.wav", "--frames", "10"});
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(waitForConnections(sender, 1));
    sendPicture(0);
    destroyNDIHXSender(sender, &state);
    sender = nullptr;
    EXPECT_EQ(waitExit(child), 1);
    EXPECT_NE(readText(child.err).find("connection lost"), std::string::npos);
    // No audio came, and the WAV file is still one that readers open.
    const std::vector<uint8_t> wav = h264check::readFile(temp.path + "a.wav");
    ASSERT_EQ(wav.size(), 58u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_FALSE(h264check::ffmpegOutput("-i '" + temp.path + "a.wav' -f wav -").empty());
}

TEST_F(NdiRecv, StopsAfterTheGivenSeconds) {
    const Child child =
        startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--seconds", "0.3"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(waitExit(child), 0);
    EXPECT_EQ(lastLine(readText(child.out)),
              "received 0 video frames (0 keyframes), 0 audio frames, 0 metadata frames");
}

TEST_F(NdiRecv, HelpAndVersionGoToStandardOutput) {
    Child child = startRecv(temp.path, {"--help"});
    EXPECT_EQ(waitExit(child), 0);
    const std::string help = readText(child.out);
    EXPECT_NE(help.find("--host=HOST"), std::string::npos) << help;
    EXPECT_NE(help.find("(default 127.0.0.1)"), std::string::npos) << help;
    EXPECT_NE(help.find("(default 5960)"), std::string::npos) << help;
    EXPECT_EQ(readText(child.err), "");
    child = startRecv(temp.path, {"--version"});
    EXPECT_EQ(waitExit(child), 0);
    EXPECT_EQ(readText(child.out),
              std::string("ndi-recv (NDITabrivo) ") + NDITABRIVO_VERSION + "\n");
}

TEST_F(NdiRecv, BadArgumentsAreNamedAndNoSenderFails) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "bogus"},
        {{"--port=70000"}, "--port"},
        {{"--port", "59.5"}, "--port"},
        {{"--frames", "x"}, "--frames"},
        {{"--seconds=-1"}, "--seconds"},
        {{"--audio", "-"}, "--audio"},
        {{"--host"}, "host"},
        {{"stray"}, "stray"},
    };
    for (const auto& [args, named] : cases) {
        Child child = startRecv(temp.path, args);
        EXPECT_EQ(waitExit(child), 2) << args[0];
        EXPECT_NE(readText(child.err).find(named), std::string::npos)
            << args[0] << ": " << readText(child.err);
    }
    // The sender goes away: nothing listens on its port any more.
    destroyNDIHXSender(sender, &state);
    sender = nullptr;
    Child child = startRecv(temp.path, {"--host", "127.0.0.1", "--port", port, "--seconds", "1"});
    EXPECT_EQ(waitExit(child), 1);
    EXPECT_NE(readText(child.err).find("cannot connect"), std::string::npos);
}
