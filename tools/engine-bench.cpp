// engine-bench: feeds pictures through the frame mailbox to the real encoder
// and a receiver on loopback. As fast as taken (the default), it reports the
// frames per second and CPU per frame of the engine beside ffmpeg's libx264
// doing the same work on the same pictures (4:2:0, baseline, ultrafast,
// zerolatency), and the ratio. Paced, it reports dropped frames and the time
// from submission to the end of the send. Both give the median time of each
// stage of the road. Results go to standard output, the engine's own lines
// to standard error. Run it on a quiet machine: the figures are only as good
// as that.

#include <getopt.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/encoder.h"
#include "engine/engine.h"
#include "platform/ndi/ndi.h"
#include "settings/prefs.h"
#include "tools/command_line.h"
#include "tools/machine_load.h"

extern char** environ;

namespace {

// Distinct pictures cycled through: up to 30, fewer for large sizes so the
// set (and ffmpeg's copy of it on disk) stays near 256 MB.
constexpr int kMaxDistinctPictures = 30;
constexpr int64_t kPictureBudgetBytes = int64_t{256} << 20;
constexpr int kWarmUpFrames = 10;

struct Options {
    int width = 1920;
    int height = 1080;
    double rate = 0.0;  // submissions per second; 0: as fast as taken
    int count = 600;
};

constexpr const char* kUsage =
    "usage: engine-bench [OPTION]...\n"
    "Feeds pictures through the engine's mailbox, encoder and sender to a\n"
    "receiver on loopback and compares with ffmpeg's libx264 on the same work.\n"
    "\n"
    "  -s, --size SIZE   WIDTHxHEIGHT, 1080p or 2160p (default 1920x1080)\n"
    "  -r, --rate RATE   submissions per second, or max: each frame as soon as the\n"
    "                    sender has taken the one before (default max)\n"
    "  -n, --count N     frames submitted (default 600)\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "With --rate max the engine/ffmpeg throughput ratio is reported; a paced\n"
    "run reports dropped frames and latency only.\n";

// Results go here; the engine's own lines go to standard error.
FILE* results = stdout;

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntilNs(int64_t deadline) {
    timespec ts{time_t(deadline / 1'000'000'000), long(deadline % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

[[noreturn]] void badUsage(const char* what, const char* value) {
    ::badUsage("engine-bench", what, value);
}

bool parseSize(const char* text, Options* options) {
    return parseFrameSize(text, 16, &options->width, &options->height);
}

bool parseRate(const char* text, double* rate) {
    if (strcmp(text, "max") == 0) {
        *rate = 0.0;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value > 0.0 && value <= 1000.0))
        return false;
    *rate = value;
    return true;
}

bool parseCount(const char* text, int* count) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 1000000) return false;
    *count = int(value);
    return true;
}

Options parseOptions(int argc, char** argv) {
    static const option longOptions[] = {
        {"size", required_argument, nullptr, 's'},  {"rate", required_argument, nullptr, 'r'},
        {"count", required_argument, nullptr, 'n'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},     {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":s:r:n:hV", longOptions, nullptr)) != -1) {
        switch (c) {
            case 's':
                if (!parseSize(optarg, &options)) badUsage("bad size", optarg);
                break;
            case 'r':
                if (!parseRate(optarg, &options.rate)) badUsage("bad rate", optarg);
                break;
            case 'n':
                if (!parseCount(optarg, &options.count)) badUsage("bad count", optarg);
                break;
            default:
                handleCommonOption("engine-bench", kUsage, c, argv);
                badUsage("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc) badUsage("unexpected argument", argv[optind]);
    return options;
}

// Smooth gradients with a box sliding across, so every picture differs and
// the encoder does real work.
std::vector<std::vector<uint8_t>> makePictures(int width, int height) {
    const int64_t bytes = int64_t{width} * height * 4;
    const int distinct =
        int(std::clamp<int64_t>(kPictureBudgetBytes / bytes, 2, kMaxDistinctPictures));
    std::vector<std::vector<uint8_t>> pictures(distinct);
    for (int n = 0; n < distinct; ++n) {
        std::vector<uint8_t>& p = pictures[n];
        p.resize(size_t(width) * height * 4);
        const int boxX = (n * width) / distinct, boxY = height / 3;
        for (int y = 0; y < height; ++y) {
            uint8_t* row = p.data() + size_t(y) * width * 4;
            for (int x = 0; x < width; ++x) {
                const bool inBox =
                    x >= boxX && x < boxX + width / 8 && y >= boxY && y < boxY + height / 4;
                row[4 * x + 0] = inBox ? 40 : uint8_t((x + n * 4) * 255 / width);
                row[4 * x + 1] = inBox ? 220 : uint8_t(y * 255 / height);
                row[4 * x + 2] = inBox ? 60 : uint8_t(((x + y) / 2 + n * 8) & 0xFF);
                row[4 * x + 3] = 255;
            }
        }
    }
    return pictures;
}

// The frame number rides in the first pixel, so the sender side can tell
// which submission it is sending.
struct Timeline {
    explicit Timeline(int count)
        : submittedAt(new std::atomic<int64_t>[count]()),
          sentAt(new std::atomic<int64_t>[count]()) {}
    std::unique_ptr<std::atomic<int64_t>[]> submittedAt;
    std::unique_ptr<std::atomic<int64_t>[]> sentAt;
    std::atomic<int32_t> limit{0};
    // Wakes whoever waits for the last send to end.
    std::mutex lock;
    std::condition_variable sendEnded;
    int64_t sendsEnded = 0;
};
Timeline* theTimeline = nullptr;

int32_t sendAndTime(const uint8_t* pixels, int32_t width, int32_t height, uint32_t fourcc,
                    int32_t frameRateCode, int32_t aspect16x9, int32_t progressive) {
    sendVideoToNDI(pixels, width, height, fourcc, frameRateCode, aspect16x9, progressive);
    uint32_t id = 0;
    memcpy(&id, pixels, 4);
    if (id < uint32_t(theTimeline->limit.load())) theTimeline->sentAt[id].store(nowNs());
    {
        std::lock_guard<std::mutex> hold(theTimeline->lock);
        ++theTimeline->sendsEnded;
    }
    theTimeline->sendEnded.notify_one();
    return 0;
}

bool mailboxIdle() {
    NDISendData* data = theNDISendData.load();
    return data != nullptr && data->running.load() == 1 && data->ready.load() == 0 &&
           data->busy.load() == kSlotFree;
}

// Looks every 0.1 ms: soon enough for a frame of 16.7 ms, and without
// spinning against the encoder's threads for a core.
bool waitMailboxIdle(int64_t timeoutNs) {
    const int64_t deadline = nowNs() + timeoutNs;
    while (!mailboxIdle()) {
        if (nowNs() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// Drains the receiver so the sender never waits on a full socket.
struct Receiver {
    NDIlib_recv_instance_t recv = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<long> packets{0};
    std::thread thread;

    bool connect(NDIlib_send_instance_t sender) {
        const std::string address = "127.0.0.1:" + std::to_string(NDIlib_send_get_port(sender));
        NDIlib_recv_create_v3_t settings;
        settings.source_to_connect_to.p_url_address = address.c_str();
        settings.color_format = NDIlib_recv_color_format_compressed_v2;
        recv = NDIlib_recv_create_v4(&settings, nullptr);
        if (recv == nullptr) return false;
        for (int tries = 0; tries < 500 && NDIlib_send_get_no_connections(sender, 0) == 0; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        thread = std::thread([this] { drain(); });
        return true;
    }
    void drain() {
        while (!stop.load()) {
            NDIlib_video_frame_v2_t frame;
            const NDIlib_frame_type_e type =
                NDIlib_recv_capture_v2(recv, &frame, nullptr, nullptr, 100);
            if (type == NDIlib_frame_type_error) return;
            if (type != NDIlib_frame_type_video) continue;
            if (frame.FourCC == NDIlib_FourCC_type_H264) ++packets;
            NDIlib_recv_free_video_v2(recv, &frame);
        }
    }
    ~Receiver() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (recv != nullptr) NDIlib_recv_destroy(recv);
    }
};

void submit(std::vector<uint8_t>& picture, const Options& options, uint32_t id) {
    memcpy(picture.data(), &id, 4);
    postFrameToSender(picture.data(), options.width, options.height, kPixelTagBGRA, frameRateCode,
                      1, 1);
}

// Creates the mailbox, the sender and the encoder before anything is timed.
bool warmUp(std::vector<std::vector<uint8_t>>& pictures, const Options& options,
            Receiver* receiver) {
    theTimeline->limit = 0;
    setFrameConsumer(sendAndTime);
    submit(pictures[0], options, 0);
    if (!waitMailboxIdle(5'000'000'000)) return false;
    NDIlib_send_instance_t sender = ensureNDISender();
    if (sender == nullptr || !receiver->connect(sender)) return false;
    for (int i = 0; i < kWarmUpFrames; ++i) {
        submit(pictures[i % pictures.size()], options, 0);
        if (!waitMailboxIdle(5'000'000'000)) return false;
    }
    return theHXState.encoderReady[0] == 1;
}

void runPaced(std::vector<std::vector<uint8_t>>& pictures, const Options& options) {
    const int64_t period = int64_t(1e9 / options.rate);
    const int64_t start = nowNs();
    for (int i = 0; i < options.count; ++i) {
        sleepUntilNs(start + i * period);
        theTimeline->submittedAt[i] = nowNs();
        submit(pictures[i % pictures.size()], options, uint32_t(i));
    }
}

// Each frame as soon as the mailbox can take it. The slot is free once the
// frame before is in the encoder's picture, so, as in the program, the copy
// of one frame overlaps the encode and send of the one before.
void runAsFastAsTaken(std::vector<std::vector<uint8_t>>& pictures, const Options& options) {
    for (int i = 0; i < options.count; ++i) {
        waitMailboxIdle(5'000'000'000);
        theTimeline->submittedAt[i] = nowNs();
        submit(pictures[i % pictures.size()], options, uint32_t(i));
    }
}

// The mailbox frees its slot before the frame is encoded: the last frame
// may still be on its way when the mailbox is idle.
void waitLastSend(const Options& options) {
    std::unique_lock<std::mutex> hold(theTimeline->lock);
    theTimeline->sendEnded.wait_for(hold, std::chrono::seconds(10), [&] {
        return theTimeline->sentAt[options.count - 1].load() != 0;
    });
}

struct Figures {
    int sent = 0;
    double seconds = 0;
    double medianMs = 0;
    double p99Ms = 0;
};

Figures summarise(const Options& options) {
    Figures figures;
    std::vector<int64_t> latencies;
    int64_t lastSent = 0;
    for (int i = 0; i < options.count; ++i) {
        const int64_t sent = theTimeline->sentAt[i];
        if (sent == 0) continue;
        latencies.push_back(sent - theTimeline->submittedAt[i]);
        lastSent = std::max(lastSent, sent);
    }
    figures.sent = int(latencies.size());
    if (latencies.empty()) return figures;
    figures.seconds = double(lastSent - theTimeline->submittedAt[0]) / 1e9;
    std::sort(latencies.begin(), latencies.end());
    figures.medianMs = double(latencies[latencies.size() / 2]) / 1e6;
    figures.p99Ms =
        double(latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)]) / 1e6;
    return figures;
}

// Stage times reported by the engine while the measured run goes on.
struct StageTimes {
    std::mutex lock;
    bool recording = false;
    std::vector<int64_t> ns[kEngineStageCount];
};
StageTimes theStageTimes;

void recordStage(EngineStage stage, int64_t nanoseconds) {
    std::lock_guard<std::mutex> hold(theStageTimes.lock);
    if (theStageTimes.recording) theStageTimes.ns[int(stage)].push_back(nanoseconds);
}

void printStageMedians() {
    static const char* const names[kEngineStageCount] = {"mailbox copy", "to I420", "encode",
                                                         "send"};
    std::lock_guard<std::mutex> hold(theStageTimes.lock);
    fprintf(results, "median time per frame of each stage:\n");
    for (int i = 0; i < kEngineStageCount; ++i) {
        std::vector<int64_t>& times = theStageTimes.ns[i];
        if (times.empty()) {
            fprintf(results, "  %-13s  -\n", names[i]);
            continue;
        }
        std::sort(times.begin(), times.end());
        fprintf(results, "  %-13s %7.3f ms (%zu frames)\n", names[i],
                double(times[times.size() / 2]) / 1e6, times.size());
    }
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Throughput {
    double framesPerSecond = 0;
    double cpuMsPerFrame = 0;
};

std::string writePictures(const std::vector<std::vector<uint8_t>>& pictures) {
    const char* tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/engine-bench-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) return std::string();
    bool written = true;
    for (const auto& picture : pictures)
        written = written && write(fd, picture.data(), picture.size()) == ssize_t(picture.size());
    close(fd);
    if (!written) remove(path.c_str());
    return written ? path : std::string();
}

// The same work as the engine's: the same pictures (read back from a raw
// file, looped) brought to 4:2:0 and encoded with the engine's profile,
// preset and tune, and the rate control the engine's encoder takes from the
// bit-rate setting: its quality, maximum rate and buffer, and an IDR at least
// every 100 pictures.
std::vector<std::string> ffmpegCommand(const std::string& path, const Options& options,
                                       int distinct) {
    const int loops = (options.count + distinct - 1) / distinct - 1;
    return {"ffmpeg",
            "-nostdin",
            "-loglevel",
            "error",
            "-f",
            "rawvideo",
            "-pix_fmt",
            "bgra",
            "-s",
            std::to_string(options.width) + "x" + std::to_string(options.height),
            "-r",
            "60",
            "-stream_loop",
            std::to_string(loops),
            "-i",
            path,
            "-frames:v",
            std::to_string(options.count),
            "-c:v",
            "libx264",
            "-preset",
            "ultrafast",
            "-tune",
            "zerolatency",
            "-profile:v",
            "baseline",
            "-crf",
            std::to_string(qualityForMode(thePrefs.theBitRateMode)),
            "-maxrate",
            std::to_string(bitRateForMode(thePrefs.theBitRateMode)) + "k",
            "-bufsize",
            std::to_string(qualityVbvBufferKbit(bitRateForMode(thePrefs.theBitRateMode))) + "k",
            "-g",
            "100",
            "-pix_fmt",
            "yuv420p",
            "-f",
            "null",
            "-"};
}

// Runs the command with its output on standard error; its exit status, or -1.
int runCommand(const std::vector<std::string>& command) {
    std::vector<std::string> text(command);
    std::vector<char*> argv;
    for (auto& part : text) argv.push_back(part.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, 2, 1);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ffmpeg's figures on the same pictures, or none when it fails.
std::optional<Throughput> timeFfmpeg(const std::vector<std::vector<uint8_t>>& pictures,
                                     const Options& options) {
    const std::string path = writePictures(pictures);
    if (path.empty()) {
        fprintf(stderr, "engine-bench: cannot write the pictures for ffmpeg\n");
        return std::nullopt;
    }
    const std::vector<std::string> command = ffmpegCommand(path, options, int(pictures.size()));
    std::string shown;
    for (const auto& part : command) shown += (shown.empty() ? "" : " ") + part;
    fprintf(results, "ffmpeg command: %s\n", shown.c_str());
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    const double load = loadAverage();
    const MachineTime machineStart = machineTime();
    const int64_t start = nowNs();
    const int status = runCommand(command);
    const double seconds = double(nowNs() - start) / 1e9;
    const double cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    remove(path.c_str());
    if (status != 0) {
        fprintf(stderr, "engine-bench: ffmpeg failed (status %d)\n", status);
        return std::nullopt;
    }
    Throughput t{options.count / seconds, 1000.0 * cpu / options.count};
    fprintf(results,
            "ffmpeg: %d frames in %.2f s, %.1f frames per second, %.2f ms CPU per frame, load "
            "%.2f, %.1f %% stolen\n",
            options.count, seconds, t.framesPerSecond, t.cpuMsPerFrame, load,
            100.0 * stolenShareSince(machineStart));
    return t;
}

std::string rateText(const Options& options) {
    if (options.rate <= 0) return "as fast as taken";
    char text[64];
    snprintf(text, sizeof text, "%g submissions per second", options.rate);
    return text;
}

}  // namespace

// Results keep the real standard output; everything else printed to it (the
// engine's lines) goes to standard error from here on.
void separateResultsFromChatter() {
    fflush(stdout);
    const int resultsFd = dup(STDOUT_FILENO);
    FILE* file = resultsFd >= 0 ? fdopen(resultsFd, "w") : nullptr;
    if (file == nullptr) return;
    setvbuf(file, nullptr, _IOLBF, 0);
    results = file;
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void printPacedFigures(const Options& options, const Figures& figures) {
    const int dropped = options.count - figures.sent;
    fprintf(results, "frames submitted %d, sent %d, dropped %d (%.2f %%)\n", options.count,
            figures.sent, dropped, 100.0 * dropped / options.count);
    fprintf(results, "submission to sent: median %.2f ms, 99th percentile %.2f ms\n",
            figures.medianMs, figures.p99Ms);
}

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    separateResultsFromChatter();
    setenv("NDI_PORT", "0", 1);
    setenv("NDI_BIND", "127.0.0.1", 1);
    auto pictures = makePictures(options.width, options.height);
    Timeline timeline(options.count);
    theTimeline = &timeline;
    Receiver receiver;
    if (!warmUp(pictures, options, &receiver)) {
        fprintf(stderr, "engine-bench: could not set the sender and encoder up\n");
        return 1;
    }
    fprintf(results, "engine-bench: %dx%d, %s, %d frames, %ld cores, load average %.2f\n",
            options.width, options.height, rateText(options).c_str(), options.count,
            sysconf(_SC_NPROCESSORS_ONLN), loadAverage());
    setStageObserver(recordStage);
    theStageTimes.recording = true;
    timeline.limit = options.count;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    const MachineTime machineStart = machineTime();
    if (options.rate > 0)
        runPaced(pictures, options);
    else
        runAsFastAsTaken(pictures, options);
    waitMailboxIdle(10'000'000'000);
    if (options.rate <= 0) waitLastSend(options);
    const double engineCpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    {
        std::lock_guard<std::mutex> hold(theStageTimes.lock);
        theStageTimes.recording = false;
    }
    fprintf(results, "%.1f %% of the machine's CPU time stolen by its host meanwhile\n",
            100.0 * stolenShareSince(machineStart));
    const Figures figures = summarise(options);
    if (options.rate > 0) {
        printPacedFigures(options, figures);
        printStageMedians();
        return 0;
    }
    const double engineFps = figures.seconds > 0 ? figures.sent / figures.seconds : 0;
    const double engineCpuMs = figures.sent > 0 ? 1000.0 * engineCpu / figures.sent : 0;
    fprintf(results,
            "engine: %d frames in %.2f s, %.1f frames per second, %.2f ms CPU per frame "
            "(receiver included)\n",
            figures.sent, figures.seconds, engineFps, engineCpuMs);
    printStageMedians();
    const std::optional<Throughput> ffmpeg = timeFfmpeg(pictures, options);
    if (!ffmpeg) return 1;
    fprintf(results, "engine/ffmpeg: throughput ratio %.2f, CPU per frame ratio %.2f\n",
            engineFps / ffmpeg->framesPerSecond, engineCpuMs / ffmpeg->cpuMsPerFrame);
    return 0;
}
