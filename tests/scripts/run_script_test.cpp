// scripts/run.sh as `make run` starts it, on a machine without a display: the
// command it suggests for watching the stream names the port the program
// really listens on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kDefaultPort = 5960;

std::string fromEnvironment(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first number that follows pattern's text in text; -1 when none does.
int numberAfter(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern + "([0-9]+)"))) return -1;
    return std::stoi(match[1]);
}

// Another program's listening socket on the default port, as a second sender
// or any other server leaves it. When something else holds the port already,
// it is taken all the same.
class PortHolder {
  public:
    explicit PortHolder(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool bound = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        held_ = bound ? listen(fd_, 1) == 0 : errno == EADDRINUSE;
    }
    ~PortHolder() { close(fd_); }
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_ = false;
};

// The script in a session of its own, without a display (it starts a private
// X server), its output in a file.
class RunScript {
  public:
    RunScript(const std::string& configHome, const std::string& out) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (name != "DISPLAY" && name != "NDI_PORT" && name != "QT_QPA_PLATFORM" &&
                name != "XDG_CONFIG_HOME" && name != "NDITABRIVO_UPDATE_HOST")
                env.push_back(text);
        }
        env.push_back("XDG_CONFIG_HOME=" + configHome);
        env.push_back("NDITABRIVO_UPDATE_HOST=");
        env.push_back("NDITABRIVO_BUILD_DIR=" + fromEnvironment("NDITABRIVO_BUILD_DIR", "."));
        std::vector<char*> envp;
        for (std::string& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string script = fromEnvironment("NDITABRIVO_SOURCE_DIR", "..") + "/scripts/run.sh";
        char* argv[] = {script.data(), nullptr};

        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        if (posix_spawn(&pid_, script.c_str(), &files, &attributes, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
    }
    ~RunScript() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }

    // SIGTERM, as `kill` sends it; the exit status, or -1 when the script did
    // not end within the bound.
    int stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        for (auto waited = 0ms; waited < 30s; waited += 50ms) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
};

TEST(RunScript, TheWatchCommandNamesThePortTheProgramListensOn) {
    PortHolder other(kDefaultPort);
    ASSERT_TRUE(other.held());
    std::string dir = (fs::temp_directory_path() / "run-script-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string out = dir + "/out";
    RunScript run(dir, out);
    ASSERT_TRUE(run.started());

    const std::string listening = "NDI source \"NDI Wendlor HX\" on TCP port ";
    const std::string watching = "ndi-recv --host 127.0.0.1 --port ";
    std::string text;
    for (auto waited = 0ms; waited < 60s; waited += 50ms) {
        text = readText(out);
        if (numberAfter(text, listening) >= 0 && numberAfter(text, watching) >= 0) break;
        std::this_thread::sleep_for(50ms);
    }
    const int port = numberAfter(text, listening);
    EXPECT_GT(port, 0) << text;
    EXPECT_NE(port, kDefaultPort) << "the port is held by another socket";
    EXPECT_EQ(numberAfter(text, watching), port) << text;
    EXPECT_EQ(run.stop(), 0) << readText(out);
    fs::remove_all(dir);
}

}  // namespace
