#include "tests/support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

constexpr auto kReadyTimeout = std::chrono::seconds(20);

std::string makeFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
    pattern += "/pulse-test.XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// The environment a client of the private server sees: HOME and the runtime
// directory in its folder, the server named outright (so that nothing is
// autospawned), and no session bus to autolaunch.
std::vector<std::pair<std::string, std::string>> clientEnvironment(const std::string& folder) {
    return {
        {"HOME", folder},
        {"XDG_RUNTIME_DIR", folder + "/run"},
        {"XDG_CONFIG_HOME", folder + "/config"},
        {"PULSE_SERVER", "unix:" + folder + "/run/pulse/native"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + folder + "/no-bus"},
    };
}

struct ChildIo {
    int stdinFd = -1;   // -1: /dev/null
    int stdoutFd = -1;  // -1: /dev/null
    int stderrFd = -1;  // -1: /dev/null
};

// This process's environment with the client environment in place, and
// without the short latency the program asks of its own streams: a player
// fed at that latency breaks up on a busy machine.
std::vector<std::string> childEnvironment(const std::string& folder) {
    const auto client = clientEnvironment(folder);
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(client.begin(), client.end(),
                                          [&](const auto& pair) { return pair.first == name; });
        if (!replaced && name != "PULSE_LATENCY_MSEC") entries.push_back(text);
    }
    for (const auto& [name, value] : client) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Forks and runs argv with the child environment; the child dies with the
// test, so a crashed test leaves no server or player behind. Everything the
// child needs is made before the fork.
pid_t spawn(std::vector<std::string> argv, const std::string& folder, ChildIo io) {
    std::vector<std::string> environment = childEnvironment(folder);
    const std::vector<char*> args = pointersTo(argv);
    const std::vector<char*> envp = pointersTo(environment);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(io.stdinFd >= 0 ? io.stdinFd : devnull, 0);
    dup2(io.stdoutFd >= 0 ? io.stdoutFd : devnull, 1);
    dup2(io.stderrFd >= 0 ? io.stderrFd : devnull, 2);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
}

void endProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

bool exitedAlready(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == pid;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
}

bool writeTones(const std::string& path, int rate, const std::vector<Tone>& tones, double seconds) {
    const auto frames = int64_t(seconds * rate);
    std::vector<float> samples(size_t(frames) * tones.size());
    for (int64_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < tones.size(); ++c) {
            const double phase = 2.0 * std::numbers::pi * tones[c].frequency * double(f) / rate;
            samples[size_t(f) * tones.size() + c] = tones[c].level * float(std::sin(phase));
        }
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(samples.data()),
               std::streamsize(samples.size() * sizeof(float)));
    return bool(file);
}

}  // namespace

void pointPulseClientsAt(const std::string& folder) {
    for (const auto& [name, value] : clientEnvironment(folder)) {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

PulseServer::PulseServer() : folder_(makeFolder()) {
    if (folder_.empty()) {
        failure_ = "no temporary folder for the server";
        return;
    }
    mkdir((folder_ + "/run").c_str(), 0700);
    start();
}

PulseServer::~PulseServer() {
    endPlayers();
    endProcess(pid_);
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

bool PulseServer::start() {
    if (folder_.empty()) return false;
    failure_.clear();
    const int logFd = open((folder_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    // As root the server warns that it is meant for a user session and runs
    // all the same; real-time scheduling is left off so that it competes
    // fairly with the rest of the suite. Like a desktop's server it always has
    // an output besides the sinks a test loads and removes, "speakers".
    pid_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                  "--realtime=no", "--high-priority=no", "--log-target=stderr", "-L",
                  "module-native-protocol-unix", "-L", "module-null-sink sink_name=speakers"},
                 folder_, {.stderrFd = logFd});
    if (logFd >= 0) close(logFd);
    if (pid_ < 0) {
        failure_ = "cannot fork for pulseaudio";
    } else if (!waitUntilReady()) {
        endProcess(pid_);
        pid_ = -1;
        failure_ += "\nserver log:\n" + log();
    }
    return ok();
}

void PulseServer::kill() {
    endPlayers();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    failure_ = "the server was killed";
}

void PulseServer::endPlayers() {
    for (pid_t player : players_) endProcess(player);
    players_.clear();
}

bool PulseServer::waitUntilReady() {
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (exitedAlready(pid_)) {
            failure_ = "pulseaudio exited before it accepted clients (is it installed?)";
            pid_ = -1;
            return false;
        }
        if (pactl({"info"})) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure_ = "pulseaudio accepted no client within 20 s";
    return false;
}

std::string PulseServer::log() const {
    std::ifstream file(folder_ + "/server.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool PulseServer::pactl(const std::vector<std::string>& arguments, std::string* out) const {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t pid = spawn(argv, folder_, {.stdoutFd = fds[1]});
    close(fds[1]);
    std::string text = pid > 0 ? readAll(fds[0]) : "";
    close(fds[0]);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return false;
    if (out != nullptr) *out = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int PulseServer::loadNullSink(const std::string& name, int rate, const std::string& channelMap) {
    const int channels = 1 + int(std::count(channelMap.begin(), channelMap.end(), ','));
    return loadModule({"module-null-sink", "sink_name=" + name, "format=float32le",
                       "rate=" + std::to_string(rate), "channels=" + std::to_string(channels),
                       "channel_map=" + channelMap});
}

int PulseServer::loadModule(const std::vector<std::string>& moduleAndArguments) {
    std::vector<std::string> arguments = {"load-module"};
    arguments.insert(arguments.end(), moduleAndArguments.begin(), moduleAndArguments.end());
    std::string index;
    return pactl(arguments, &index) ? std::atoi(index.c_str()) : -1;
}

int PulseServer::moduleWith(const std::string& text) const {
    std::string modules;
    if (!pactl({"list", "short", "modules"}, &modules)) return -1;
    std::istringstream lines(modules);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) != std::string::npos) return std::atoi(line.c_str());
    }
    return -1;
}

bool PulseServer::unloadModule(int module) {
    return pactl({"unload-module", std::to_string(module)});
}

pid_t PulseServer::play(const std::string& sink, int rate, const std::vector<Tone>& tones,
                        double seconds) {
    const std::string path = folder_ + "/tones-" + std::to_string(++tones_) + ".raw";
    if (!writeTones(path, rate, tones, seconds)) return -1;
    const int input = open(path.c_str(), O_RDONLY);
    if (input < 0) return -1;
    // The samples are already in the sink's channel order: take its map as
    // it is, with no remixing on the way.
    const pid_t pid =
        spawn({"pacat", "--playback", "--raw", "--device=" + sink, "--format=float32le",
               "--rate=" + std::to_string(rate), "--channels=" + std::to_string(tones.size()),
               "--fix-channels", "--no-remix", "--no-remap"},
              folder_, {.stdinFd = input});
    close(input);
    if (pid > 0) players_.push_back(pid);
    return pid > 0 ? pid : -1;
}

void PulseServer::stopPlaying(pid_t player) {
    std::erase(players_, player);
    endProcess(player);
}

}  // namespace testsupport
