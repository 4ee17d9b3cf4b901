// engine-bench: feeds pictures through the frame mailbox to the real encoder
// and a receiver on loopback, reports how many frames went out and how long
// each took from submission to the end of its send, then times ffmpeg's
// libx264 on the same pictures and prints the ratio of the two throughputs.
//
//   engine-bench [--size WIDTHxHEIGHT] [--rate PER_SECOND|max] [--count N]
//
// Defaults: 1920x1080, 60 submissions per second, 600 frames. "max" submits
// each frame as soon as the sender has taken the one before ("as fast as
// taken"). Run it on a quiet machine: the figures are only as good as that.

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "engine/engine.h"
#include "platform/ndi/ndi.h"

namespace {

// Distinct pictures cycled through: up to 30, fewer for large sizes so the
// set (and ffmpeg's copy of it on disk) stays near 256 MB.
constexpr int kMaxDistinctPictures = 30;
constexpr int64_t kPictureBudgetBytes = int64_t{256} << 20;
constexpr int kWarmUpFrames = 10;

struct Options {
    int width = 1920;
    int height = 1080;
    double rate = 60.0;  // submissions per second; 0: as fast as taken
    int count = 600;
};

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

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) return false;
        ++i;
        if (arg == "--size") {
            if (sscanf(value, "%dx%d", &options->width, &options->height) != 2) return false;
        } else if (arg == "--rate") {
            options->rate = strcmp(value, "max") == 0 ? 0.0 : atof(value);
            if (!(options->rate >= 0.0)) return false;
        } else if (arg == "--count") {
            options->count = atoi(value);
        } else {
            return false;
        }
    }
    return options->width >= 16 && options->height >= 16 && options->width % 2 == 0 &&
           options->height % 2 == 0 && options->width <= kMaxFrameWidth &&
           options->height <= kMaxFrameHeight && options->count > 0;
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
    // Wakes the "as fast as taken" producer when a send ends, so it does not
    // spin against the encoder's threads.
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

bool waitMailboxIdle(int64_t timeoutNs) {
    const int64_t deadline = nowNs() + timeoutNs;
    while (!mailboxIdle()) {
        if (nowNs() > deadline) return false;
        std::this_thread::yield();
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

void runAsFastAsTaken(std::vector<std::vector<uint8_t>>& pictures, const Options& options) {
    for (int i = 0; i < options.count; ++i) {
        waitMailboxIdle(5'000'000'000);
        int64_t endedBefore = 0;
        {
            std::lock_guard<std::mutex> hold(theTimeline->lock);
            endedBefore = theTimeline->sendsEnded;
        }
        theTimeline->submittedAt[i] = nowNs();
        submit(pictures[i % pictures.size()], options, uint32_t(i));
        // Sleep through the send; the mailbox is free a moment after it ends.
        std::unique_lock<std::mutex> hold(theTimeline->lock);
        theTimeline->sendEnded.wait_for(hold, std::chrono::milliseconds(100),
                                        [&] { return theTimeline->sendsEnded > endedBefore; });
    }
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

// Frames per second of ffmpeg encoding options.count of the same pictures
// (read back from a raw file, looped) with its default constant quality, the
// one the engine's encoder keeps too, or 0 when ffmpeg fails.
double timeFfmpeg(const std::vector<std::vector<uint8_t>>& pictures, const Options& options) {
    const char* tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/engine-bench-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) return 0;
    bool written = true;
    for (const auto& picture : pictures)
        written = written && write(fd, picture.data(), picture.size()) == ssize_t(picture.size());
    close(fd);
    const int distinct = int(pictures.size());
    const int loops = (options.count + distinct - 1) / distinct - 1;
    char command[1024];
    snprintf(command, sizeof command,
             "ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt bgra -s %dx%d -r 60 "
             "-stream_loop %d -i '%s' -frames:v %d -c:v libx264 -preset ultrafast "
             "-tune zerolatency -f null -",
             options.width, options.height, loops, path.c_str(), options.count);
    const int64_t start = nowNs();
    const int status = written ? system(command) : -1;
    const double seconds = double(nowNs() - start) / 1e9;
    remove(path.c_str());
    if (status != 0) {
        printf("ffmpeg failed (status %d)\n", status);
        return 0;
    }
    printf("ffmpeg libx264 ultrafast/zerolatency: %d frames in %.2f s, %.1f frames per second\n",
           options.count, seconds, options.count / seconds);
    return options.count / seconds;
}

std::string rateText(const Options& options) {
    if (options.rate <= 0) return "as fast as taken";
    char text[64];
    snprintf(text, sizeof text, "%g submissions per second", options.rate);
    return text;
}

double loadAverage() {
    double load = -1;
    if (FILE* f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &load) != 1) load = -1;
        fclose(f);
    }
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: engine-bench [--size WIDTHxHEIGHT] [--rate PER_SECOND|max] [--count N]\n");
        return 2;
    }
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
    printf("engine-bench: %dx%d, %s, %d frames, load average %.2f\n", options.width, options.height,
           rateText(options).c_str(), options.count, loadAverage());
    timeline.limit = options.count;
    if (options.rate > 0)
        runPaced(pictures, options);
    else
        runAsFastAsTaken(pictures, options);
    waitMailboxIdle(10'000'000'000);
    const Figures figures = summarise(options);
    const int dropped = options.count - figures.sent;
    const double engineFps = figures.seconds > 0 ? figures.sent / figures.seconds : 0;
    printf("frames submitted %d\n", options.count);
    printf("frames sent %d\n", figures.sent);
    printf("frames dropped %d (%.2f %%)\n", dropped, 100.0 * dropped / options.count);
    printf("sent frames per second %.1f\n", engineFps);
    printf("submission to sent: median %.2f ms, 99th percentile %.2f ms\n", figures.medianMs,
           figures.p99Ms);
    const double ffmpegFps = timeFfmpeg(pictures, options);
    printf("engine/ffmpeg throughput ratio %.2f\n", ffmpegFps > 0 ? engineFps / ffmpegFps : 0.0);
    return 0;
}
