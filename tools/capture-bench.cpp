// Times whole-screen captures of a 1920 x 1080 area into the capture buffer,
// beside ffmpeg's x11grab taking the same area of the same display.
//
//   xvfb-run -s "-screen 0 1920x1080x24" build/capture-bench [captures]
//
// Both figures are per frame, median and 99th percentile: ours timed around
// each capture, ffmpeg's from the grab times it stamps on its frames.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/prefs.h"
#include "capture/source_capture.h"
#include "common/globals.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

int benchOurs(int captures) {
    auto* buffer = static_cast<uint8_t*>(malloc(kMaxFrameBytes));
    if (buffer == nullptr) return 1;
    resetPrefs();
    thePrefs.scalingMode = 1;  // the 1920 x 1080 area from the first screen's corner
    NoOwnWindows surroundings;
    getTheBitmap(buffer, surroundings);  // connects and makes the shared segment
    if (captureWidth != 1920 || captureHeight != 1080) {
        printf("capture-bench: the screen capture gave %d x %d, not 1920 x 1080\n",
               captureWidth.load(), captureHeight.load());
        free(buffer);
        return 1;
    }
    std::vector<double> times;
    for (int i = 0; i < captures; ++i) {
        Clock::time_point start = Clock::now();
        getTheBitmap(buffer, surroundings);
        times.push_back(millisecondsSince(start));
    }
    printf(
        "ours, getTheBitmap into the capture buffer:  median %.3f ms, 99th percentile %.3f ms over "
        "%d captures\n",
        percentile(times, 0.5), percentile(times, 0.99), captures);
    // The window server's image alone, without the copy into the buffer:
    // what x11grab's figure compares with.
    times.clear();
    CapturedImage image;
    for (int i = 0; i < captures; ++i) {
        Clock::time_point start = Clock::now();
        windowServer().captureImage({0, 0, 1920, 1080}, CaptureFilter::allWindows, 0, image);
        times.push_back(millisecondsSince(start));
    }
    printf(
        "ours, window server image alone:            median %.3f ms, 99th percentile %.3f ms over "
        "%d captures\n",
        percentile(times, 0.5), percentile(times, 0.99), captures);
    free(buffer);
    return 0;
}

// x11grab stamps every frame with the wall clock when it grabs it, and
// -debug_ts prints the stamps: the gaps between them are its time per
// frame, ffmpeg's own start-up left out.
std::vector<double> ffmpegFrameGaps(const std::string& display, int frames) {
    std::string command =
        "ffmpeg -nostdin -debug_ts -f x11grab -draw_mouse 0 -framerate 10000 "
        "-video_size 1920x1080 -i " +
        display + " -frames:v " + std::to_string(frames) + " -c copy -f null - 2>&1";
    std::vector<double> gaps;
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return gaps;
    char line[4096];
    long long previous = -1;
    while (fgets(line, sizeof line, out) != nullptr) {
        const char* demuxed = strstr(line, "demuxer ->");
        const char* stamp = demuxed ? strstr(demuxed, "pkt_pts:") : nullptr;
        if (stamp == nullptr) continue;
        long long microseconds = atoll(stamp + strlen("pkt_pts:"));
        if (previous >= 0) gaps.push_back(static_cast<double>(microseconds - previous) / 1000.0);
        previous = microseconds;
    }
    pclose(out);
    return gaps;
}

void benchFfmpeg(const std::string& display, int captures) {
    constexpr int kWarmUp = 10;  // the first frames wait for ffmpeg to settle
    std::vector<double> gaps = ffmpegFrameGaps(display, captures + kWarmUp + 1);
    if (gaps.size() < static_cast<size_t>(captures + kWarmUp)) {
        printf("ffmpeg x11grab: could not run ffmpeg\n");
        return;
    }
    gaps.erase(gaps.begin(), gaps.begin() + kWarmUp);
    printf(
        "ffmpeg x11grab (frame to frame):            median %.3f ms, 99th percentile %.3f ms over "
        "%zu frames\n",
        percentile(gaps, 0.5), percentile(gaps, 0.99), gaps.size());
}

}  // namespace

int main(int argc, char** argv) {
    const char* display = getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        printf(
            "capture-bench: needs an X display; run it as\n"
            "  xvfb-run -s \"-screen 0 1920x1080x24\" capture-bench\n");
        return 1;
    }
    int captures = argc > 1 ? std::max(1, atoi(argv[1])) : 300;
    if (benchOurs(captures) != 0) return 1;
    benchFfmpeg(display, captures);
    return 0;
}
