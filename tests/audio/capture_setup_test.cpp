// Set-up of one capture run on the Dummy back end, up to the point where it
// would start capturing. A run whose ticket no start handed out is treated as
// stopped during set-up, so these runs end there with result 0.
#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "common/globals.h"
#include "settings/prefs.h"

namespace {

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

TEST(MillisecondClock, FollowsTheWallClock) {
    int64_t before = int64_t(time(nullptr)) * 1000;
    int64_t now = getMilliseconds();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2000);
}

}  // namespace
