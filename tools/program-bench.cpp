// program-bench: the whole program beside ffmpeg, on one private X server
// with moving content (ffplay showing testsrc2). First the program publishes
// the screen to one receiver (ndi-recv) for the measured seconds; then ffmpeg
// grabs the same screen with x11grab and encodes it with libx264 at the same
// size, rate, preset, tune, profile and 4:2:0. For each it prints frames per
// second, CPU per second and CPU milliseconds per frame, then the two ratios.
// ffmpeg gets the rate control the program's encoder takes from the bit-rate
// setting (constant quality capped by a maximum rate and a buffer, and an IDR
// at least every 100 pictures), so the ratios compare equal work. With
// --runs N the rounds alternate, and with --compare-dir an older build runs
// in each round too; a summary gives each side's spread and table rows.
// With --idle it measures the program alone instead: static screen, no
// receiver. With --busy N, N processes spin beside both measurements, as on
// a machine busy with other work.
//
// Frames are counted the same way for both: the H.264 byte stream (ndi-recv's
// for the program, ffmpeg's own for ffmpeg) arrives on a pipe, and every slice
// that starts a picture counts one frame. CPU is the process's user and
// system time from /proc, all threads, sampled at the start and end of the
// measured window, after a warm-up. The same window gives each thread's CPU
// and the time it waited, runnable, for a core (/proc/PID/task/*/schedstat),
// summed over the threads of one name: which thread is late, and by how much.

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/encoder.h"
#include "engine/engine.h"
#include "tools/command_line.h"
#include "tools/machine_load.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int width = 1920;
    int height = 1080;
    int rate = 60;
    double seconds = 15;
    double warmUp = 3;
    int display = 0;  // 0: the first free one from :90
    bool idle = false;
    bool half = false;  // high-density screen with pre-scaling: the half-size path
    bool programOnly = false;
    bool ffmpegOnly = false;
    int busy = 0;         // busy loops beside both measurements
    int bitRateMode = 0;  // the program's bit-rate menu item, 0 (24 Mbit/s) to 6
    int runs = 1;
    bool keepStreams = false;  // the last round's streams stay in the work folder
    int contentPercent = 67;   // of each side of the screen the moving picture covers
    std::string buildDir;
    std::string compareDir;  // an older build run in each round too; empty: none
};

// One thread name's share of a measured window.
struct ThreadUse {
    int threads = 0;
    double cpuSeconds = 0;
    double waitSeconds = 0;  // runnable, waiting for a core
    long wakeUps = 0;        // times it was put on a core
};

struct Measure {
    long frames = 0;
    long bytes = 0;  // of the H.264 stream: equal work sends about as many
    double cpuSeconds = 0;
    double wallSeconds = 0;
    double stolenShare = -1;  // of the machine's CPU time, by the hypervisor; < 0 unknown
    double load = -1;         // 1-minute load average at the start of the window
    std::map<std::string, ThreadUse> threads;
};

constexpr const char* kUsage =
    "usage: program-bench [OPTION]...\n"
    "Runs the program and ffmpeg in turn on one private X server with moving\n"
    "content and compares frames per second and CPU per frame. Each line also\n"
    "gives the share of the machine's CPU time a busy virtual-machine host took\n"
    "for other guests while it was measured (stolen): compare runs with little.\n"
    "\n"
    "  -s, --size SIZE      1080p, 2160p or WIDTHxHEIGHT (default 1080p)\n"
    "  -r, --rate N         frames per second asked of ffmpeg and announced by the\n"
    "                       program (25, 30, 50 or 60; default 60)\n"
    "  -t, --seconds S      measured seconds (default 15)\n"
    "  -w, --warm-up S      seconds before measuring (default 3)\n"
    "      --half           high-density screen with pre-scaling on: the program\n"
    "                       sends at half size, ffmpeg scales to half size\n"
    "      --idle           the program alone, static screen, no receiver\n"
    "      --busy N         N processes spinning beside both measurements (0 to 64,\n"
    "                       default 0), as on a busy machine\n"
    "      --bit-rate N     the program's bit-rate item, 0 (24 Mbit/s, the default)\n"
    "                       to 6 (2 Mbit/s); ffmpeg gets the same quality, maximum\n"
    "                       rate and buffer\n"
    "      --content P      the moving picture covers P % of each side of the\n"
    "                       screen (10 to 100, default 67)\n"
    "      --keep-streams   keep each side's H.264 stream of the last round in the\n"
    "                       folder of the logs, to compare what was sent\n"
    "      --runs N         rounds, program then ffmpeg in each (default 1)\n"
    "      --compare-dir DIR  also run the program of another build (say the one\n"
    "                       before a change) first in each round\n"
    "      --program-only   skip ffmpeg\n"
    "      --ffmpeg-only    skip the program\n"
    "  -d, --display N      X display number (default: first free from 90)\n"
    "  -b, --build-dir DIR  where NDITabrivo and ndi-recv are (default: beside\n"
    "                       this program)\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n";

[[noreturn]] void badUsage(const char* what, const char* value) {
    ::badUsage("program-bench", what, value);
}

bool parseSize(const char* text, Options* options) {
    return parseFrameSize(text, 64, &options->width, &options->height);
}

bool parseDouble(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= low && value <= high)) return false;
    *out = value;
    return true;
}

// A whole number from low to high, else the bench ends naming the value.
int wholeNumber(const char* text, int low, int high, const char* what) {
    double number = 0;
    if (!parseDouble(text, low, high, &number) || number != int(number)) badUsage(what, text);
    return int(number);
}

std::string directoryOf(const char* path) {
    std::string text = path;
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    options.buildDir = directoryOf(argv[0]);
    enum {
        kHalf = 256,
        kIdle,
        kProgramOnly,
        kFfmpegOnly,
        kBusy,
        kBitRate,
        kRuns,
        kCompare,
        kContent,
        kKeep
    };
    static const option longOptions[] = {
        {"size", required_argument, nullptr, 's'},
        {"rate", required_argument, nullptr, 'r'},
        {"seconds", required_argument, nullptr, 't'},
        {"warm-up", required_argument, nullptr, 'w'},
        {"display", required_argument, nullptr, 'd'},
        {"build-dir", required_argument, nullptr, 'b'},
        {"half", no_argument, nullptr, kHalf},
        {"idle", no_argument, nullptr, kIdle},
        {"program-only", no_argument, nullptr, kProgramOnly},
        {"ffmpeg-only", no_argument, nullptr, kFfmpegOnly},
        {"busy", required_argument, nullptr, kBusy},
        {"bit-rate", required_argument, nullptr, kBitRate},
        {"runs", required_argument, nullptr, kRuns},
        {"keep-streams", no_argument, nullptr, kKeep},
        {"content", required_argument, nullptr, kContent},
        {"compare-dir", required_argument, nullptr, kCompare},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":s:r:t:w:d:b:hV", longOptions, nullptr)) != -1) {
        double number = 0;
        switch (c) {
            case 's':
                if (!parseSize(optarg, &options)) badUsage("bad size", optarg);
                break;
            case 'r':
                if (strcmp(optarg, "25") != 0 && strcmp(optarg, "30") != 0 &&
                    strcmp(optarg, "50") != 0 && strcmp(optarg, "60") != 0)
                    badUsage("bad rate (25, 30, 50 or 60)", optarg);
                options.rate = atoi(optarg);
                break;
            case 't':
                if (!parseDouble(optarg, 1, 3600, &options.seconds))
                    badUsage("bad seconds", optarg);
                break;
            case 'w':
                if (!parseDouble(optarg, 0, 600, &options.warmUp)) badUsage("bad warm-up", optarg);
                break;
            case 'd':
                if (!parseDouble(optarg, 1, 9999, &number)) badUsage("bad display", optarg);
                options.display = int(number);
                break;
            case 'b':
                options.buildDir = optarg;
                break;
            case kHalf:
                options.half = true;
                break;
            case kIdle:
                options.idle = true;
                break;
            case kProgramOnly:
                options.programOnly = true;
                break;
            case kFfmpegOnly:
                options.ffmpegOnly = true;
                break;
            case kBusy:
                options.busy = wholeNumber(optarg, 0, 64, "bad number of busy loops (0 to 64)");
                break;
            case kBitRate:
                options.bitRateMode = wholeNumber(optarg, 0, 6, "bad bit-rate item (0 to 6)");
                break;
            case kRuns:
                options.runs = wholeNumber(optarg, 1, 100, "bad number of runs (1 to 100)");
                break;
            case kKeep:
                options.keepStreams = true;
                break;
            case kContent:
                options.contentPercent =
                    wholeNumber(optarg, 10, 100, "bad content share (10 to 100)");
                break;
            case kCompare:
                options.compareDir = optarg;
                break;
            default:
                handleCommonOption("program-bench", kUsage, c, argv);
                badUsage("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc) badUsage("unexpected argument", argv[optind]);
    return options;
}

// Children: each spawned with extra environment entries, its standard output
// to a file or a pipe, its standard error to a log file.
struct Child {
    pid_t pid = -1;
    int outFd = -1;  // read end of its standard output, when piped
};

Child spawnChild(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
                 const std::string& logPath, bool pipeOut) {
    std::vector<std::string> envText(extraEnv);
    for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
    std::vector<char*> env, argv;
    for (auto& e : envText) env.push_back(e.data());
    env.push_back(nullptr);
    std::vector<std::string> argText(args);
    for (auto& a : argText) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (pipeOut && pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    if (pipeOut)
        posix_spawn_file_actions_adddup2(&files, fds[1], 1);
    else
        posix_spawn_file_actions_addopen(&files, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    posix_spawn_file_actions_addopen(&files, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    Child child;
    if (posix_spawnp(&child.pid, argv[0], &files, nullptr, argv.data(), env.data()) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&files);
    if (pipeOut) {
        close(fds[1]);
        child.outFd = fds[0];
    }
    return child;
}

// Asks politely, then insists: the bench never leaves a child behind.
void stopChild(Child& child) {
    if (child.pid <= 0) return;
    kill(child.pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(child.pid, nullptr, WNOHANG) == child.pid) {
            child.pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    if (child.outFd >= 0) close(child.outFd);
    child.outFd = -1;
}

// User plus system time of a process, all its threads, in seconds.
double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Counts pictures in an H.264 Annex B stream: a coded slice (NAL type 1 or
// 5) whose first_mb_in_slice is 0 (its first bit set) starts a picture.
class PictureCounter {
  public:
    void feed(const uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i) step(data[i]);
        bytes_ += long(size);
    }
    long pictures() const { return pictures_.load(); }
    long bytes() const { return bytes_.load(); }

  private:
    void step(uint8_t byte) {
        if (state_ == kHeader) {
            const int type = byte & 0x1F;
            state_ = (type == 1 || type == 5) ? kFirstMb : kBody;
        } else if (state_ == kFirstMb) {
            if ((byte & 0x80) != 0) ++pictures_;
            state_ = kBody;
        }
        if (byte == 1 && zeros_ >= 2) state_ = kHeader;
        zeros_ = byte == 0 ? zeros_ + 1 : 0;
    }
    enum State { kBody, kHeader, kFirstMb };
    State state_ = kBody;
    int zeros_ = 0;
    std::atomic<long> pictures_{0};
    std::atomic<long> bytes_{0};
};

// Reads a child's stream on a thread of its own until it closes.
struct StreamWatch {
    PictureCounter counter;
    std::thread reader;
    // keepPath: where to keep a copy of the stream; empty: nowhere.
    StreamWatch(int fd, const std::string& keepPath) {
        reader = std::thread([this, fd, keepPath] {
            FILE* keep = keepPath.empty() ? nullptr : fopen(keepPath.c_str(), "wb");
            std::vector<uint8_t> buffer(1 << 16);
            for (;;) {
                const ssize_t n = read(fd, buffer.data(), buffer.size());
                if (n <= 0) break;
                counter.feed(buffer.data(), size_t(n));
                if (keep != nullptr) fwrite(buffer.data(), 1, size_t(n), keep);
            }
            if (keep != nullptr) fclose(keep);
        });
    }
    ~StreamWatch() {
        if (reader.joinable()) reader.join();
    }
};

void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// What the scheduler counted for one thread so far.
struct ThreadSample {
    std::string name;
    double cpuSeconds = 0;
    double waitSeconds = 0;
    long wakeUps = 0;
};

std::string firstLineOf(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Every thread of pid, by thread id.
std::map<int, ThreadSample> sampleThreads(pid_t pid) {
    std::map<int, ThreadSample> samples;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (tasks == nullptr) return samples;
    while (const dirent* entry = readdir(tasks)) {
        const int tid = atoi(entry->d_name);
        if (tid <= 0) continue;
        const std::string task = dir + "/" + entry->d_name;
        std::istringstream stat(firstLineOf(task + "/schedstat"));
        unsigned long long run = 0, wait = 0, slices = 0;
        if (!(stat >> run >> wait >> slices)) continue;
        samples[tid] = {firstLineOf(task + "/comm"), double(run) / 1e9, double(wait) / 1e9,
                        long(slices)};
    }
    closedir(tasks);
    return samples;
}

// The window's share of each thread name; threads born in the window count
// from zero.
std::map<std::string, ThreadUse> threadUseBetween(const std::map<int, ThreadSample>& start,
                                                  const std::map<int, ThreadSample>& end) {
    std::map<std::string, ThreadUse> use;
    for (const auto& [tid, last] : end) {
        const auto first = start.find(tid);
        const ThreadSample zero{};
        const ThreadSample& from = first != start.end() ? first->second : zero;
        ThreadUse& u = use[last.name];
        ++u.threads;
        u.cpuSeconds += last.cpuSeconds - from.cpuSeconds;
        u.waitSeconds += last.waitSeconds - from.waitSeconds;
        u.wakeUps += last.wakeUps - from.wakeUps;
    }
    return use;
}

// Frames and CPU of pid over the measured window, after the warm-up.
Measure measureWindow(pid_t pid, const PictureCounter* counter, const Options& options) {
    sleepSeconds(options.warmUp);
    Measure m;
    const Clock::time_point start = Clock::now();
    const MachineTime machineStart = machineTime();
    const double cpuStart = cpuSecondsOf(pid);
    const std::map<int, ThreadSample> threadsStart = sampleThreads(pid);
    const long framesStart = counter != nullptr ? counter->pictures() : 0;
    const long bytesStart = counter != nullptr ? counter->bytes() : 0;
    m.load = loadAverage();
    sleepSeconds(options.seconds);
    m.stolenShare = stolenShareSince(machineStart);
    m.threads = threadUseBetween(threadsStart, sampleThreads(pid));
    m.cpuSeconds = cpuSecondsOf(pid) - cpuStart;
    m.frames = (counter != nullptr ? counter->pictures() : 0) - framesStart;
    m.bytes = (counter != nullptr ? counter->bytes() : 0) - bytesStart;
    m.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return m;
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

int freeDisplay() {
    for (int n = 90; n < 200; ++n) {
        if (!pathExists("/tmp/.X11-unix/X" + std::to_string(n)) &&
            !pathExists("/tmp/.X" + std::to_string(n) + "-lock"))
            return n;
    }
    return -1;
}

bool waitFor(const std::string& path, double seconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
    while (!pathExists(path)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool portListens(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool waitForPort(int port, double seconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
    while (!portListens(port)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The frame-rate menu offers 25, 29.97, 50 and 60; 30 announces 29.97.
int frameRateModeFor(int rate) {
    switch (rate) {
        case 25:
            return 0;
        case 30:
            return 1;
        case 50:
            return 2;
        default:
            return 3;
    }
}

std::string writeSettings(const std::string& configHome, const Options& options) {
    const std::string dir = configHome + "/NDITabrivo";
    mkdir(dir.c_str(), 0700);
    std::ofstream out(dir + "/NDITabrivo.conf");
    out << "[General]\n"
        << "theFrameRateMode=" << frameRateModeFor(options.rate) << "\n"
        << "prescaleIt=" << (options.half ? 1 : 0) << "\n"
        << "theBitRateMode=" << options.bitRateMode << "\n"
        << "audioInput=0\n";
    return dir;
}

// Processes that only spin, as other work on a busy machine would; they die
// with the bench, however it ends.
struct BusyLoops {
    std::vector<pid_t> pids;

    bool start(int count) {
        const pid_t parent = getpid();
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid < 0) return false;
            if (pid == 0) spin(parent);
            pids.push_back(pid);
        }
        return true;
    }
    [[noreturn]] static void spin(pid_t parent) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        for (;;) asm volatile("" ::: "memory");
    }
    void stop() {
        for (const pid_t pid : pids) kill(pid, SIGKILL);
        for (const pid_t pid : pids) waitpid(pid, nullptr, 0);
        pids.clear();
    }
};

struct Bench {
    Options options;
    std::string workDir;
    std::string displayName;
    Child xserver;
    Child content;
    BusyLoops busy;

    std::string log(const char* name) const { return workDir + "/" + name + ".log"; }
    std::string keptStream(const char* name) const {
        return options.keepStreams ? workDir + "/" + name + ".h264" : std::string();
    }
    std::string displayEnv() const { return "DISPLAY=" + displayName; }

    bool startScreen() {
        int number = options.display != 0 ? options.display : freeDisplay();
        if (number < 0) return false;
        displayName = ":" + std::to_string(number);
        const std::string size =
            std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
        xserver = spawnChild({"Xvfb", displayName, "-screen", "0", size, "-nolisten", "tcp"}, {},
                             log("xvfb"), false);
        return xserver.pid > 0 && waitFor("/tmp/.X11-unix/X" + std::to_string(number), 10);
    }

    // A moving test picture at the top left, two thirds of the screen's sides
    // unless asked otherwise.
    bool startContent() {
        const int w = options.width * options.contentPercent / 100 / 2 * 2;
        const int h = options.height * options.contentPercent / 100 / 2 * 2;
        const std::string source = "testsrc2=size=" + std::to_string(w) + "x" + std::to_string(h) +
                                   ":rate=" + std::to_string(options.rate);
        content = spawnChild({"ffplay", "-hide_banner", "-loglevel", "error", "-an", "-noborder",
                              "-left", "0", "-top", "0", "-f", "lavfi", source},
                             {displayEnv(), "SDL_AUDIODRIVER=dummy"}, log("ffplay"), false);
        sleepSeconds(1.0);
        return content.pid > 0 && waitpid(content.pid, nullptr, WNOHANG) == 0;
    }

    std::optional<Measure> runProgram(const std::string& buildDir) {
        const int port = freeLoopbackPort();
        const std::string configHome = workDir + "/config";
        mkdir(configHome.c_str(), 0700);
        writeSettings(configHome, options);
        std::vector<std::string> env = {
            displayEnv(), "QT_QPA_PLATFORM=xcb", "NDI_PORT=" + std::to_string(port),
            "NDI_BIND=127.0.0.1", "NDITABRIVO_AUDIO_BACKEND=dummy",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
            // The update check stays on loopback: nobody there.
            "NDITABRIVO_UPDATE_HOST=127.0.0.1:1", "XDG_CONFIG_HOME=" + configHome};
        if (options.half) env.push_back("QT_SCALE_FACTOR=2");
        Child program = spawnChild({buildDir + "/NDITabrivo"}, env, log("program"), false);
        if (program.pid <= 0 || !waitForPort(port, 20)) {
            fprintf(stderr, "program-bench: the program did not listen on port %d (see %s)\n", port,
                    log("program").c_str());
            stopChild(program);
            return std::nullopt;
        }
        Measure m;
        if (options.idle) {
            m = measureWindow(program.pid, nullptr, options);
        } else {
            const double total = options.warmUp + options.seconds + 2;
            Child receiver = spawnChild(
                {buildDir + "/ndi-recv", "--host", "127.0.0.1", "--port", std::to_string(port),
                 "--seconds", std::to_string(total), "--video", "-"},
                {}, log("ndi-recv"), true);
            if (receiver.pid <= 0) {
                stopChild(program);
                return std::nullopt;
            }
            StreamWatch watch(receiver.outFd, keptStream("program"));
            m = measureWindow(program.pid, &watch.counter, options);
            stopChild(receiver);
        }
        stopChild(program);
        return m;
    }

    std::vector<std::string> ffmpegCommand() const {
        const std::string size =
            std::to_string(options.width) + "x" + std::to_string(options.height);
        std::vector<std::string> command = {
            "ffmpeg",      "-nostdin",   "-hide_banner",
            "-loglevel",   "error",      "-f",
            "x11grab",     "-framerate", std::to_string(options.rate),
            "-video_size", size,         "-draw_mouse",
            "0",           "-i",         displayName + ".0+0,0"};
        if (options.half) {
            const std::string half =
                std::to_string(options.width / 2) + ":" + std::to_string(options.height / 2);
            command.insert(command.end(), {"-vf", "scale=" + half + ":flags=neighbor"});
        }
        // As the program's encoder: its quality and cap from the bit-rate
        // item, the same buffer, and an IDR at least every 100 pictures.
        const int32_t bitRate = bitRateForMode(options.bitRateMode);
        command.insert(command.end(),
                       {"-c:v",       "libx264",
                        "-preset",    "ultrafast",
                        "-tune",      "zerolatency",
                        "-profile:v", "baseline",
                        "-crf",       std::to_string(qualityForMode(options.bitRateMode)),
                        "-maxrate",   std::to_string(bitRate) + "k",
                        "-bufsize",   std::to_string(qualityVbvBufferKbit(bitRate)) + "k",
                        "-g",         "100",
                        "-pix_fmt",   "yuv420p",
                        "-f",         "h264",
                        "-"});
        return command;
    }

    std::optional<Measure> runFfmpeg() {
        const std::vector<std::string> command = ffmpegCommand();
        std::string text;
        for (const auto& part : command) text += (text.empty() ? "" : " ") + part;
        printf("ffmpeg command: %s\n", text.c_str());
        Child ffmpeg = spawnChild(command, {}, log("ffmpeg"), true);
        if (ffmpeg.pid <= 0) return std::nullopt;
        std::optional<Measure> m;
        {
            StreamWatch watch(ffmpeg.outFd, keptStream("ffmpeg"));
            m = measureWindow(ffmpeg.pid, &watch.counter, options);
            kill(ffmpeg.pid, SIGTERM);  // ends the stream, so the reader returns
        }
        stopChild(ffmpeg);
        return m;
    }

    void stopAll() {
        busy.stop();
        stopChild(content);
        stopChild(xserver);
    }
};

double framesPerSecond(const Measure& m) { return m.frames / m.wallSeconds; }
double cpuMsPerFrame(const Measure& m) {
    return m.frames > 0 ? 1000.0 * m.cpuSeconds / double(m.frames) : 0;
}

void printMeasure(const char* name, const Measure& m) {
    const double cpuPercent = 100.0 * m.cpuSeconds / m.wallSeconds;
    printf("%-8s %6ld frames in %5.2f s: %6.2f frames per second, CPU %6.1f %% of one core", name,
           m.frames, m.wallSeconds, framesPerSecond(m), cpuPercent);
    if (m.frames > 0) printf(", %6.2f ms CPU per frame", cpuMsPerFrame(m));
    printf(", %.1f Mbit/s, load %.2f", 8e-6 * double(m.bytes) / m.wallSeconds, m.load);
    if (m.stolenShare >= 0) printf(", %.1f %% stolen", 100.0 * m.stolenShare);
    printf("\n");
}

// The threads that used or waited for a core at least 1 % of the window,
// with their CPU per frame: where a frame's CPU goes, which load changes far
// less than it changes frame rates.
void printThreads(const Measure& m) {
    for (const auto& [name, use] : m.threads) {
        if (use.cpuSeconds + use.waitSeconds < 0.01 * m.wallSeconds) continue;
        printf("  %-16s x%-2d CPU %6.1f %% of a core", name.c_str(), use.threads,
               100.0 * use.cpuSeconds / m.wallSeconds);
        if (m.frames > 0) printf(" (%6.2f ms a frame)", 1000.0 * use.cpuSeconds / double(m.frames));
        printf(", waited for a core %6.1f %%", 100.0 * use.waitSeconds / m.wallSeconds);
        if (use.wakeUps > 0)
            printf(", %.2f ms a time on it", 1000.0 * use.waitSeconds / double(use.wakeUps));
        printf("\n");
    }
}

// One side's measures over the rounds.
struct Side {
    std::string name;
    std::vector<Measure> rounds;
};

void printSpread(const Side& side) {
    if (side.rounds.empty()) return;
    double fpsLow = 1e9, fpsHigh = 0, cpuLow = 1e9, cpuHigh = 0;
    for (const Measure& m : side.rounds) {
        fpsLow = std::min(fpsLow, framesPerSecond(m));
        fpsHigh = std::max(fpsHigh, framesPerSecond(m));
        cpuLow = std::min(cpuLow, cpuMsPerFrame(m));
        cpuHigh = std::max(cpuHigh, cpuMsPerFrame(m));
    }
    printf("%-8s %zu runs: %.2f to %.2f frames per second, %.2f to %.2f ms CPU per frame\n",
           side.name.c_str(), side.rounds.size(), fpsLow, fpsHigh, cpuLow, cpuHigh);
}

std::string stolenText(double share) {
    char text[32];
    if (share < 0) return "?";
    snprintf(text, sizeof text, "%.1f", 100.0 * share);
    return text;
}

// One README table row per round and program build, against that round's
// ffmpeg.
void printTableRow(const char* build, const Measure& p, const Measure& f) {
    const double fpsRatio = framesPerSecond(p) / framesPerSecond(f);
    const double cpuRatio = cpuMsPerFrame(p) / cpuMsPerFrame(f);
    printf("| %s | %.2f | %.2f | %.3f | %.2f / %.2f ms (%.3f) | %.1f / %.1f | %s / %s %% |\n",
           build, framesPerSecond(p), framesPerSecond(f), fpsRatio, cpuMsPerFrame(p),
           cpuMsPerFrame(f), cpuRatio, p.load, f.load, stolenText(p.stolenShare).c_str(),
           stolenText(f.stolenShare).c_str());
}

std::string makeWorkDir() {
    const char* tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/program-bench-XXXXXX";
    return mkdtemp(path.data()) != nullptr ? path : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    bench.options = parseOptions(argc, argv);
    const Options& options = bench.options;
    signal(SIGPIPE, SIG_IGN);
    bench.workDir = makeWorkDir();
    if (bench.workDir.empty()) {
        fprintf(stderr, "program-bench: cannot make a working directory\n");
        return 1;
    }
    printf(
        "program-bench: %dx%d at %d, %s (%d %% of each side)%s, bit-rate item %d, %.0f s measured "
        "after %.0f s, %d "
        "busy loops, %d runs, %ld cores, load average %.2f\n",
        options.width, options.height, options.rate, options.idle ? "idle" : "moving content",
        options.contentPercent, options.half ? ", half size" : "", options.bitRateMode,
        options.seconds, options.warmUp, options.busy, options.runs, sysconf(_SC_NPROCESSORS_ONLN),
        loadAverage());
    printf("program: %s/NDITabrivo%s%s\n", options.buildDir.c_str(),
           options.compareDir.empty() ? "" : ", before: ", options.compareDir.c_str());
    printf("logs in %s\n", bench.workDir.c_str());
    fflush(stdout);
    if (!bench.startScreen()) {
        fprintf(stderr, "program-bench: cannot start Xvfb (see %s)\n", bench.log("xvfb").c_str());
        bench.stopAll();
        return 1;
    }
    if (!options.idle && !bench.startContent()) {
        fprintf(stderr, "program-bench: cannot start ffplay (see %s)\n",
                bench.log("ffplay").c_str());
        bench.stopAll();
        return 1;
    }
    if (!bench.busy.start(options.busy)) {
        fprintf(stderr, "program-bench: cannot start the busy loops\n");
        bench.stopAll();
        return 1;
    }
    Side compared{"before", {}}, program{"program", {}}, ffmpeg{"ffmpeg", {}};
    bool failed = false;
    for (int round = 1; round <= options.runs && !failed; ++round) {
        if (options.runs > 1) printf("round %d of %d\n", round, options.runs);
        if (!options.ffmpegOnly && !options.compareDir.empty()) {
            const std::optional<Measure> m = bench.runProgram(options.compareDir);
            failed = !m;
            if (m) printMeasure("before", *m), printThreads(*m), compared.rounds.push_back(*m);
        }
        if (!options.ffmpegOnly && !failed) {
            const std::optional<Measure> m = bench.runProgram(options.buildDir);
            failed = !m;
            if (m) printMeasure("program", *m), printThreads(*m), program.rounds.push_back(*m);
        }
        if (!options.programOnly && !options.idle && !failed) {
            const std::optional<Measure> m = bench.runFfmpeg();
            failed = !m;
            if (m) printMeasure("ffmpeg", *m), printThreads(*m), ffmpeg.rounds.push_back(*m);
        }
        fflush(stdout);
    }
    bench.stopAll();
    printf("summary, %ld cores:\n", sysconf(_SC_NPROCESSORS_ONLN));
    for (const Side* side : {&compared, &program, &ffmpeg}) printSpread(*side);
    for (size_t i = 0; i < program.rounds.size() && i < ffmpeg.rounds.size(); ++i) {
        const Measure& p = program.rounds[i];
        const Measure& f = ffmpeg.rounds[i];
        if (p.frames <= 0 || f.frames <= 0) continue;
        printf("program/ffmpeg: frames per second %.3f, CPU per frame %.3f\n",
               framesPerSecond(p) / framesPerSecond(f), cpuMsPerFrame(p) / cpuMsPerFrame(f));
    }
    printf(
        "rows: | build | program fps | ffmpeg fps | fps ratio | CPU per frame, program / "
        "ffmpeg | load | stolen, program / ffmpeg |\n");
    for (size_t i = 0; i < ffmpeg.rounds.size(); ++i) {
        const Measure& f = ffmpeg.rounds[i];
        if (f.frames <= 0) continue;
        if (i < compared.rounds.size() && compared.rounds[i].frames > 0)
            printTableRow("before", compared.rounds[i], f);
        if (i < program.rounds.size() && program.rounds[i].frames > 0)
            printTableRow("after", program.rounds[i], f);
    }
    printf("load average at the end %.2f\n", loadAverage());
    return failed ? 1 : 0;
}
