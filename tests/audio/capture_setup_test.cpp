// Set-up of one capture run on the Dummy back end, up to the point where it
// would start capturing. A run whose ticket no start handed out is treated as
// stopped during set-up, so these runs end there with result 0. Then set-up
// short of memory, and the ring buffer's memory, in child processes where a
// case needs limits or mounts of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <soundio/soundio.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "audio/helpers.h"
#include "audio/run_order.h"
#include "common/diagnostics.h"
#include "common/globals.h"
#include "engine/engine.h"
#include "settings/prefs.h"
#include "tests/support/audio_receiver.h"
#include "tests/support/pulse_server.h"

// While armed, allocations of at least this many bytes fail (only the next
// one when `once`), as they do under a tight address-space limit.
static std::atomic<size_t> failingFrom{0};
static std::atomic<bool> failingOnce{false};

static void* allocate(size_t size) {
    const size_t from = failingFrom.load();
    if (from != 0 && size >= from && (!failingOnce || failingFrom.exchange(0) == from)) {
        return nullptr;
    }
    return malloc(size != 0 ? size : 1);
}
void* operator new(size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

// Arms the failing allocations for one scope, disarmed again before a throw
// reaches the test. The diagnostic lines' queue, made at its first use, is
// made before.
struct FailingAllocations {
    explicit FailingAllocations(size_t from, bool once = false) {
        flushDiagnostics(5000);
        failingOnce = once;
        failingFrom = from;
    }
    ~FailingAllocations() { failingFrom = 0; }
};

constexpr uint64_t kNoTicket = 0;

struct SetUpResult {
    int result;
    std::string err;
};

SetUpResult setUpRun(const char* deviceId) {
    testing::internal::CaptureStderr();
    int result = runAudioCapture(deviceId, kNoTicket);
    return {result, testing::internal::GetCapturedStderr()};
}

class CaptureSetUp : public testing::Test {
  protected:
    void SetUp() override {
        resetPrefs();
        audioChannelCount = -1;
        channelCountChanged = 0;
    }
    void expectNothingCaptured() {
        EXPECT_EQ(audioThreadRunning, 0);
        EXPECT_EQ(channelCountChanged, 0);
    }
};

TEST_F(CaptureSetUp, EmptyDeviceIdIsRefused) {
    SetUpResult run = setUpRun("");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.err, "Invalid device id: \n");
    EXPECT_EQ(audioChannelCount, -1);
    expectNothingCaptured();
}

TEST_F(CaptureSetUp, UnknownDeviceIdIsRefused) {
    SetUpResult run = setUpRun("no-such-device");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.err, "Invalid device id: no-such-device\n");
    expectNothingCaptured();
}

TEST_F(CaptureSetUp, DeviceIdFromTheSettingsIsReadWhenChoosing) {
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "dummy-out");  // an output, never an input
    SetUpResult run = setUpRun(thePrefs.audioInputDeviceSIOUID);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.err, "Invalid device id: dummy-out\n");
}

TEST_F(CaptureSetUp, DeviceFoundByItsName) {
    SetUpResult run = setUpRun("Dummy Input Device");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.err.rfind("Device: Dummy Input Device\n", 0), 0u) << run.err;
}

SoundIoDevice inputDevice(const char* name, const char* id, bool raw) {
    SoundIoDevice device{};
    device.name = const_cast<char*>(name);
    device.id = const_cast<char*>(id);
    device.is_raw = raw;
    return device;
}

TEST(InputDeviceChoice, RawDevicesAreNeverTaken) {
    SoundIoDevice raw = inputDevice("Card", "hw:0,0", true);
    EXPECT_FALSE(isWantedInputDevice(&raw, "hw:0,0"));
    EXPECT_FALSE(isWantedInputDevice(&raw, "Card"));
}

TEST(InputDeviceChoice, IdOrElseNameMatchesExactly) {
    SoundIoDevice device = inputDevice("Loopback", "loop-1", false);
    EXPECT_TRUE(isWantedInputDevice(&device, "loop-1"));
    EXPECT_TRUE(isWantedInputDevice(&device, "Loopback"));
    EXPECT_FALSE(isWantedInputDevice(&device, "loopback"));
    EXPECT_FALSE(isWantedInputDevice(&device, "loop-"));
    EXPECT_FALSE(isWantedInputDevice(&device, ""));
}

TEST(InputDeviceChoice, EmptyIdNeverMatchesADeviceWithoutOne) {
    SoundIoDevice unnamed = inputDevice(nullptr, nullptr, false);
    EXPECT_FALSE(isWantedInputDevice(&unnamed, ""));
}

SoundIoDevice deviceWithRates(std::vector<SoundIoSampleRateRange>& ranges) {
    SoundIoDevice device{};
    device.sample_rates = ranges.empty() ? nullptr : ranges.data();
    device.sample_rate_count = int(ranges.size());
    return device;
}

TEST(SampleRateChoice, PrefersTheRatesReceiversExpect) {
    std::vector<SoundIoSampleRateRange> wide = {{8000, 192000}};
    SoundIoDevice any = deviceWithRates(wide);
    EXPECT_EQ(chooseSampleRate(&any), 48000);

    std::vector<SoundIoSampleRateRange> cd = {{22050, 22050}, {44100, 44100}, {96000, 96000}};
    SoundIoDevice noFortyEight = deviceWithRates(cd);
    EXPECT_EQ(chooseSampleRate(&noFortyEight), 44100);
}

TEST(SampleRateChoice, OtherwiseTheTopOfTheFirstRange) {
    std::vector<SoundIoSampleRateRange> odd = {{16000, 32000}, {88200, 96000}};
    SoundIoDevice device = deviceWithRates(odd);
    EXPECT_EQ(chooseSampleRate(&device), 32000);

    std::vector<SoundIoSampleRateRange> none;
    SoundIoDevice unknown = deviceWithRates(none);
    EXPECT_EQ(chooseSampleRate(&unknown), 0);
}

int formatChosenFrom(std::vector<SoundIoFormat> formats) {
    SoundIoDevice device{};
    device.formats = formats.empty() ? nullptr : formats.data();
    device.format_count = int(formats.size());
    return chooseSampleFormat(&device);
}

TEST(SampleFormatChoice, FloatFirstThenTheWidestIntegers) {
    EXPECT_EQ(formatChosenFrom({SoundIoFormatS16NE, SoundIoFormatFloat32NE}),
              SoundIoFormatFloat32NE);
    EXPECT_EQ(formatChosenFrom({SoundIoFormatS16NE, SoundIoFormatFloat32FE}),
              SoundIoFormatFloat32FE);
    EXPECT_EQ(formatChosenFrom({SoundIoFormatU8, SoundIoFormatS16NE, SoundIoFormatS24NE}),
              SoundIoFormatS24NE);
    EXPECT_EQ(formatChosenFrom({SoundIoFormatU8, SoundIoFormatFloat64NE}), SoundIoFormatFloat64NE);
    EXPECT_EQ(formatChosenFrom({}), SoundIoFormatInvalid);
}

// ---- Low memory: nothing is thrown out of the audio calls ----

TEST(LowMemory, AudioThreadThatCannotBeMadeIsOneLine) {
    testing::internal::CaptureStderr();
    int result = 0;
    EXPECT_NO_THROW({
        FailingAllocations armed(1, true);
        result = startAudioThread("dummy-in");
    });
    flushDiagnostics(5000);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(testsupport::countOf(err, "\n"), 1) << err;
    EXPECT_TRUE(audioCaptureIdle()) << "a start that made no thread still counts as a run";
}

TEST(LowMemory, LayoutChoiceAllocatesNothing) {
    SoundIoChannelLayout layouts[] = {
        *soundio_channel_layout_get_builtin(SoundIoChannelLayoutIdMono),
        *soundio_channel_layout_get_builtin(SoundIoChannelLayoutId5Point1)};
    SoundIoDevice device{};
    device.name = const_cast<char*>("Fake Input");
    device.layouts = layouts;
    device.layout_count = 2;
    SoundIoInStream stream{};
    stream.device = &device;
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW({
        FailingAllocations armed(1);
        chooseWidestChannelLayout(&stream);
    });
    flushDiagnostics(5000);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(stream.layout.channel_count, 6);
    EXPECT_NO_THROW({
        FailingAllocations armed(1);
        applyInputLayoutRule(&stream, 0);
    });
    EXPECT_EQ(stream.layout.channel_count, 1);  // no stereo: the first layout
}

TEST(LowMemory, DeviceListThatCannotBeMadeKeepsTheTable) {
    testing::internal::CaptureStderr();
    listAudioInputDevices();
    flushDiagnostics(5000);
    testing::internal::GetCapturedStderr();
    const int listed = theInputDeviceCount;
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW({
        FailingAllocations armed(sizeof(InputDeviceRecord), true);
        listAudioInputDevices();
    });
    flushDiagnostics(5000);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GT(listed, 0);
    EXPECT_EQ(theInputDeviceCount, listed);
    EXPECT_NE(err.find("out of memory"), std::string::npos) << err;
}

TEST(LowMemory, ALineThatRepeatsIsWrittenOnceThenCounted) {
    CountedLine line("out of memory Z");
    testing::internal::CaptureStderr();
    for (const char* detail : {"first", "second", "third"}) line.write(detail);
    line.settle();
    line.write();
    line.write();
    line.settle();
    line.settle();
    flushDiagnostics(5000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "out of memory Z: first\nout of memory Z: 2 more times\n"
              "out of memory Z\nout of memory Z: 1 more time\n");
}

// ---- The ring buffer's memory ----

// What a child process left: its exit status or signal, and its standard error.
struct ChildEnd {
    int status = -1;
    std::string err;
};

// A tmpfs on dir in the calling process's own mount namespace, filled to its
// last byte when asked.
bool mountTmpfs(const std::string& dir, const char* options, bool fill) {
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options) != 0) return false;
    const int fd = fill ? open((dir + "/fill").c_str(), O_WRONLY | O_CREAT, 0600) : -1;
    static const char block[4096] = {};
    while (fd >= 0 && write(fd, block, sizeof block) > 0) {
    }
    if (fd >= 0) close(fd);
    return true;
}

constexpr int kNoPrivateMounts = 70;

// Runs body in a child process with standard error to a file; body's result
// is the child's exit status. Its argument is a folder of the child's own.
ChildEnd inChild(const std::function<int(const std::string& folder)>& body) {
    ChildEnd end;
    char base[] = "/tmp/audio-child-XXXXXX";
    if (mkdtemp(base) == nullptr) return end;
    const std::string errPath = std::string(base) + "/stderr.txt";
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int errFile = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(errFile, 2);
        const int result = body(base);
        flushDiagnostics(5000);
        _exit(result);
    }
    bool ended = false;
    for (int waited = 0; child > 0 && !ended && waited < 3000; ++waited) {
        ended = waitpid(child, &end.status, WNOHANG) == child;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (child > 0 && !ended) {
        kill(child, SIGKILL);
        waitpid(child, &end.status, 0);
    }
    std::ifstream file(errPath);
    end.err.assign(std::istreambuf_iterator<char>(file), {});
    std::filesystem::remove_all(base);
    return end;
}

// inChild in a mount namespace of the child's own, in which /dev/shm and
// /tmp, the two places the audio library may put its ring's file, are tiny
// full tmpfs. Skips the test, with the reason, where no such namespace can
// be made.
ChildEnd inFullTmpfs(const std::function<int()>& body) {
    return inChild([&](const std::string&) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            !mountTmpfs("/dev/shm", "size=64k", true) || !mountTmpfs("/tmp", "size=64k", true)) {
            return kNoPrivateMounts;
        }
        return body();
    });
}

std::string howItEnded(int status) {
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

constexpr int kRefused = 10;
constexpr int kCaptured = 11;

// The child's capture run, started as the main window starts it: refused
// (it ended by itself) or captured until a block was handed on (the first
// block sent makes the NDI sender).
int captureForASecond() {
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "dummy-in");
    if (startAudioThread(thePrefs.audioInputDeviceSIOUID) != 0) return kRefused;
    testsupport::waitUntil([] { return audioThreadRunning != 0 || audioCaptureIdle(); }, 10000);
    if (audioThreadRunning == 0) return kRefused;
    testsupport::waitUntil([] { return theNDISender.load() != nullptr; }, 10000);
    stopAudioCapture();
    testsupport::waitUntil(audioCaptureIdle, 5000);
    return kCaptured;
}

void skipWithoutPrivateMounts(const ChildEnd& end) {
    if (WIFEXITED(end.status) && WEXITSTATUS(end.status) == kNoPrivateMounts) {
        GTEST_SKIP() << "no private mount namespace can be made here";
    }
}

TEST(CaptureRing, FullSharedMemoryRefusesTheRunWithOneLine) {
    if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    // Audio switched on twice: the line the second start meets again is counted.
    const ChildEnd end = inFullTmpfs([] {
        const int first = captureForASecond();
        return first == kRefused ? captureForASecond() : first;
    });
    skipWithoutPrivateMounts(end);
    ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == kRefused)
        << howItEnded(end.status) << "\n"
        << end.err;
    EXPECT_EQ(testsupport::countOf(end.err, "out of memory A\n"), 1) << end.err;
}

// The address space the process has mapped, in bytes.
rlim_t mappedBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) return rlim_t(std::stoull(line.substr(7))) * 1024;
    }
    return 0;
}

TEST(LowMemory, SoundServerClientThatCannotBeMadeIsOneLine) {
    // libpulse maps a pool of shared memory for each client before it
    // connects; in this little room it cannot, whether a server runs or not.
    const ChildEnd end = inChild([](const std::string& folder) {
        testsupport::pointPulseClientsAt(folder);
        setenv("NDITABRIVO_AUDIO_BACKEND", "pulseaudio", 1);
        const rlimit room{mappedBytes() + (rlim_t{24} << 20), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &room) != 0) return kNoPrivateMounts;
        return runAudioCapture("any.monitor", kNoTicket);
    });
    ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 1)
        << howItEnded(end.status) << "\n"
        << end.err;
    EXPECT_EQ(testsupport::countOf(end.err, "error connecting: out of memory\n"), 1) << end.err;
}

TEST(MillisecondClock, FollowsTheWallClock) {
    int64_t before = int64_t(time(nullptr)) * 1000;
    int64_t now = getMilliseconds();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2000);
}

}  // namespace
