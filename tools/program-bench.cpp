// program-bench: the whole program beside ffmpeg, on one private X server
// with moving content (ffplay showing testsrc2). First the program publishes
// the screen to one receiver (ndi-recv) for the measured seconds; then ffmpeg
// grabs the same screen with x11grab and encodes it with libx264 at the same
// size, rate, preset, tune, profile and 4:2:0. For each it prints frames per
// second, CPU per second and CPU milliseconds per frame, then the two ratios.
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
    int busy = 0;  // busy loops beside both measurements
    std::string buildDir;
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
    double cpuSeconds = 0;
    double wallSeconds = 0;
    double stolenShare = -1;  // of the machine's CPU time, by the hypervisor; < 0 unknown
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

std::string directoryOf(const char* path) {
    std::string text = path;
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    options.buildDir = directoryOf(argv[0]);
    enum { kHalf = 256, kIdle, kProgramOnly, kFfmpegOnly, kBusy };
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
                if (!parseDouble(optarg, 0, 64, &number) || number != int(number))
                    badUsage("bad number of busy loops (0 to 64)", optarg);
                options.busy = int(number);
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
    }
    long pictures() const { return pictures_.load(); }

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
};

// Reads a child's stream on a thread of its own until it closes.
struct StreamWatch {
    PictureCounter counter;
    std::thread reader;
    explicit StreamWatch(int fd) {
        reader = std::thread([this, fd] {
            std::vector<uint8_t> buffer(1 << 16);
            for (;;) {
                const ssize_t n = read(fd, buffer.data(), buffer.size());
                if (n <= 0) break;
                counter.feed(buffer.data(), size_t(n));
            }
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
    sleepSeconds(options.seconds);
    m.stolenShare = stolenShareSince(machineStart);
    m.threads = threadUseBetween(threadsStart, sampleThreads(pid));
    m.cpuSeconds = cpuSecondsOf(pid) - cpuStart;
    m.frames = (counter != nullptr ? counter->pictures() : 0) - framesStart;
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

    // A moving test picture, two thirds of the screen, at the top left.
    bool startContent() {
        const int w = options.width * 2 / 3 / 2 * 2, h = options.height * 2 / 3 / 2 * 2;
        const std::string source = "testsrc2=size=" + std::to_string(w) + "x" + std::to_string(h) +
                                   ":rate=" + std::to_string(options.rate);
        content = spawnChild({"ffplay", "-hide_banner", "-loglevel", "error", "-an", "-noborder",
                              "-left", "0", "-top", "0", "-f", "lavfi", source},
                             {displayEnv(), "SDL_AUDIODRIVER=dummy"}, log("ffplay"), false);
        sleepSeconds(1.0);
        return content.pid > 0 && waitpid(content.pid, nullptr, WNOHANG) == 0;
    }

    std::optional<Measure> runProgram() {
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
        Child program = spawnChild({options.buildDir + "/NDITabrivo"}, env, log("program"), false);
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
                {options.buildDir + "/ndi-recv", "--host", "127.0.0.1", "--port",
                 std::to_string(port), "--seconds", std::to_string(total), "--video", "-"},
                {}, log("ndi-recv"), true);
            if (receiver.pid <= 0) {
                stopChild(program);
                return std::nullopt;
            }
            StreamWatch watch(receiver.outFd);
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
        command.insert(command.end(),
                       {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                        "-profile:v", "baseline", "-pix_fmt", "yuv420p", "-f", "h264", "-"});
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
            StreamWatch watch(ffmpeg.outFd);
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

void printMeasure(const char* name, const Measure& m) {
    const double fps = m.frames / m.wallSeconds;
    const double cpuPercent = 100.0 * m.cpuSeconds / m.wallSeconds;
    printf("%-8s %6ld frames in %5.2f s: %6.2f frames per second, CPU %6.1f %% of one core", name,
           m.frames, m.wallSeconds, fps, cpuPercent);
    if (m.frames > 0) printf(", %6.2f ms CPU per frame", 1000.0 * m.cpuSeconds / double(m.frames));
    if (m.stolenShare >= 0) printf(", %.1f %% stolen", 100.0 * m.stolenShare);
    printf("\n");
}

// The threads that used or waited for a core at least 1 % of the window.
void printThreads(const Measure& m) {
    for (const auto& [name, use] : m.threads) {
        if (use.cpuSeconds + use.waitSeconds < 0.01 * m.wallSeconds) continue;
        printf("  %-16s x%-2d CPU %6.1f %% of a core, waited for a core %6.1f %%", name.c_str(),
               use.threads, 100.0 * use.cpuSeconds / m.wallSeconds,
               100.0 * use.waitSeconds / m.wallSeconds);
        if (use.wakeUps > 0)
            printf(", %.2f ms a time on it", 1000.0 * use.waitSeconds / double(use.wakeUps));
        printf("\n");
    }
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
        "program-bench: %dx%d at %d, %s%s, %.0f s measured after %.0f s, %d busy loops, %ld "
        "cores, load average %.2f\n",
        options.width, options.height, options.rate, options.idle ? "idle" : "moving content",
        options.half ? ", half size" : "", options.seconds, options.warmUp, options.busy,
        sysconf(_SC_NPROCESSORS_ONLN), loadAverage());
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
    std::optional<Measure> program, ffmpeg;
    if (!options.ffmpegOnly) {
        program = bench.runProgram();
        if (program) printMeasure("program", *program);
        if (program) printThreads(*program);
    }
    if (!options.programOnly && !options.idle) {
        ffmpeg = bench.runFfmpeg();
        if (ffmpeg) printMeasure("ffmpeg", *ffmpeg);
        if (ffmpeg) printThreads(*ffmpeg);
    }
    bench.stopAll();
    if (program && ffmpeg && ffmpeg->frames > 0 && program->frames > 0) {
        const double fpsRatio = (double(program->frames) / program->wallSeconds) /
                                (double(ffmpeg->frames) / ffmpeg->wallSeconds);
        const double cpuRatio = (program->cpuSeconds / double(program->frames)) /
                                (ffmpeg->cpuSeconds / double(ffmpeg->frames));
        printf("program/ffmpeg: frames per second %.3f, CPU per frame %.3f\n", fpsRatio, cpuRatio);
    }
    printf("load average at the end %.2f\n", loadAverage());
    return (options.ffmpegOnly || program) && (options.programOnly || options.idle || ffmpeg) ? 0
                                                                                              : 1;
}
