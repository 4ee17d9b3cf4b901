// The whole program on a private X server: it publishes the screen with a
// test window on it, a receiver on loopback collects three seconds of video
// and audio, ffmpeg decodes them, and closing the main window ends the
// program with its settings saved.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ndi/ndi.h"
#include "platform/ndi/wire.h"
#include "tests/platform/ndi_loopback.h"
#include "tests/support/h264_check.h"
#include "tests/support/http_server.h"
#include "tests/support/xvfb.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
constexpr int kSeconds = 3;

std::string buildDir() {
    const char* dir = getenv("NDITABRIVO_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A port nobody listens on just now, for NDI_PORT.
int freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
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

std::string envName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// For spawnProgram's outFd and errFd: the program starts with it closed.
constexpr int kClosedStream = -2;

// Puts fd (or a file at path when fd is -1, or nothing when it is
// kClosedStream) on the child's descriptor target.
void childStream(posix_spawn_file_actions_t* files, int target, int fd, const std::string& path) {
    if (fd == kClosedStream)
        posix_spawn_file_actions_addclose(files, target);
    else if (fd >= 0)
        posix_spawn_file_actions_adddup2(files, fd, target);
    else
        posix_spawn_file_actions_addopen(files, target, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
}

// Runs program with standard output and error into files (onto outFd and
// errFd instead when given); returns its pid or -1. envChanges are
// "NAME=value" entries that replace the inherited ones, and bare "NAME"
// entries that remove them.
pid_t spawnProgram(const std::vector<std::string>& args, const std::vector<std::string>& envChanges,
                   const std::string& outPath, const std::string& errPath, int errFd = -1,
                   int outFd = -1) {
    std::vector<std::string> envText;
    std::vector<std::string> changed;
    for (const auto& e : envChanges) {
        changed.push_back(envName(e));
        if (e.find('=') != std::string::npos) envText.push_back(e);
    }
    for (char** e = environ; *e != nullptr; ++e)
        if (std::find(changed.begin(), changed.end(), envName(*e)) == changed.end())
            envText.emplace_back(*e);
    std::vector<char*> env, argv;
    for (auto& e : envText) env.push_back(e.data());
    env.push_back(nullptr);
    std::vector<std::string> argText(args);
    for (auto& a : argText) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    childStream(&files, 1, outFd, outPath);
    childStream(&files, 2, errFd, errPath);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), env.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

// Waits for the process to end; its exit status, -2 when a signal ended it,
// or -1 when it had to be killed after the time allowed.
int waitForExit(pid_t pid, std::chrono::milliseconds allowed) {
    auto end = std::chrono::steady_clock::now() + allowed;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        std::this_thread::sleep_for(20ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool waitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds allowed) {
    auto end = std::chrono::steady_clock::now() + allowed;
    while (std::chrono::steady_clock::now() < end) {
        if (readText(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
    xcb_atom_t a = reply != nullptr ? reply->atom : XCB_NONE;
    free(reply);
    return a;
}

std::string windowName(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type) {
    auto* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, property, type, 0, 256), nullptr);
    std::string name;
    if (reply != nullptr)
        name.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                    size_t(xcb_get_property_value_length(reply)));
    free(reply);
    return name;
}

bool hasAtom(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t wanted) {
    auto* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, property, XCB_ATOM_ATOM, 0, 64), nullptr);
    bool found = false;
    if (reply != nullptr && reply->format == 32) {
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / 4;
        found = std::find(atoms, atoms + count, wanted) != atoms + count;
    }
    free(reply);
    return found;
}

// Asks the top-level window titled `title` to close, as a window manager's
// close button does: a WM_DELETE_WINDOW message, sent only to a window that
// says it takes one, and checked by the server. Empty when sent, else why not.
// (Destroying the window, as `xdotool windowclose` does, would test nothing
// of the program's own quit path.)
std::string closeWindowTitled(const std::string& display, const std::string& title) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return "cannot connect to " + display;
    }
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_atom_t netName = atom(c, "_NET_WM_NAME"), utf8 = atom(c, "UTF8_STRING");
    xcb_atom_t protocols = atom(c, "WM_PROTOCOLS"), deleteWindow = atom(c, "WM_DELETE_WINDOW");
    auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    std::string titles;
    std::string reason = "no top-level window titled \"" + title + "\"";
    for (int i = 0; tree != nullptr && i < xcb_query_tree_children_length(tree); ++i) {
        xcb_window_t w = xcb_query_tree_children(tree)[i];
        const std::string name = windowName(c, w, netName, utf8);
        if (!name.empty()) titles += " \"" + name + "\"";
        if (name != title) continue;
        if (!hasAtom(c, w, protocols, deleteWindow)) {
            reason = "the window does not list WM_DELETE_WINDOW in WM_PROTOCOLS";
            continue;
        }
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = w;
        message.type = protocols;
        message.data.data32[0] = deleteWindow;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_generic_error_t* error =
            xcb_request_check(c, xcb_send_event_checked(c, 0, w, XCB_EVENT_MASK_NO_EVENT,
                                                        reinterpret_cast<const char*>(&message)));
        reason = error == nullptr
                     ? ""
                     : "SendEvent failed with X error " + std::to_string(error->error_code);
        free(error);
        break;
    }
    free(tree);
    xcb_disconnect(c);
    return reason.empty() ? reason : reason + " (windows:" + titles + ")";
}

// A decoded pixel is near the colour given (8-bit B, G, R).
::testing::AssertionResult nearColour(const std::vector<uint8_t>& bgra, int x, int y, int b, int g,
                                      int r) {
    const uint8_t* p = bgra.data() + (size_t(y) * kScreenWidth + size_t(x)) * 4;
    if (std::abs(p[0] - b) < 40 && std::abs(p[1] - g) < 40 && std::abs(p[2] - r) < 40)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is B" << int(p[0])
                                         << " G" << int(p[1]) << " R" << int(p[2]);
}

const char* kSettings =
    "[General]\n"
    "outputMode=0\n"
    "screenOrAppMode=0\n"
    "whichScreen=0\n"
    "showMouse=0\n"
    "cropWindow=0\n"
    "scalingMode=0\n"
    "autoRefresh=0\n"
    "audioInput=1\n"
    "allChannels=0\n"
    "audioInputDevice=1\n"
    "audioInputDeviceSIOUID=dummy-in\n"
    "theFrameRateMode=3\n"
    "theBitRateMode=0\n";

// The program on display, with its files under folder, publishing on port of
// 127.0.0.1 and asking web for updates.
std::vector<std::string> publishingEnvironment(const std::string& display,
                                               const std::string& folder, int port,
                                               const testsupport::HttpServer& web) {
    return {"DISPLAY=" + display, "XDG_CONFIG_HOME=" + folder + "config",
            "NDI_PORT=" + std::to_string(port), "NDI_BIND=127.0.0.1",
            "NDITABRIVO_AUDIO_BACKEND=dummy", "QT_QPA_PLATFORM=xcb",
            "NDITABRIVO_UPDATE_HOST=" + web.hostPort(),
            // No session bus: otherwise one is started for the
            // program and outlives the test.
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder + "no-bus"};
}

size_t linesContaining(const std::string& text, const std::string& part) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        count += line.find(part) != std::string::npos;
    return count;
}

TEST(Program, PublishesTheScreenAndSoundThenSavesOnClose) {
    testsupport::XvfbServer x(kScreenWidth, kScreenHeight);
    ASSERT_TRUE(x.ok());
    testsupport::TestWindows windows(x.display());
    ASSERT_TRUE(windows.ok());
    // Below the main window, which the program leaves out of its picture.
    windows.create(
        {.x = 200, .y = 150, .width = 480, .height = 320, .rgb = 0xff0000, .title = "Red"});
    windows.create(
        {.x = 1100, .y = 600, .width = 400, .height = 300, .rgb = 0x00ff00, .title = "Green"});
    windows.sync();

    testsupport::HttpServer web;
    ASSERT_TRUE(web.ok());
    web.serve("/ndi/nditabrivoversion.txt", {200, "0.1\n"});

    h264check::TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    const std::string configDir = temp.path + "config/NDITabrivo/";
    ASSERT_EQ(system(("mkdir -p " + configDir).c_str()), 0);
    const std::string settingsPath = configDir + "NDITabrivo.conf";
    { std::ofstream(settingsPath) << kSettings; }

    const int port = freeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string out = temp.path + "program.out", err = temp.path + "program.err";
    pid_t program =
        spawnProgram({buildDir() + "/NDITabrivo"},
                     publishingEnvironment(x.display(), temp.path, port, web), out, err);
    ASSERT_GT(program, 0);
    const std::string listening = "on TCP port " + std::to_string(port);
    if (!waitForText(out, listening, 20s)) {
        kill(program, SIGKILL);
        waitpid(program, nullptr, 0);
        FAIL() << "no source on port " << port << "\n" << readText(out) << readText(err);
    }

    const std::string video = temp.path + "video.h264", audio = temp.path + "audio.wav";
    const std::string receive = buildDir() + "/ndi-recv --host 127.0.0.1 --port " +
                                std::to_string(port) + " --video " + video + " --audio " + audio +
                                " --seconds " + std::to_string(kSeconds) + " 2>&1";
    FILE* recv = popen(receive.c_str(), "r");
    ASSERT_NE(recv, nullptr);
    // Meanwhile a receiver of our own takes the time between frames from
    // their timecodes (100 ns units, stamped as each frame is sent).
    std::vector<int64_t> spacing;
    NDIlib_recv_instance_t watch = nditest::makeReceiver("127.0.0.1:" + std::to_string(port));
    int64_t lastTimecode = -1;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSeconds);
         watch != nullptr && std::chrono::steady_clock::now() < end;) {
        NDIlib_video_frame_v2_t frame;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(watch, &frame, nullptr, nullptr, 100);
        if (type == NDIlib_frame_type_error) break;
        if (type != NDIlib_frame_type_video) continue;
        if (frame.FourCC == NDIlib_FourCC_type_H264) {
            if (lastTimecode >= 0) spacing.push_back(frame.timecode - lastTimecode);
            lastTimecode = frame.timecode;
        }
        NDIlib_recv_free_video_v2(watch, &frame);
    }
    NDIlib_recv_destroy(watch);
    char line[512] = "";
    std::string report;
    while (fgets(line, sizeof line, recv) != nullptr) report += line;
    EXPECT_EQ(pclose(recv), 0) << report;

    // Closing the main window ends the program and saves the settings.
    const std::string notSent = closeWindowTitled(x.display(), "NDI Wendlor HX");
    EXPECT_EQ(notSent, "") << "the close request was not sent";
    EXPECT_EQ(waitForExit(program, 15s), 0)
        << "after the close request (0 exited, -1 still running after 15 s and killed, -2 ended "
           "by a signal)\nstandard output:\n"
        << readText(out) << "standard error:\n"
        << readText(err);

    h264check::ProbeResult probe;
    ASSERT_TRUE(h264check::probeVideo(video, &probe)) << report;
    EXPECT_EQ(probe.width, kScreenWidth);
    EXPECT_EQ(probe.height, kScreenHeight);
    // Paced by the display's refresh (60 Hz on Xvfb): never more. A loaded
    // machine drops a frame now and then, which benchmarks measure, but most
    // frames still follow the one before by one refresh; at half the rate none
    // would.
    EXPECT_LE(probe.frames, 60 * kSeconds + 10) << report;
    ASSERT_GE(probe.frames, 10) << report;
    ASSERT_GE(spacing.size(), 10u);
    std::nth_element(spacing.begin(), spacing.begin() + ptrdiff_t(spacing.size() / 2),
                     spacing.end());
    EXPECT_NEAR(spacing[spacing.size() / 2], 166667, 83333) << "median time between frames, 100 ns";

    // One picture from the middle of the stream is enough to look at.
    auto last = h264check::ffmpegOutput("-f h264 -i '" + video + "' -vf 'select=eq(n\\," +
                                        std::to_string(probe.frames / 2) +
                                        ")' -frames:v 1 -f rawvideo -pix_fmt bgra -");
    ASSERT_EQ(last.size(), size_t(kScreenWidth) * kScreenHeight * 4);
    EXPECT_TRUE(nearColour(last, 200 + 240, 150 + 160, 0, 0, 255));   // red window's middle
    EXPECT_TRUE(nearColour(last, 1100 + 200, 600 + 150, 0, 255, 0));  // green window's middle
    EXPECT_TRUE(nearColour(last, 200 + 10, 150 + 10, 0, 0, 255));
    EXPECT_TRUE(nearColour(last, 1100 + 390, 600 + 290, 0, 255, 0));
    EXPECT_FALSE(nearColour(last, 195, 150 + 160, 0, 0, 255));  // just left of the red window

    auto samples = h264check::ffmpegOutput("-i '" + audio + "' -f f32le -ac 2 -ar 48000 -");
    EXPECT_GE(samples.size(), size_t(48000) * 2 * 4) << report;  // at least a second of stereo

    const std::string saved = readText(settingsPath);
    EXPECT_NE(saved.find("theFrameRateMode=3"), std::string::npos) << saved;
    EXPECT_NE(saved.find("audioInputDeviceSIOUID=dummy-in"), std::string::npos) << saved;
    EXPECT_NE(saved.find("cropBoxWidth=1280"), std::string::npos)
        << saved;  // written, not prepared
    EXPECT_EQ(web.requests().size(), 1u);
    // An announced bus that is not there is said once, as a missing one is.
    EXPECT_EQ(linesContaining(readText(err), "no session bus at"), 1u) << readText(err);
}

// What a run of the program wrote, for a failure's message.
std::string transcript(const std::string& out, const std::string& err) {
    return "standard output:\n" + readText(out) + "standard error:\n" + readText(err);
}

// A private 1280 x 720 X server, the update server the program asks, and a
// folder for its files.
struct Surroundings {
    testsupport::XvfbServer x{1280, 720};
    testsupport::HttpServer web;
    h264check::TempDir temp;
    Surroundings() { web.serve("/ndi/nditabrivoversion.txt", {200, "0.1\n"}); }
    bool ok() const { return x.ok() && web.ok() && !temp.path.empty(); }
    std::string settingsPath() const { return temp.path + "config/NDITabrivo/NDITabrivo.conf"; }
    // The settings the program finds at start-up: "[General]" and `lines`.
    bool writeSettings(const std::string& lines) const {
        std::error_code error;
        std::filesystem::create_directories(temp.path + "config/NDITabrivo", error);
        return !error && static_cast<bool>(std::ofstream(settingsPath()) << "[General]\n" << lines);
    }
};

TEST(Program, SigtermQuitsAndSavesLikeClosingTheWindowWithoutStartingASessionBus) {
    Surroundings around;
    ASSERT_TRUE(around.ok());
    const auto& [x, web, temp] = around;
    const std::string home = temp.path + "home", runtime = temp.path + "runtime";
    ASSERT_EQ(system(("mkdir -p " + temp.path + "config/NDITabrivo " + home + " && mkdir -m 700 " +
                      runtime)
                         .c_str()),
              0);
    const std::string settingsPath = temp.path + "config/NDITabrivo/NDITabrivo.conf";
    { std::ofstream(settingsPath) << "[General]\ntheFrameRateMode=1\naudioInput=0\n"; }

    const std::string out = temp.path + "program.out", err = temp.path + "program.err";
    // No session bus announced: libdbus would autolaunch one (dbus-launch,
    // files under ~/.dbus) for anything that asks.
    pid_t program =
        spawnProgram({buildDir() + "/NDITabrivo"},
                     {"DISPLAY=" + x.display(), "XDG_CONFIG_HOME=" + temp.path + "config",
                      "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime, "NDI_PORT=0",
                      "NDI_BIND=127.0.0.1", "NDITABRIVO_AUDIO_BACKEND=dummy", "QT_QPA_PLATFORM=xcb",
                      "NDITABRIVO_UPDATE_HOST=" + web.hostPort(), "DBUS_SESSION_BUS_ADDRESS"},
                     out, err);
    ASSERT_GT(program, 0);
    // The source is made on the first frame, from the running event loop.
    if (!waitForText(out, "on TCP port", 20s)) {
        kill(program, SIGKILL);
        waitpid(program, nullptr, 0);
        FAIL() << "no source\n" << transcript(out, err);
    }
    ASSERT_EQ(kill(program, SIGTERM), 0);
    ASSERT_EQ(waitForExit(program, 15s), 0)
        << "after SIGTERM (-1 still running after 15 s and killed, -2 ended by a signal)\n"
        << transcript(out, err);

    const std::string saved = readText(settingsPath);
    EXPECT_NE(saved.find("theFrameRateMode=1"), std::string::npos) << saved;
    EXPECT_NE(saved.find("cropBoxWidth=1280"), std::string::npos)
        << saved;  // written, not prepared
    EXPECT_FALSE(std::filesystem::exists(home + "/.dbus")) << "a session bus was autolaunched";
    EXPECT_EQ(linesContaining(readText(err), "session bus"), 1u) << readText(err);
}

TEST(Program, WithoutAnXDisplayItSaysSoInOneLineAndExitsWithStatus1) {
    h264check::TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    const std::string out = temp.path + "program.out", err = temp.path + "program.err";
    pid_t program =
        spawnProgram({buildDir() + "/NDITabrivo"},
                     {"DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME=" + temp.path}, out, err);
    ASSERT_GT(program, 0);
    EXPECT_EQ(waitForExit(program, 15s), 1) << transcript(out, err);
    EXPECT_EQ(readText(err), "NDITabrivo: no X display could be opened: DISPLAY is not set\n");
    EXPECT_EQ(readText(out), "");
}

// Receivers that say hello and then send a byte, each of which the sender
// drops with a line, as fast as they connect; stops early when the sender no
// longer accepts. Their sockets are shut for writing at once and closed in
// batches, so that every byte reaches the sender before the close.
int floodWithChattyPeers(int port, int count) {
    ndiwire::Header hello;
    ndiwire::headerForReceiverHello("chatty", ndiwire::kWantEverything, &hello);
    uint8_t bytes[ndiwire::kHeaderSize + 7];
    ndiwire::encodeHeader(hello, bytes);
    memcpy(bytes + ndiwire::kHeaderSize, "chatty!", 7);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> open;
    int done = 0;
    for (; done < count; ++done) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd connected{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (poll(&connected, 1, 1000) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0 ||
            write(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
            close(fd);
            break;
        }
        shutdown(fd, SHUT_WR);
        open.push_back(fd);
        if (open.size() == 100) {
            for (int peer : open) close(peer);
            open.clear();
        }
    }
    for (int peer : open) close(peer);
    return done;
}

// Fills the pipe whose write end is fd, through an opening of its own, so
// that the program's end of it stays blocking: from then on any write there
// waits for a reader.
void fillPipe(int fd) {
    const int own =
        open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(own, 0);
    char block[4096] = {};
    while (write(own, block, sizeof block) > 0) {
    }
    while (write(own, block, 1) > 0) {  // the rest of the last page
    }
    close(own);
}

// True once the receiver has had `count` pictures, false when a wait for the
// next one passes timeoutMs.
bool receivesPictures(NDIlib_recv_instance_t receiver, int count, uint32_t timeoutMs) {
    while (count > 0) {
        NDIlib_video_frame_v2_t video;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(receiver, &video, nullptr, nullptr, timeoutMs);
        if (type == NDIlib_frame_type_video) {
            NDIlib_recv_free_video_v2(receiver, &video);
            --count;
        } else if (type != NDIlib_frame_type_metadata && type != NDIlib_frame_type_audio) {
            return false;
        }
    }
    return true;
}

// Standard error on a full pipe that nobody reads, and peers that cause
// thousands of lines: the receivers go on getting pictures, a new one
// connects, and SIGTERM still quits at once.
TEST(Program, AStandardErrorNobodyReadsHoldsUpNeitherTheReceiversNorTheQuit) {
    Surroundings around;
    ASSERT_TRUE(around.ok());
    const auto& [x, web, temp] = around;
    ASSERT_TRUE(around.writeSettings("audioInput=0\n"));
    int unread[2];
    ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
    const int port = freeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string out = temp.path + "program.out";
    pid_t program =
        spawnProgram({buildDir() + "/NDITabrivo"},
                     publishingEnvironment(x.display(), temp.path, port, web), out, "", unread[1]);
    ASSERT_GT(program, 0);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    NDIlib_recv_instance_t connected = nullptr;
    if (waitForText(out, "on TCP port", 20s)) connected = nditest::makeReceiver(address);
    if (connected == nullptr || !receivesPictures(connected, 1, 20000)) {
        kill(program, SIGKILL);
        waitpid(program, nullptr, 0);
        FAIL() << "no source\n" << readText(out);
    }

    fillPipe(unread[1]);
    close(unread[1]);
    EXPECT_GT(floodWithChattyPeers(port, 3000), 1000);
    // What reached the receiver before the flood does not count.
    while (receivesPictures(connected, 1, 0)) {
    }
    EXPECT_TRUE(receivesPictures(connected, 3, 5000));
    NDIlib_recv_instance_t newcomer = nditest::makeReceiver(address);
    EXPECT_NE(newcomer, nullptr);
    if (newcomer != nullptr) {
        EXPECT_TRUE(receivesPictures(newcomer, 1, 5000));
    }
    NDIlib_recv_destroy(newcomer);
    NDIlib_recv_destroy(connected);
    ASSERT_EQ(kill(program, SIGTERM), 0);
    EXPECT_EQ(waitForExit(program, 5s), 0) << "after SIGTERM (-1 still running after 5 s)";
    close(unread[0]);
}

// The user works in a window in front of the program's main window (centred
// on the screen) under openbox: the stream, decoded by ffmpeg, shows it.
TEST(Program, AWindowInFrontOfTheMainWindowIsInTheStream) {
    testsupport::XvfbServer x(kScreenWidth, kScreenHeight);
    ASSERT_TRUE(x.ok());
    testsupport::BackgroundProgram openbox(x.display(), {"openbox", "--sm-disable"});
    testsupport::HttpServer web;
    h264check::TempDir temp;
    ASSERT_TRUE(web.ok() && !temp.path.empty());
    const int port = freeLoopbackPort();
    const std::string out = temp.path + "program.out", err = temp.path + "program.err";
    pid_t program =
        spawnProgram({buildDir() + "/NDITabrivo"},
                     publishingEnvironment(x.display(), temp.path, port, web), out, err);
    ASSERT_GT(program, 0);
    const bool publishing = waitForText(out, "on TCP port", 20s);
    testsupport::TestWindows windows(x.display());
    const uint32_t front = windows.create(
        {.x = 0, .y = 0, .width = kScreenWidth, .height = kScreenHeight, .rgb = 0x00ff00});
    EXPECT_TRUE(windows.frameAll({front}, 20000));
    const std::string video = temp.path + "video.h264";
    const bool received =
        publishing && system((buildDir() + "/ndi-recv --host 127.0.0.1 --port " +
                              std::to_string(port) + " --video " + video + " --seconds 2")
                                 .c_str()) == 0;
    kill(program, SIGTERM);
    EXPECT_EQ(waitForExit(program, 15s), 0) << transcript(out, err);
    ASSERT_TRUE(received) << transcript(out, err);
    auto last = h264check::ffmpegOutput("-f h264 -i '" + video +
                                        "' -vf 'select=eq(n\\,20)' -frames:v 1 -f rawvideo "
                                        "-pix_fmt bgra -");
    ASSERT_EQ(last.size(), size_t(kScreenWidth) * kScreenHeight * 4);
    EXPECT_TRUE(nearColour(last, kScreenWidth / 2, kScreenHeight / 2, 0, 255, 0));
}

// The program on a private 1280 x 720 X server, publishing on a port of
// its own, with audio off unless asked for, and standard output and error
// as given (kClosedStream, or a descriptor; files otherwise).
struct RunningProgram {
    Surroundings around;
    int port = freeLoopbackPort();
    std::string settings = around.settingsPath();
    std::string out = around.temp.path + "program.out", err = around.temp.path + "program.err";
    pid_t pid = -1;

    bool start(int outFd, int errFd, const std::string& limitKb = "", bool audio = false) {
        return startWith(std::string("audioInput=") + (audio ? "1" : "0") +
                             "\naudioInputDeviceSIOUID=dummy-in\n",
                         outFd, errFd, limitKb);
    }
    // Started with `settings` as its saved settings.
    bool startWith(const std::string& settings, int outFd = -1, int errFd = -1,
                   const std::string& limitKb = "") {
        if (!around.ok() || port <= 0 || !around.writeSettings(settings)) return false;
        const std::string program = buildDir() + "/NDITabrivo";
        const std::vector<std::string> args =
            limitKb.empty() ? std::vector<std::string>{program}
                            : std::vector<std::string>{
                                  "/bin/sh", "-c", "ulimit -v " + limitKb + " && exec " + program};
        std::vector<std::string> env =
            publishingEnvironment(around.x.display(), around.temp.path, port, around.web);
        if (!limitKb.empty()) env.push_back("MALLOC_ARENA_MAX=1");
        pid = spawnProgram(args, env, out, err, errFd, outFd);
        return pid > 0;
    }
    // A receiver of the source, once the program takes connections; null
    // when it does not within tenths / 10 s.
    NDIlib_recv_instance_t connect(int tenths = 200) const {
        const std::string address = "127.0.0.1:" + std::to_string(port);
        for (int i = 0; i < tenths; ++i) {
            const int probe = nditest::rawConnect(port);
            if (probe >= 0) {
                close(probe);
                return nditest::makeReceiver(address);
            }
            std::this_thread::sleep_for(100ms);
        }
        return nullptr;
    }
    // SIGTERM; the exit status (-2 ended by a signal, -1 still running 5 s
    // later), with the settings saved when it is 0.
    int quit() {
        if (kill(pid, SIGTERM) != 0) return -3;
        return waitForExit(pid, 5s);
    }
    bool settingsSaved() const {
        return readText(settings).find("cropBoxWidth=") != std::string::npos;
    }
    ~RunningProgram() {
        if (pid > 0 && kill(pid, 0) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Saved in black-frame mode, the program has never captured anything: the
// source still appears at launch and sends black frames of the screen's size
// at the chosen rate (25 frames per second here).
TEST(Program, BlackFrameModeSavedPublishesBlackFramesOfTheScreensSizeFromLaunch) {
    RunningProgram program;
    ASSERT_TRUE(program.startWith("outputMode=2\ntheFrameRateMode=0\naudioInput=0\n"));
    const bool published = waitForText(program.out, "on TCP port", 20s);
    const std::string video = program.around.temp.path + "video.h264";
    const std::string receive = buildDir() + "/ndi-recv --port " + std::to_string(program.port) +
                                " --video " + video + " --seconds 3 >/dev/null 2>&1";
    const int received = published ? system(receive.c_str()) : -1;
    EXPECT_EQ(program.quit(), 0);
    ASSERT_TRUE(published) << "no source\n" << transcript(program.out, program.err);
    EXPECT_EQ(received, 0);
    h264check::ProbeResult probe;
    ASSERT_TRUE(h264check::probeVideo(video, &probe));
    EXPECT_EQ(probe.width, 1280);
    EXPECT_EQ(probe.height, 720);
    EXPECT_GE(probe.frames, 60);  // a stream at half the rate gives about 38
    EXPECT_LE(probe.frames, 85);  // 25 fps plus the frames of the connection's start
    const auto first = h264check::ffmpegOutput("-f h264 -i '" + video +
                                               "' -frames:v 1 -f rawvideo -pix_fmt gray -");
    ASSERT_EQ(first.size(), size_t(1280) * 720);
    EXPECT_LE(*std::max_element(first.begin(), first.end()), 8);  // black
}

// True once the receiver has had a picture `width` pixels wide; false when a
// wait for the next picture passes 10 s.
bool receivesPictureOfWidth(NDIlib_recv_instance_t receiver, int width) {
    for (;;) {
        NDIlib_video_frame_v2_t video;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(receiver, &video, nullptr, nullptr, 10000);
        if (type == NDIlib_frame_type_video) {
            const bool wanted = video.xres == width;
            NDIlib_recv_free_video_v2(receiver, &video);
            if (wanted) return true;
        } else if (type != NDIlib_frame_type_metadata && type != NDIlib_frame_type_audio) {
            return false;
        }
    }
}

// Reads the pipe until the program says which port it publishes on.
bool readUntilPublished(int readEnd) {
    std::string text;
    char chunk[4096];
    pollfd p{readEnd, POLLIN, 0};
    while (text.find("on TCP port") == std::string::npos) {
        if (poll(&p, 1, 20000) != 1) return false;
        const ssize_t n = read(readEnd, chunk, sizeof chunk);
        if (n <= 0) return false;
        text.append(chunk, size_t(n));
    }
    return true;
}

// The screen is made smaller: every picture after it has a new size, so the
// sender sets its encoder up again and prints the set-up's lines.
bool shrinkScreen(const Surroundings& around) {
    return around.x.run("xrandr --fb 1024x576 --output screen --off >/dev/null 2>&1");
}

// Standard output on a full pipe nobody reads: the encoder's set-up lines
// after a resize must hold up neither the pictures nor the quit.
TEST(Program, AStandardOutputNobodyReadsHoldsUpNeitherTheReceiversNorTheQuit) {
    RunningProgram program;
    int unread[2];
    ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
    ASSERT_TRUE(program.start(unread[1], -1));
    ASSERT_TRUE(readUntilPublished(unread[0])) << readText(program.err);
    NDIlib_recv_instance_t receiver = program.connect();
    ASSERT_NE(receiver, nullptr);
    ASSERT_TRUE(receivesPictureOfWidth(receiver, 1280));
    fillPipe(unread[1]);
    ASSERT_TRUE(shrinkScreen(program.around));
    EXPECT_TRUE(receivesPictureOfWidth(receiver, 1024)) << readText(program.err);
    NDIlib_recv_destroy(receiver);
    EXPECT_EQ(program.quit(), 0) << "after SIGTERM (-1 still running after 5 s)";
    EXPECT_TRUE(program.settingsSaved());
    close(unread[0]);
    close(unread[1]);
}

// A reader of standard output that went away, and SIGPIPE sent by hand: the
// program goes on publishing and quits as asked, with its settings saved.
TEST(Program, SigpipeAndAStandardOutputWhoseReaderWentAwayEndNothing) {
    RunningProgram program;
    int unread[2];
    ASSERT_EQ(pipe2(unread, O_CLOEXEC), 0);
    ASSERT_TRUE(program.start(unread[1], -1));
    close(unread[1]);
    ASSERT_TRUE(readUntilPublished(unread[0])) << readText(program.err);
    close(unread[0]);
    NDIlib_recv_instance_t receiver = program.connect();
    ASSERT_NE(receiver, nullptr);
    ASSERT_EQ(kill(program.pid, SIGPIPE), 0);
    ASSERT_TRUE(shrinkScreen(program.around));  // lines to write into the closed pipe
    EXPECT_TRUE(receivesPictureOfWidth(receiver, 1024)) << readText(program.err);
    NDIlib_recv_destroy(receiver);
    EXPECT_EQ(program.quit(), 0) << "after SIGTERM (-1 still running, -2 ended by a signal)";
    EXPECT_TRUE(program.settingsSaved());
}

// Started with standard output and error closed (`>&- 2>&-`): no file the
// program opens may take their numbers, so it publishes and runs until asked
// to quit.
TEST(Program, ClosedStandardOutputAndErrorAtLaunchChangeNothing) {
    RunningProgram program;
    ASSERT_TRUE(program.start(kClosedStream, kClosedStream));
    NDIlib_recv_instance_t receiver = program.connect();
    ASSERT_NE(receiver, nullptr) << "no source";
    EXPECT_TRUE(receivesPictures(receiver, 30, 10000));
    NDIlib_recv_destroy(receiver);
    EXPECT_EQ(program.quit(), 0) << "after SIGTERM (-1 still running, -2 ended by a signal)";
    EXPECT_TRUE(program.settingsSaved());
}

// The most times one line of a run was written.
size_t mostRepeatedLine(const std::string& text, std::string* line) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.rfind("x264 [info]", 0) != 0) lines.push_back(l);  // once an encoder opens
    std::sort(lines.begin(), lines.end());
    size_t most = 0;
    for (size_t i = 0; i < lines.size();) {
        size_t j = i;
        while (j < lines.size() && lines[j] == lines[i]) ++j;
        if (j - i > most) {
            most = j - i;
            *line = lines[i];
        }
        i = j;
    }
    return most;
}

// Under an address-space limit too low for the sender's network thread (the
// first limit, with audio input on and off) or for the encoder's buffers (the
// second), the program
// neither aborts nor floods its output with the same lines once a frame:
// each failure is written once and counted, and the count is given at the
// quit. One malloc arena keeps the memory a run takes the same from run to
// run.
TEST(Program, TooLittleMemoryNeitherAbortsNorFloods) {
    for (const auto& [limitKb, audio] :
         {std::pair{"600000", true}, {"600000", false}, {"700000", false}}) {
        SCOPED_TRACE(std::string("ulimit -v ") + limitKb + (audio ? ", audio on" : ""));
        RunningProgram program;
        ASSERT_TRUE(program.start(-1, -1, limitKb, audio));
        // The frame clock ticks from start-up on, whatever fails.
        ASSERT_TRUE(waitForText(program.out, "Latest Version", 20s)) << readText(program.err);
        // Where the source could be made, a receiver makes every tick send a
        // frame, and so try what failed again.
        NDIlib_recv_instance_t receiver = program.connect(30);
        std::this_thread::sleep_for(2s);
        NDIlib_recv_destroy(receiver);
        EXPECT_EQ(program.quit(), 0) << transcript(program.out, program.err);
        const std::string text = readText(program.out) + readText(program.err);
        // With every byte taken, the save itself may find no memory: then
        // one line says so.
        EXPECT_TRUE(program.settingsSaved() ||
                    text.find("settings: the save at quit failed") != std::string::npos)
            << text;
        std::string line;
        EXPECT_LE(mostRepeatedLine(text, &line), 2u) << line;
        EXPECT_NE(text.find(" more times)\n"), std::string::npos) << text;
    }
}

}  // namespace
