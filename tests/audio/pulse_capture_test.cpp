// Capture from a real sound server: a private PulseAudio with null sinks,
// known tones played into them, their monitors captured by the capture run
// as the main window starts it, and what is sent read back by a receiver on
// loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/run_order.h"
#include "common/diagnostics.h"
#include "common/globals.h"
#include "engine/video_send.h"
#include "settings/prefs.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/pulse_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::AudioReceiver;
using testsupport::countOf;
using testsupport::PulseServer;
using testsupport::ReceivedAudio;
using testsupport::Tone;
using testsupport::waitUntil;

constexpr char kSurround[] = "front-left,front-right,front-center,lfe,rear-left,rear-right";
constexpr char kStereo[] = "front-left,front-right";
constexpr char kSpeakers[] = "sink_name=speakers";

float peakOf(const std::vector<float>& samples) {
    float peak = 0.0f;
    for (float s : samples) peak = std::max(peak, std::fabs(s));
    return peak;
}

// Rising zero crossings per second.
double frequencyOf(const std::vector<float>& samples, int rate) {
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
    return double(crossings) * rate / double(samples.size());
}

// What a receiver heard once the tone had begun: every channel's samples,
// block after block, and the size of each block.
struct Heard {
    int rate = 0;
    int channels = 0;
    std::vector<std::vector<float>> channel;
    std::vector<int> blocks;
    double wallSeconds = 0;

    double blockMs(int samples) const { return 1000.0 * samples / rate; }
    double medianBlockMs() const {
        std::vector<int> sorted = blocks;
        std::sort(sorted.begin(), sorted.end());
        return blockMs(sorted[sorted.size() / 2]);
    }
    double largestBlockMs() const {
        return blockMs(*std::max_element(blocks.begin(), blocks.end()));
    }
};

// Standard output or error of the whole process (the capture run writes from
// its own threads) into a file that can be read while it grows; once done,
// what it caught, test failures included, goes on to where it was headed.
class OutputFile {
  public:
    OutputFile(int fd, const std::string& path) : fd_(fd), path_(path) {
        flushAll();
        saved_ = dup(fd);
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, fd);
        close(file);
    }
    ~OutputFile() {
        const std::string caught = text();
        dup2(saved_, fd_);
        close(saved_);
        for (size_t done = 0; done < caught.size();) {
            const ssize_t n = write(fd_, caught.data() + done, caught.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
    }
    std::string text() const {
        flushAll();
        std::ifstream file(path_);
        return {std::istreambuf_iterator<char>(file), {}};
    }

  private:
    static void flushAll() {
        flushDiagnostics(5000);
        fflush(stdout);
        fflush(stderr);
    }

    int fd_;
    std::string path_;
    int saved_ = -1;
};

class PulseCapture : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new PulseServer;
        if (server->ok()) server->makeDefault();
        setenv("NDITABRIVO_AUDIO_BACKEND", "pulseaudio", 1);
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server->ok()) << server->failure();
        resetPrefs();
        channelCountChanged = 0;
    }
    void TearDown() override {
        stopAudioCapture();
        EXPECT_TRUE(waitUntil(audioCaptureIdle, 5000));
        for (pid_t player : players_) server->stopPlaying(player);
        for (int module : modules_) server->unloadModule(module);
        if (server->ok() && server->moduleWith(kSpeakers) < 0) setSpeakers(true);
    }

    // The server's one output device besides those a test loads.
    static void setSpeakers(bool present) {
        if (present) {
            ASSERT_GE(server->loadModule({"module-null-sink", kSpeakers}), 0);
        } else {
            ASSERT_TRUE(server->unloadModule(server->moduleWith(kSpeakers)));
            std::string info;
            ASSERT_TRUE(server->pactl({"info"}, &info));
            ASSERT_NE(info.find("Default Sink: (null)\n"), std::string::npos) << info;
        }
    }

    // A source of its own, no sink's monitor: a 440 Hz sine at half scale.
    void loadSineSource(const std::string& name) {
        modules_.push_back(server->loadModule(
            {"module-sine-source", "source_name=" + name, "rate=48000", "frequency=440"}));
        ASSERT_GE(modules_.back(), 0) << "cannot load a sine source " << name;
    }

    // A null sink named `sink` with the tones playing into it.
    void playInto(const std::string& sink, int rate, const char* channelMap,
                  const std::vector<Tone>& tones) {
        const int module = server->loadNullSink(sink, rate, channelMap);
        ASSERT_GE(module, 0) << "cannot load a null sink " << sink;
        modules_.push_back(module);
        const pid_t player = server->play(sink, rate, tones);
        ASSERT_GT(player, 0) << "cannot start pacat";
        players_.push_back(player);
    }

    // Starts capturing the sink's monitor and connects a receiver.
    void capture(const std::string& sink) { captureDevice(sink + ".monitor"); }
    void captureDevice(const std::string& id) {
        setPrefsText(thePrefs.audioInputDeviceSIOUID, id.c_str());
        ASSERT_EQ(startAudioThread(thePrefs.audioInputDeviceSIOUID), 0);
        ASSERT_TRUE(waitUntil([] { return audioThreadRunning != 0; }, 10000))
            << "the run never started capturing " << id;
        NDIlib_send_instance_t sender = testsupport::waitForNDISender(10000);
        ASSERT_NE(sender, nullptr);
        receiver_ = std::make_unique<AudioReceiver>();
        ASSERT_TRUE(receiver_->connect(sender));
    }

    // Skips blocks until channel 0 carries sound, then gathers `seconds` of it.
    Heard listen(double seconds) {
        Heard heard;
        ReceivedAudio audio;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        do {
            if (!receiver_->next(&audio, 5000) || Clock::now() > deadline) return heard;
        } while (peakOf({audio.planar.begin(), audio.planar.begin() + audio.samples}) < 0.01f);
        heard.rate = audio.sampleRate;
        heard.channels = audio.channels;
        heard.channel.resize(size_t(audio.channels));
        int64_t total = 0;
        const auto first = Clock::now();
        // The block in which the tone began may start with silence: not counted.
        while (total < int64_t(seconds * heard.rate) && receiver_->next(&audio, 5000)) {
            if (audio.channels != heard.channels || audio.sampleRate != heard.rate) return heard;
            for (int c = 0; c < audio.channels; ++c) {
                for (int s = 0; s < audio.samples; ++s) heard.channel[c].push_back(audio.at(c, s));
            }
            heard.blocks.push_back(audio.samples);
            total += audio.samples;
        }
        heard.wallSeconds = std::chrono::duration<double>(Clock::now() - first).count();
        return heard;
    }

    // Waits for a block sent after `since` (a timecode) that carries sound.
    bool soundSentAfter(int64_t since, int timeoutMs) {
        ReceivedAudio audio;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (!receiver_->next(&audio, 1000)) continue;
            if (audio.timecode > since &&
                peakOf({audio.planar.begin(), audio.planar.begin() + audio.samples}) > 0.01f) {
                return true;
            }
        }
        return false;
    }

    // Captures the sink's monitor until sound arrives, then removes the sink
    // (the last one loaded) and waits until the removal is reported.
    void captureUntilRemoved(const std::string& sink, const OutputFile& errors) {
        capture(sink);
        ASSERT_FALSE(listen(0.2).blocks.empty());
        ASSERT_TRUE(server->unloadModule(modules_.back()));
        modules_.pop_back();
        ASSERT_TRUE(
            waitUntil([&] { return errors.text().find("removed") != std::string::npos; }, 10000))
            << errors.text();
    }

    // A killed server takes its players and modules with it.
    void forgetServerState() {
        players_.clear();
        modules_.clear();
    }

    // playInto, capture and listen in one.
    Heard hear(const std::string& sink, int rate, const char* channelMap,
               const std::vector<Tone>& tones, double seconds) {
        playInto(sink, rate, channelMap, tones);
        if (!HasFatalFailure()) capture(sink);
        return HasFatalFailure() ? Heard{} : listen(seconds);
    }

    void expectTones(const Heard& heard, const std::vector<Tone>& tones) {
        ASSERT_EQ(heard.channels, int(tones.size()));
        ASSERT_FALSE(heard.blocks.empty());
        for (size_t c = 0; c < tones.size(); ++c) {
            const double frequency = frequencyOf(heard.channel[c], heard.rate);
            const float level = peakOf(heard.channel[c]);
            EXPECT_NEAR(frequency, tones[c].frequency, 5.0) << "channel " << c;
            EXPECT_NEAR(level, tones[c].level, 0.002) << "channel " << c;
            printf("channel %zu: %.1f Hz, peak %.4f\n", c, frequency, level);
        }
    }

    static PulseServer* server;
    std::unique_ptr<AudioReceiver> receiver_;
    std::vector<pid_t> players_;
    std::vector<int> modules_;
};

PulseServer* PulseCapture::server = nullptr;

const std::vector<Tone> kStereoTones = {{1000, 0.125f}, {1500, 0.0625f}};
const std::vector<Tone> kSurroundTones = {{300, 0.125f}, {500, 0.125f},  {700, 0.125f},
                                          {900, 0.125f}, {1100, 0.125f}, {1300, 0.125f}};

TEST_F(PulseCapture, ToneArrivesInItsChannelsAtItsLevel) {
    thePrefs.allChannels = 1;  // a stereo device stays stereo all the same
    const OutputFile out(1, server->folder() + "/stdout.txt");
    testing::internal::CaptureStderr();
    const Heard heard = hear("tone", 48000, kStereo, kStereoTones, 1.0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Device: Monitor of Null Output\nStereo 48000Hz float 32-bit LE interleaved\n");
    // The sender's own lines follow on standard output.
    EXPECT_EQ(
        out.text().rfind("Device Monitor of Null Output has 1 layouts\nLayout #1 = 2 ch\n", 0), 0u)
        << out.text();
    EXPECT_EQ(audioChannelCount, 2);
    EXPECT_EQ(heard.rate, 48000);
    expectTones(heard, kStereoTones);
}

TEST_F(PulseCapture, BlocksArriveEveryFewTensOfMilliseconds) {
    const Heard heard = hear("paced", 48000, kStereo, kStereoTones, 2.0);
    ASSERT_FALSE(heard.blocks.empty());
    printf("%zu blocks in %.2f s: %.1f frames/s, median %.1f ms, largest %.1f ms\n",
           heard.blocks.size(), heard.wallSeconds, double(heard.blocks.size()) / heard.wallSeconds,
           heard.medianBlockMs(), heard.largestBlockMs());
    // The run drains every 40 ms; a busy machine may stretch a cycle, never
    // to the seconds of a server's default fragments.
    EXPECT_LE(heard.medianBlockMs(), 50.0);
    EXPECT_LE(heard.largestBlockMs(), 250.0);
}

TEST_F(PulseCapture, AllChannelsOfASurroundSinkInTheirOrder) {
    thePrefs.allChannels = 1;
    const OutputFile out(1, server->folder() + "/stdout.txt");
    const Heard heard = hear("surround", 48000, kSurround, kSurroundTones, 0.5);
    EXPECT_NE(out.text().find(" has 1 layouts\nLayout #1 = 6 ch\n"), std::string::npos);
    EXPECT_EQ(audioChannelCount, 6);
    expectTones(heard, kSurroundTones);
}

TEST_F(PulseCapture, FrontPairOfASurroundSinkWithoutAllChannels) {
    const Heard heard = hear("front", 48000, kSurround, kSurroundTones, 0.5);
    EXPECT_EQ(audioChannelCount, 2);
    expectTones(heard, {kSurroundTones[0], kSurroundTones[1]});
}

// The server's own map for that many channels, and a tone for each.
std::pair<std::string, std::vector<Tone>> wideSink(int channels) {
    std::string map =
        "front-left,front-left-of-center,front-center,front-right,"
        "front-right-of-center,rear-center";
    for (int aux = 0; aux < channels - 6; ++aux) map += ",aux" + std::to_string(aux);
    std::vector<Tone> tones;
    for (int c = 0; c < channels; ++c) tones.push_back({200.0 + 60.0 * c, 0.125f});
    return {map, tones};
}

TEST_F(PulseCapture, WideSinksGiveTheirLeadingChannels) {
    // The audio library holds 24 channels and has no name past aux15: the
    // first 22 of these maps are what a stream can ask for.
    const OutputFile errors(2, server->folder() + "/stderr.txt");
    for (const int channels : {23, 26}) {
        thePrefs.allChannels = channels == 26;
        const auto [map, tones] = wideSink(channels);
        const std::string sink = "wide" + std::to_string(channels);
        playInto(sink, 48000, map.c_str(), tones);
        ASSERT_NO_FATAL_FAILURE(capture(sink));
        const size_t sent = thePrefs.allChannels ? 22 : 2;
        expectTones(listen(0.5), {tones.begin(), tones.begin() + sent});
        EXPECT_EQ(audioChannelCount, int(sent));
        stopAudioCapture();
        ASSERT_TRUE(waitUntil(audioCaptureIdle, 5000));
        EXPECT_EQ(countOf(errors.text(),
                          "Monitor of Null Output has more channels than a stream "
                          "can carry; its first " +
                              std::to_string(sent) + " are sent\n"),
                  1)
            << errors.text();
    }
    // Nothing of this map has a name: refused, where a stream would get silence.
    modules_.push_back(server->loadNullSink("unnamed", 48000, "aux16,aux17"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(runAudioCapture("unnamed.monitor", 0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Device: Monitor of Null Output\nunable to open input stream: incompatible device\n");
}

TEST_F(PulseCapture, SinkAt44100HzIsCapturedAt44100Hz) {
    const Heard heard = hear("cd", 44100, kStereo, kStereoTones, 0.5);
    EXPECT_EQ(heard.rate, 44100);
    expectTones(heard, kStereoTones);
}

TEST_F(PulseCapture, MeterFollowsTheToneAndFallsWithSilence) {
    playInto("meter", 48000, kStereo, kStereoTones);
    capture("meter");
    EXPECT_TRUE(waitUntil([] { return std::fabs(audioPeakLevel - 0.125f) < 0.002f; }, 10000))
        << "meter at " << audioPeakLevel;
    server->stopPlaying(players_.back());
    EXPECT_TRUE(waitUntil([] { return audioPeakLevel < 0.001f; }, 10000))
        << "meter at " << audioPeakLevel;
}

TEST_F(PulseCapture, RemovedDeviceIsReportedOnceAndAnotherTakesOver) {
    playInto("going", 48000, kStereo, kStereoTones);
    // The server moves the stream of a removed device to its default one.
    players_.push_back(server->play("speakers", 48000, {{700, 0.25f}, {700, 0.25f}}));
    const OutputFile errors(2, server->folder() + "/stderr.txt");
    ASSERT_NO_FATAL_FAILURE(captureUntilRemoved("going", errors));
    const auto noticed = int64_t(currentTime100ns());
    EXPECT_EQ(audioThreadRunning, 1) << "the run goes on until audio is switched off";
    stopAudioCapture();
    ASSERT_TRUE(waitUntil(audioCaptureIdle, 5000));
    ReceivedAudio audio;
    int sentAfterTheNotice = 0;
    while (receiver_->next(&audio, 200)) sentAfterTheNotice += audio.timecode > noticed;
    EXPECT_EQ(sentAfterTheNotice, 0);

    const std::vector<Tone> other = {{900, 0.25f}, {900, 0.25f}};
    expectTones(hear("other", 48000, kStereo, other, 0.5), other);
    EXPECT_EQ(countOf(errors.text(), "audio input device removed: Monitor of Null Output\n") +
                  countOf(errors.text(), "input stream error"),
              1)
        << errors.text();
}

TEST_F(PulseCapture, SoundComesBackWhenTheDeviceReturns) {
    const OutputFile out(1, server->folder() + "/stdout.txt");
    const OutputFile errors(2, server->folder() + "/stderr.txt");
    playInto("returning", 48000, kStereo, kStereoTones);
    ASSERT_NO_FATAL_FAILURE(captureUntilRemoved("returning", errors));
    // The same sink again, under the same name: no new pick of the device.
    playInto("returning", 48000, kStereo, kStereoTones);
    const auto returned = int64_t(currentTime100ns());
    EXPECT_TRUE(soundSentAfter(returned, 20000)) << errors.text();
    EXPECT_EQ(audioThreadRunning, 1);
    EXPECT_EQ(countOf(errors.text(), "audio input device removed: Monitor of Null Output\n"), 1)
        << errors.text();
    EXPECT_EQ(countOf(out.text(),
                      "audio input device returned; capturing from Monitor of "
                      "Null Output again\n"),
              1)
        << out.text();
}

TEST_F(PulseCapture, SoundComesBackAfterTheServerRestarts) {
    // Everything caught is shown after the test as well.
    const OutputFile out(1, server->folder() + "/stdout.txt");
    const OutputFile errors(2, server->folder() + "/stderr.txt");
    playInto("restarted", 48000, kStereo, kStereoTones);
    capture("restarted");
    ASSERT_FALSE(listen(0.2).blocks.empty());
    server->kill();
    forgetServerState();
    ASSERT_TRUE(
        waitUntil([&] { return out.text().find("disconnected") != std::string::npos; }, 10000));
    ASSERT_TRUE(server->start()) << server->failure();
    const auto restarted = int64_t(currentTime100ns());
    playInto("restarted", 48000, kStereo, kStereoTones);
    EXPECT_TRUE(soundSentAfter(restarted, 20000));
    EXPECT_EQ(audioThreadRunning, 1);
    // The library's reason depends on what it was doing when the server went.
    EXPECT_EQ(countOf(out.text(), "libsoundio: backend disconnected: "), 1);
    EXPECT_EQ(countOf(out.text(),
                      "audio back end reconnected; capturing from Monitor of Null "
                      "Output again\n"),
              1);
    EXPECT_EQ(countOf(errors.text(), "input stream error"), 0);
    EXPECT_EQ(countOf(errors.text(), "removed"), 0);
}

TEST_F(PulseCapture, ServerDownAtLaunchItsDevicesAreListedOnceItIsUp) {
    server->kill();
    forgetServerState();
    testing::internal::CaptureStdout();
    listAudioInputDevices();
    flushDiagnostics(5000);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(theInputDeviceCount, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(runAudioCapture("late.monitor", 0), 1);
    const std::string refused = testing::internal::GetCapturedStderr();
    ASSERT_EQ(refused.rfind("error connecting: ", 0), 0u) << refused;
    EXPECT_EQ(refused.back(), '\n') << "a line without its end";
    ASSERT_TRUE(server->start()) << server->failure();
    playInto("late", 48000, kStereo, kStereoTones);
    // Turning audio on lists them again, and the late server's device can be chosen.
    EXPECT_TRUE(audioInputDevicesUnreached());
    testing::internal::CaptureStdout();
    listAudioInputDevices();
    flushDiagnostics(5000);
    testing::internal::GetCapturedStdout();
    const InputDeviceRecord* end = theInputDevices + theInputDeviceCount;
    ASSERT_NE(std::find_if(static_cast<const InputDeviceRecord*>(theInputDevices), end,
                           [](const InputDeviceRecord& device) {
                               return std::string(device.id) == "late.monitor";
                           }),
              end)
        << "the late server's device is not in the device list";
    EXPECT_FALSE(audioInputDevicesUnreached()) << "would be listed again while the server is up";
    capture("late");
    expectTones(listen(0.5), kStereoTones);
}

TEST_F(PulseCapture, InputsWorkWithoutAnyOutputDevice) {
    const OutputFile out(1, server->folder() + "/stdout.txt");
    const OutputFile errors(2, server->folder() + "/stderr.txt");
    ASSERT_NO_FATAL_FAILURE(loadSineSource("line"));
    ASSERT_NO_FATAL_FAILURE(setSpeakers(false));
    // The listing at launch connects too, whether audio is on or not.
    listAudioInputDevices();
    EXPECT_NE(out.text().find(" : line raw=0\n"), std::string::npos) << out.text();
    ASSERT_NO_FATAL_FAILURE(captureDevice("line"));
    const Heard heard = listen(0.5);
    ASSERT_EQ(heard.channels, 1);
    EXPECT_NEAR(frequencyOf(heard.channel[0], heard.rate), 440.0, 5.0);
    EXPECT_NEAR(peakOf(heard.channel[0]), 0.5f, 0.002f);
    // An output device that comes and goes again changes nothing.
    for (bool present : {true, false}) {
        ASSERT_NO_FATAL_FAILURE(setSpeakers(present));
        const auto changed = int64_t(currentTime100ns());
        EXPECT_TRUE(soundSentAfter(changed + 10'000'000, 20000)) << "speakers " << present;
    }
    EXPECT_EQ(audioThreadRunning, 1);
    EXPECT_EQ(errors.text(),
              "--------Input Devices--------\n\nDevice: Sine source at 440 Hz\n"
              "Mono 48000Hz float 32-bit LE interleaved\n");
}

TEST_F(PulseCapture, DeviceListShowsTheServersSources) {
    modules_.push_back(server->loadNullSink("listed", 48000, kStereo));
    ASSERT_GE(modules_.back(), 0);
    testing::internal::CaptureStdout();
    listAudioInputDevices();
    flushDiagnostics(5000);
    const std::string listing = testing::internal::GetCapturedStdout();
    EXPECT_NE(listing.find(" : listed.monitor raw=0\n"), std::string::npos) << listing;
}

}  // namespace
