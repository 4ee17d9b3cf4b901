// Times every source the program captures, each beside ffmpeg's x11grab
// taking the same rectangle of the same display in the same run.
#include <getopt.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "common/globals.h"
#include "settings/prefs.h"
#include "tools/machine_load.h"

namespace {

constexpr int kDefaultCaptures = 300;

const char kUsage[] =
    "usage: capture-bench [OPTION]...\n"
    "Times every capture source of the program on the X display named by DISPLAY: the\n"
    "display without the main window (a stand-in window is put on screen), the display\n"
    "with the cursor drawn in, the crop rectangle and an application's window. Each\n"
    "source is captured into the capture buffer, and ffmpeg's x11grab takes the same\n"
    "rectangle of the same display in the same run. One line per source: median and\n"
    "99th percentile per frame, ours and x11grab's (frame to frame). The default\n"
    "source is timed twice: on a still screen, and while a window partly under the\n"
    "main window changes all its pixels before each of our captures (and all the\n"
    "time while x11grab runs), as a playing video does, and while another window\n"
    "stands over part of the main window, as when the user works in front of it.\n"
    "\n"
    "  -n, --captures=N   captures per source (default 300)\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "Run it on a private X server, for example:\n"
    "  xvfb-run -s \"-screen 0 1920x1080x24\" capture-bench\n"
    "Results go to standard output, the program's own lines to standard error.\n"
    "Exit status: 0 done, 1 no display or a capture failed, 2 wrong usage.\n";

// The program's diagnostics go to standard output; here they are chatter,
// so they are sent to standard error and the results get their own stream.
FILE* results = stdout;

void separateResultsFromChatter() {
    fflush(stdout);
    int fd = dup(STDOUT_FILENO);
    FILE* stream = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (stream == nullptr) return;
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stream, nullptr, _IOLBF, 0);
    results = stream;
}

int usageError(const std::string& message) {
    fprintf(stderr, "capture-bench: %s\nTry 'capture-bench --help'.\n", message.c_str());
    return 2;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parseOptions(int argc, char** argv, int& captures) {
    static const option options[] = {{"captures", required_argument, nullptr, 'n'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'V'},
                                     {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":n:hV", options, nullptr)) != -1) {
        switch (c) {
            case 'n': {
                char* end = nullptr;
                long n = strtol(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || n < 1 || n > 1000000)
                    return usageError(std::string("invalid number of captures '") + optarg +
                                      "' (1 to 1000000)");
                captures = static_cast<int>(n);
                break;
            }
            case 'h':
                fputs(kUsage, stdout);
                return 0;
            case 'V':
                printf("capture-bench (NDITabrivo) %s\n", NDITABRIVO_VERSION);
                return 0;
            case ':':
                return usageError(std::string("option '") + argv[optind - 1] + "' needs a value");
            default:
                return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) return usageError(std::string("unexpected argument '") + argv[optind] + "'");
    return -1;
}

using Clock = std::chrono::steady_clock;

struct Figures {
    double median = 0;
    double p99 = 0;
    size_t count = 0;
};

Figures figuresOf(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    auto at = [&](double fraction) {
        return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5)];
    };
    return {at(0.5), at(0.99), values.size()};
}

// A rectangle of the screen in top-left pixels.
struct Area {
    int x, y, width, height;
};

// x11grab stamps every frame with the wall clock when it grabs it, and
// -debug_ts prints the stamps: the gaps between them are its time per
// frame, ffmpeg's own start-up left out.
Figures x11grab(const std::string& display, Area area, bool mouse, int captures) {
    constexpr int kWarmUp = 10;  // the first frames wait for ffmpeg to settle
    const std::string command = "ffmpeg -nostdin -debug_ts -f x11grab -draw_mouse " +
                                std::to_string(mouse ? 1 : 0) + " -framerate 10000 -video_size " +
                                std::to_string(area.width) + "x" + std::to_string(area.height) +
                                " -i " + display + "+" + std::to_string(area.x) + "," +
                                std::to_string(area.y) + " -frames:v " +
                                std::to_string(captures + kWarmUp + 1) + " -c copy -f null - 2>&1";
    std::vector<double> gaps;
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return {};
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
    if (gaps.size() <= static_cast<size_t>(kWarmUp)) return {};
    gaps.erase(gaps.begin(), gaps.begin() + kWarmUp);
    return figuresOf(gaps);
}

// The program's own windows, stood in for by plain windows of the sizes
// they have: what the default source and the crop source leave out.
struct StandIns : NoOwnWindows {
    QWidget* main = nullptr;
    QWidget* crop = nullptr;
    uint32_t mainWindowNumber() override { return static_cast<uint32_t>(main->winId()); }
    uint32_t cropWindowNumber() override { return static_cast<uint32_t>(crop->winId()); }
    FrameRect cropWindowFrame() override {
        const QRect g = crop->geometry();
        return {double(g.x()), mainScreenHeight - double(g.y() + g.height()), double(g.width()),
                double(g.height())};
    }
};

QWidget* showWindow(Area area, Qt::GlobalColor colour) {
    auto* window = new QWidget;
    window->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, colour);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    window->setGeometry(area.x, area.y, area.width, area.height);
    window->show();
    return window;
}

// Until every window is on screen and painted.
bool waitUntilShown(QApplication& app, const std::vector<QWidget*>& windows) {
    for (int round = 0; round < 500; ++round) {
        app.processEvents();
        std::vector<WindowInfo> list;
        windowServer().listWindows(list);
        size_t shown = 0;
        for (QWidget* w : windows) {
            for (const WindowInfo& info : list)
                if (info.windowNumber == static_cast<uint32_t>(w->winId()) && info.onScreen)
                    ++shown;
        }
        if (shown == windows.size()) {
            for (int i = 0; i < 20; ++i) app.processEvents();
            return true;
        }
        usleep(10000);
    }
    return false;
}

// A window of another client whose every pixel changes on request, as a
// playing video's do; each change is finished on the server before the
// request returns.
class ChangingWindow {
  public:
    explicit ChangingWindow(Area area) {
        connection_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection_)) return;
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root,
                          static_cast<int16_t>(area.x), static_cast<int16_t>(area.y),
                          static_cast<uint16_t>(area.width), static_cast<uint16_t>(area.height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(connection_, window_);
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, window_, 0, nullptr);
        whole_ = {0, 0, static_cast<uint16_t>(area.width), static_cast<uint16_t>(area.height)};
        change();
    }
    ~ChangingWindow() { xcb_disconnect(connection_); }
    bool ok() const { return window_ != 0; }
    void change() {
        colour_ = (colour_ * 1103515245u + 12345u) & 0xFFFFFFu;
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &colour_);
        xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &whole_);
        free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

  private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
    xcb_rectangle_t whole_{};
    uint32_t colour_ = 1;
};

// Keeps the window changing while x11grab runs, so that both are timed on
// a screen that changes.
class KeepChanging {
  public:
    explicit KeepChanging(ChangingWindow* window) {
        if (window == nullptr) return;
        thread_ = std::thread([this, window] {
            while (!stop_.load()) {
                window->change();
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    ~KeepChanging() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Source {
    const char* name;
    Area area;
    bool mouse;
    void (*choose)();
    bool changing = false;
    bool mainCovered = false;  // another window over part of the main window
};

Figures timeOurs(uint8_t* buffer, CaptureSurroundings& surroundings, int captures,
                 ChangingWindow* changing) {
    getTheBitmap(buffer, surroundings);  // connects, makes the canvas
    std::vector<double> times;
    for (int i = 0; i < captures; ++i) {
        if (changing != nullptr) changing->change();
        const Clock::time_point start = Clock::now();
        getTheBitmap(buffer, surroundings);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return figuresOf(times);
}

void printHeader(const std::string& display, Area screen, int captures) {
    fprintf(results,
            "capture-bench on %s, first screen %d x %d, %d captures per source, %ld cores, load "
            "average %.2f\n",
            display.c_str(), screen.width, screen.height, captures, sysconf(_SC_NPROCESSORS_ONLN),
            loadAverage());
    fprintf(results, "%-44s %-20s %12s %10s %16s %10s\n", "source", "rectangle", "ours median",
            "ours p99", "x11grab median", "x11grab p99");
}

int benchAll(QApplication& app, const std::string& display, int captures) {
    const std::vector<ScreenInfo> screens = windowServer().screens();
    if (screens.empty()) return 1;
    mainScreenHeight = static_cast<float>(windowServer().mainScreenHeight());
    const Area screen{0, 0, int(screens[0].frame.width), int(screens[0].frame.height)};
    // An application's window on the left, the main window over part of
    // it, and the crop window to the right: the left-out windows cover
    // both the desktop and another window.
    const Area application{0, 0, screen.width / 2, screen.height * 2 / 3};
    const Area main{screen.width / 3, screen.height / 3, 800, 600};
    const Area crop{screen.width / 2, screen.height / 6, screen.width * 2 / 5,
                    screen.height * 2 / 5};
    StandIns standIns;
    QWidget* app1 = showWindow(application, Qt::darkCyan);
    app1->setWindowTitle("Application");
    standIns.crop = showWindow(crop, Qt::red);
    // Over the others but under the main window, which is mapped after it.
    ChangingWindow video(
        {screen.width / 2, screen.height / 2, screen.width * 2 / 5, screen.height * 2 / 5});
    standIns.main = showWindow(main, Qt::lightGray);
    // Shown over the main window's lower right quarter only while its
    // source is timed: the user works in front of the program's window.
    QWidget* cover = showWindow({main.x + 400, main.y + 300, 600, 500}, Qt::darkYellow);
    cover->hide();
    if (!video.ok() || !waitUntilShown(app, {app1, standIns.crop, standIns.main})) {
        fprintf(stderr, "capture-bench: the stand-in windows did not come on screen\n");
        return 1;
    }
    uint8_t* buffer = allocateCaptureBuffer();
    if (buffer == nullptr || loadCursorPicture() != 0) return 1;
    static AppRecord record;
    record.windowCount = 1;
    record.windows[0].bounds = {double(application.x), double(application.y),
                                double(application.width), double(application.height)};
    record.windows[0].windowNumber = static_cast<uint32_t>(app1->winId());
    theAppList = &record;
    theAppCount = 1;

    const Source sources[] = {
        {"display without the main window (default)", screen, false, [] {}},
        {"  the same, a window changing", screen, false, [] {}, true},
        {"  the same, a window over part of the main", screen, false, [] {}, false, true},
        {"display with the cursor drawn in", screen, true, [] { thePrefs.showMouse = 1; }},
        {"crop rectangle (below the crop window)", crop, false, [] { thePrefs.cropWindow = 1; }},
        {"application window (Composite)", application, false,
         [] { thePrefs.screenOrAppMode = 1; }},
    };
    printHeader(display, screen, captures);
    const MachineTime machineStart = machineTime();
    int status = 0;
    for (const Source& source : sources) {
        resetPrefs();
        source.choose();
        captureWidth = 0;
        ChangingWindow* changing = source.changing ? &video : nullptr;
        if (source.mainCovered) {
            cover->show();
            cover->raise();
            if (!waitUntilShown(app, {cover})) return 1;
        }
        const Figures ours = timeOurs(buffer, standIns, captures, changing);
        if (captureWidth != source.area.width) {
            fprintf(stderr, "capture-bench: %s gave a picture %d wide, not %d\n", source.name,
                    captureWidth.load(), source.area.width);
            status = 1;
        }
        Figures theirs;
        {
            KeepChanging meanwhile(changing);
            theirs = x11grab(display, source.area, source.mouse, captures);
        }
        const std::string rect =
            std::to_string(source.area.width) + "x" + std::to_string(source.area.height) + "+" +
            std::to_string(source.area.x) + "+" + std::to_string(source.area.y);
        fprintf(results, "%-44s %-20s %9.3f ms %7.3f ms %13.3f ms %7.3f ms\n", source.name,
                rect.c_str(), ours.median, ours.p99, theirs.median, theirs.p99);
        if (theirs.count == 0) fprintf(stderr, "capture-bench: ffmpeg's x11grab did not run\n");
        if (source.mainCovered) cover->hide();
    }
    fprintf(results, "%.1f %% of the machine's CPU time stolen by its host meanwhile\n",
            100.0 * stolenShareSince(machineStart));
    theAppList = nullptr;
    theAppCount = 0;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int captures = kDefaultCaptures;
    const int parsed = parseOptions(argc, argv, captures);
    if (parsed >= 0) return parsed;
    const char* display = getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        fprintf(stderr,
                "capture-bench: needs an X display; run it as\n"
                "  xvfb-run -s \"-screen 0 1920x1080x24\" capture-bench\n");
        return 1;
    }
    separateResultsFromChatter();
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    return benchAll(app, display, captures);
}
