#include <gtest/gtest.h>
#include <soundio/soundio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "common/diagnostics.h"
#include "tests/support/pulse_server.h"

extern char** environ;

namespace {

// The whole environment as it was, put back when the test ends.
class ScopedEnvironment {
  public:
    ScopedEnvironment() {
        for (char** entry = environ; *entry != nullptr; ++entry) saved.emplace_back(*entry);
    }
    ~ScopedEnvironment() {
        clearenv();
        for (const std::string& entry : saved) {
            const size_t equals = entry.find('=');
            setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
    }

  private:
    std::vector<std::string> saved;
};

struct Listing {
    std::string out;
    std::string err;
};

Listing listDevices() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    listAudioInputDevices();
    flushDiagnostics(5000);
    fflush(stdout);
    return {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

TEST(InputDeviceList, DummyBackEndOffersItsInputDevice) {
    Listing listing = listDevices();
    EXPECT_EQ(listing.err, "--------Input Devices--------\n\n");
    EXPECT_EQ(listing.out, "Dummy Input Device : dummy-in raw=0\nSIO Device Count = 1\n");
    ASSERT_NE(theInputDevices, nullptr);
    ASSERT_EQ(theInputDeviceCount, 1);
    EXPECT_STREQ(theInputDevices[0].name, "Dummy Input Device");
    EXPECT_STREQ(theInputDevices[0].id, "dummy-in");
    EXPECT_EQ(theInputDevices[0].isRaw, 0);
}

TEST(InputDeviceList, RebuildsTheSameTableFromScratch) {
    listDevices();
    InputDeviceRecord* first = theInputDevices;
    listDevices();
    EXPECT_EQ(theInputDevices, first);
    EXPECT_EQ(theInputDeviceCount, 1);
}

TEST(InputDeviceList, UnknownBackEndNameIsReported) {
    // The fallback tries PulseAudio first: its client finds no server in a
    // folder of the test's own and leaves its files there.
    ScopedEnvironment environment;
    std::string folder = (std::filesystem::temp_directory_path() / "audio-home-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    testsupport::pointPulseClientsAt(folder);
    setenv("NDITABRIVO_AUDIO_BACKEND", "coreaudio", 1);
    Listing listing = listDevices();
    std::filesystem::remove_all(folder);
    EXPECT_EQ(
        listing.err.rfind("unknown audio back end \"coreaudio\", trying pulseaudio and alsa\n", 0),
        0u)
        << listing.err;
    EXPECT_LE(theInputDeviceCount, kMaxInputDevices);
}

}  // namespace

namespace {

TEST(AudioBackEnd, LostBackEndIsReportedWithoutEndingTheProcess) {
    SoundIo* soundio = soundio_create();
    ASSERT_NE(soundio, nullptr);
    ASSERT_EQ(connectAudioBackend(soundio), 0);
    testing::internal::CaptureStdout();
    soundio->on_backend_disconnect(soundio, SoundIoErrorBackendDisconnected);
    flushDiagnostics(5000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "libsoundio: backend disconnected: backend disconnected\n");
    soundio_destroy(soundio);
}

TEST(AudioBackEnd, StreamCallbacksReportAndCount) {
    audioOverflowCount = 0;
    testing::internal::CaptureStderr();
    audioOverflowCallback(nullptr);
    audioOverflowCallback(nullptr);
    audioStreamErrorCallback(nullptr, SoundIoErrorStreaming);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "overflow 1\noverflow 2\ninput stream error: unrecoverable streaming failure\n");
    EXPECT_EQ(audioOverflowCount, 2);
}

}  // namespace
