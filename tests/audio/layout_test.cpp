#include <gtest/gtest.h>
#include <soundio/soundio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "common/diagnostics.h"

namespace {

SoundIoChannelLayout layoutOf(const char* name, int channels) {
    SoundIoChannelLayout layout{};
    layout.name = name;
    layout.channel_count = channels;
    for (int c = 0; c < channels && c < SOUNDIO_MAX_CHANNELS; ++c) {
        layout.channels[c] = SoundIoChannelId(SoundIoChannelIdFrontLeft + c);
    }
    return layout;
}

// A device with the given layouts and a stream on it, as the library would
// hand them over before the open.
struct FakeInput {
    std::vector<SoundIoChannelLayout> layouts;
    SoundIoDevice device{};
    SoundIoInStream stream{};

    explicit FakeInput(std::vector<SoundIoChannelLayout> list) : layouts(std::move(list)) {
        device.name = const_cast<char*>("Fake Input");
        device.layouts = layouts.empty() ? nullptr : layouts.data();
        device.layout_count = int(layouts.size());
        stream.device = &device;
    }
};

// The name of the layout the stream was given; the listing names every
// layout the device offers.
std::string widestChosen(FakeInput& input) {
    testing::internal::CaptureStdout();
    chooseWidestChannelLayout(&input.stream);
    flushDiagnostics(5000);
    const std::string listing = testing::internal::GetCapturedStdout();
    EXPECT_EQ(listing.rfind("Device Fake Input has ", 0), 0u) << listing;
    return input.stream.layout.name != nullptr ? input.stream.layout.name : "";
}

const SoundIoChannelLayout& stereo() {
    return *soundio_channel_layout_get_builtin(SoundIoChannelLayoutIdStereo);
}

TEST(WidestLayout, KeepsTheEarliestOfTheWidest) {
    FakeInput input({layoutOf("two", 2), layoutOf("eight-a", 8), layoutOf("eight-b", 8)});
    EXPECT_EQ(widestChosen(input), "eight-a");
    EXPECT_EQ(input.stream.layout.channel_count, 8);
}

TEST(WidestLayout, ListsEveryLayoutWithItsWidth) {
    FakeInput input({layoutOf("two", 2), layoutOf("huge", 25), layoutOf("six", 6)});
    testing::internal::CaptureStdout();
    chooseWidestChannelLayout(&input.stream);
    flushDiagnostics(5000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Device Fake Input has 3 layouts\nLayout #1 = 2 ch\nLayout #2 = 25 ch\n"
              "Layout #3 = 6 ch\n");
    EXPECT_STREQ(input.stream.layout.name, "six");
}

TEST(WidestLayout, NeverTakesMoreChannelsThanTheLibraryOpens) {
    FakeInput input({layoutOf("huge", 30), layoutOf("widest", 24), layoutOf("mono", 1)});
    EXPECT_EQ(widestChosen(input), "widest");
}

TEST(WidestLayout, SingleMonoLayoutIsChosen) {
    FakeInput input({layoutOf("mono", 1)});
    EXPECT_EQ(widestChosen(input), "mono");
}

TEST(WidestLayout, FallsBackToTheFirstWhenNoneQualifies) {
    FakeInput input({layoutOf("empty", 0), layoutOf("huge", 26)});
    EXPECT_EQ(widestChosen(input), "empty");
}

TEST(WidestLayout, DeviceWithoutLayoutsLeavesTheStreamUnset) {
    FakeInput input({});
    EXPECT_EQ(widestChosen(input), "");
    EXPECT_EQ(input.stream.layout.channel_count, 0);
}

TEST(LayoutRule, AllChannelsOffPicksStereoWhenTheDeviceHasIt) {
    FakeInput input({layoutOf("mono", 1), stereo(), layoutOf("eight", 8)});
    input.stream.layout = layoutOf("eight", 8);  // set earlier: replaced all the same
    applyInputLayoutRule(&input.stream, 0);
    EXPECT_TRUE(soundio_channel_layout_equal(&input.stream.layout, &stereo()));
}

TEST(LayoutRule, WithoutStereoTakesTheFirstLayoutWhateverItsWidth) {
    FakeInput input({layoutOf("eight", 8), layoutOf("mono", 1)});
    applyInputLayoutRule(&input.stream, 0);
    EXPECT_STREQ(input.stream.layout.name, "eight");
    EXPECT_EQ(input.stream.layout.channel_count, 8);
}

TEST(LayoutRule, AllChannelsOnKeepsTheLayoutAsSet) {
    FakeInput input({stereo(), layoutOf("six", 6), layoutOf("eight", 8)});
    input.stream.layout = layoutOf("six", 6);
    applyInputLayoutRule(&input.stream, 1);
    EXPECT_STREQ(input.stream.layout.name, "six");
}

TEST(LayoutRule, AllChannelsOnWithNoLayoutSetFallsBackToStereoOrFirst) {
    FakeInput withStereo({layoutOf("six", 6), stereo()});
    applyInputLayoutRule(&withStereo.stream, 1);
    EXPECT_TRUE(soundio_channel_layout_equal(&withStereo.stream.layout, &stereo()));

    FakeInput withoutStereo({layoutOf("six", 6), layoutOf("mono", 1)});
    applyInputLayoutRule(&withoutStereo.stream, 1);
    EXPECT_STREQ(withoutStereo.stream.layout.name, "six");
}

// A PulseAudio device: the library lists every built-in layout for it, and
// its own channel map is the current layout.
TEST(ServerLayout, OnlyTheLeadingChannelsAStreamCanAskForAreOffered) {
    SoundIo server{};
    server.current_backend = SoundIoBackendPulseAudio;
    const auto offered = [&](int channels, int unnamedFrom) {
        FakeInput input({stereo(), layoutOf("six", 6)});
        input.device.soundio = &server;
        input.device.current_layout = layoutOf(nullptr, channels);
        for (int c = unnamedFrom; c < channels && c < SOUNDIO_MAX_CHANNELS; ++c) {
            input.device.current_layout.channels[c] = SoundIoChannelIdInvalid;
        }
        widestChosen(input);
        return input.stream.layout.channel_count;
    };
    EXPECT_EQ(offered(6, 6), 6);
    EXPECT_EQ(offered(23, 22), 22);  // no name for the last channel
    EXPECT_EQ(offered(24, 24), 24);
    EXPECT_EQ(offered(30, 30), 24);  // the library holds no more
    EXPECT_EQ(offered(4, 0), 0);     // nothing to ask for: the stream stays unset
}

std::string tempDirectoryFor(const char* tmpdir, int* result = nullptr) {
    if (tmpdir != nullptr) {
        setenv("TMPDIR", tmpdir, 1);
    } else {
        unsetenv("TMPDIR");
    }
    char dst[kTempPathSize];
    memset(dst, 'x', sizeof dst);
    int r = getTempDirectory(dst);
    if (result != nullptr) *result = r;
    return dst;
}

TEST(TempDirectory, EndsInASeparator) {
    EXPECT_EQ(tempDirectoryFor(nullptr), "/tmp/");
    EXPECT_EQ(tempDirectoryFor(""), "/tmp/");
    EXPECT_EQ(tempDirectoryFor("/run/user/1000"), "/run/user/1000/");
    EXPECT_EQ(tempDirectoryFor("/var/tmp/"), "/var/tmp/");
}

TEST(TempDirectory, PathThatDoesNotFitLeavesItEmpty) {
    int result = 0;
    std::string longest(kTempPathSize - 2, 'd');  // with the added '/' exactly fills the buffer
    EXPECT_EQ(tempDirectoryFor(longest.c_str(), &result), longest + "/");
    EXPECT_EQ(result, 0);
    std::string tooLong(kTempPathSize - 1, 'd');
    EXPECT_EQ(tempDirectoryFor(tooLong.c_str(), &result), "");
    EXPECT_EQ(result, -1);
}

}  // namespace
