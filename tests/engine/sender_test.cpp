#include "engine/sender.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "engine/encoder.h"
#include "settings/prefs.h"
#include "tests/platform/ndi_loopback.h"
#include "tests/support/h264_check.h"

using nlohmann::ordered_json;

namespace {

std::vector<std::string> memberNames(const ordered_json& object) {
    std::vector<std::string> names;
    for (auto it = object.begin(); it != object.end(); ++it) names.push_back(it.key());
    return names;
}

ordered_json configFor(int32_t networkMode, const char* prefix = "", const char* mask = "") {
    HXSenderState state{};
    state.networkMode = networkMode;
    strcpy(state.multicastNetPrefix, prefix);
    strcpy(state.multicastNetMask, mask);
    char buffer[kNDIConfigTextSize];
    return ordered_json::parse(ndiConfigText(state, buffer, sizeof buffer));
}

struct ModeExpectation {
    int32_t mode;
    int32_t bitRate0, bitRate1, quality;
};

// Each test starts, and leaves the process, with no shared sender, a runtime
// that runs and the default bit-rate setting, whatever ran before it.
class SenderTest : public testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        h264check::resetSharedSender();
        thePrefs.theBitRateMode = 0;
    }
};
class SenderSettings : public SenderTest {};
class SenderCreation : public SenderTest {};
class SenderReceivers : public SenderTest {};

}  // namespace

TEST_F(SenderSettings, BitRateAndQualityFollowTheModeWithFallbacks) {
    const ModeExpectation cases[] = {{0, 24000, 6000, 15},  {1, 16000, 4000, 17},
                                     {6, 2000, 500, 40},    {7, 16000, 4000, 21},
                                     {-1, 16000, 4000, 21}, {INT32_MIN, 16000, 4000, 21}};
    ASSERT_EQ(setenv("NDI_RUNTIME_DISABLED", "1", 1), 0);  // settings only, no sender
    for (const ModeExpectation& c : cases) {
        thePrefs.theBitRateMode = c.mode;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(setupNDIHXSender(), nullptr);
        flushDiagnostics(5000);
        const std::string err = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        // One line names a setting past the menu and what it runs at.
        EXPECT_EQ(err, c.mode >= 0 && c.mode <= 6
                           ? ""
                           : "bit-rate setting " + std::to_string(c.mode) +
                                 " is outside 0 to 6: 16000 kbit/s at quality 21\n");
        EXPECT_EQ(theHXState.bitRate[0], c.bitRate0) << "mode " << c.mode;
        EXPECT_EQ(theHXState.bitRate[1], c.bitRate1) << "mode " << c.mode;
        EXPECT_EQ(theHXState.quality, c.quality) << "mode " << c.mode;
        EXPECT_EQ(bitRateForMode(c.mode), c.bitRate0);
        EXPECT_EQ(qualityForMode(c.mode), c.quality);
    }
}

TEST_F(SenderSettings, EveryCreationResetsTheSettingsHalfOnly) {
    ASSERT_EQ(setenv("NDI_RUNTIME_DISABLED", "1", 1), 0);
    memset(theHXState.preset, 'x', sizeof theHXState.preset);
    theHXState.networkMode = 3;
    theHXState.useCBR = theHXState.interlaced = theHXState.allKeyframes = 1;
    theHXState.lastWidth[0] = 1234;
    theHXState.keyframeCountdownA[1] = 2;
    testing::internal::CaptureStdout();
    setupNDIHXSender();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(theHXState.networkMode, 0);
    EXPECT_EQ(theHXState.useCBR, 0);
    EXPECT_EQ(theHXState.interlaced, 0);
    EXPECT_EQ(theHXState.allKeyframes, 0);
    EXPECT_STREQ(theHXState.preset, "ultrafast");
    EXPECT_STREQ(theHXState.tune, "zerolatency");
    // Zero bytes after the names, all the way to the end of the field.
    for (size_t i = strlen("ultrafast"); i < kHXTextSize; ++i) ASSERT_EQ(theHXState.preset[i], 0);
    EXPECT_EQ(theHXState.lastWidth[0], 1234);
    EXPECT_EQ(theHXState.keyframeCountdownA[1], 2);
}

TEST(SenderConfig, DefaultTextHasNoTransportMembers) {
    for (int32_t mode : {0, 4, -1}) {
        const ordered_json config = configFor(mode);
        ASSERT_TRUE(config.contains("ndi"));
        EXPECT_TRUE(config["ndi"].is_object());
        EXPECT_TRUE(config["ndi"].empty());
        EXPECT_STREQ(ndiModeLine(mode), "HX2 Using Default NDI Mode");
    }
}

TEST(SenderConfig, MulticastTextCarriesPrefixAndMask) {
    const ordered_json config = configFor(1, "239.1.2.0", "255.255.255.0");
    EXPECT_EQ(memberNames(config), std::vector<std::string>{"ndi"});
    EXPECT_EQ(memberNames(config["ndi"]), std::vector<std::string>{"multicast"});
    const ordered_json& send = config["ndi"]["multicast"]["send"];
    EXPECT_EQ(memberNames(send), (std::vector<std::string>{"enable", "netprefix", "netmask"}));
    EXPECT_EQ(send["enable"], true);
    EXPECT_EQ(send["netprefix"], "239.1.2.0");
    EXPECT_EQ(send["netmask"], "255.255.255.0");
    EXPECT_EQ(configFor(1)["ndi"]["multicast"]["send"]["netprefix"], "");
    EXPECT_STREQ(ndiModeLine(1), "HX2 Using Allow Multicast Mode");
}

TEST(SenderConfig, ForceTCPTextTurnsEveryOtherTransportOff) {
    const ordered_json ndi = configFor(2)["ndi"];
    EXPECT_EQ(memberNames(ndi),
              (std::vector<std::string>{"rudp", "tcp", "groups", "multicast", "unicast"}));
    for (const char* transport : {"rudp", "tcp", "unicast"}) {
        EXPECT_EQ(ndi[transport]["recv"]["enable"], false) << transport;
        EXPECT_EQ(ndi[transport]["send"]["enable"], false) << transport;
    }
    EXPECT_EQ(ndi["groups"]["recv"], "public");
    EXPECT_EQ(ndi["groups"]["send"], "public");
    EXPECT_EQ(memberNames(ndi["multicast"]["send"]),
              (std::vector<std::string>{"enable", "netprefix", "netmask"}));
    EXPECT_EQ(ndi["multicast"]["send"]["netprefix"], "239.192.136.100");
    EXPECT_EQ(ndi["multicast"]["send"]["netmask"], "255.255.255.0");
    EXPECT_STREQ(ndiModeLine(2), "HX2 Using Force TCP Mode");
}

TEST(SenderConfig, ReliableUDPTextQuotesTheGroupName) {
    const ordered_json ndi = configFor(3)["ndi"];
    EXPECT_EQ(memberNames(ndi),
              (std::vector<std::string>{"groups", "multicast", "rudp", "tcp", "unicast"}));
    EXPECT_EQ(ndi["groups"]["recv"], "\"public\"");
    EXPECT_EQ(ndi["groups"]["send"].get<std::string>().size(), 8u);
    EXPECT_EQ(ndi["multicast"]["send"]["enable"], false);
    EXPECT_EQ(ndi["rudp"]["recv"]["enable"], true);
    EXPECT_EQ(ndi["rudp"]["send"]["enable"], true);
    EXPECT_EQ(ndi["tcp"]["send"]["enable"], false);
    EXPECT_EQ(ndi["unicast"]["send"]["enable"], false);
    EXPECT_STREQ(ndiModeLine(3), "HX2 Using Allow rUDP Mode");
}

TEST(SenderConfig, AnOverlongPrefixIsCutNotOverrun) {
    HXSenderState state{};
    state.networkMode = 1;
    memset(state.multicastNetPrefix, '9', sizeof state.multicastNetPrefix);  // no NUL at all
    memset(state.multicastNetMask, '8', sizeof state.multicastNetMask);
    char buffer[kNDIConfigTextSize + 8];
    memset(buffer, 0x55, sizeof buffer);
    ndiConfigText(state, buffer, kNDIConfigTextSize);
    EXPECT_EQ(buffer[kNDIConfigTextSize], 0x55);
    const ordered_json config = ordered_json::parse(buffer);
    EXPECT_EQ(config["ndi"]["multicast"]["send"]["netprefix"].get<std::string>().size(),
              kHXTextSize);
}

TEST_F(SenderCreation, CannotRunPrintsWithoutLineEndAndCreatesNothing) {
    ASSERT_EQ(setenv("NDI_RUNTIME_DISABLED", "1", 1), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ensureNDISender(), nullptr);
    EXPECT_EQ(ensureNDISender(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot run NDI.Cannot run NDI.");
    EXPECT_EQ(theNDISender.load(), nullptr);
}

TEST_F(SenderCreation, EachCreationPrintsTheModeLineAndPublishesTheSource) {
    testing::internal::CaptureStdout();
    NDIlib_send_instance_t sender = ensureNDISender();
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(ensureNDISender(), sender);  // created once
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("HX2 Using Default NDI Mode\n"), std::string::npos);
    EXPECT_NE(out.find("\"NDI Wendlor HX\""), std::string::npos);

    NDIlib_recv_instance_t receiver = nditest::makeReceiver(nditest::addressOf(sender));
    ASSERT_NE(receiver, nullptr);
    EXPECT_STREQ(NDIlib_recv_get_source_name(receiver), "NDI Wendlor HX");

    destroyNDISender();
    EXPECT_EQ(theNDISender.load(), nullptr);
    // The source is gone: its receiver's connection ends.
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, nullptr, nullptr, 5000),
              NDIlib_frame_type_error);
    NDIlib_recv_destroy(receiver);
    testing::internal::CaptureStdout();
    ASSERT_NE(ensureNDISender(), nullptr);  // a later send makes a new one
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("HX2 Using Default NDI Mode\n"), std::string::npos);
    destroyNDISender();
}

TEST_F(SenderCreation, ANonDefaultModePrintsItsLine) {
    HXSenderState state{};
    state.networkMode = 2;
    testing::internal::CaptureStdout();
    NDIlib_send_instance_t sender = createNDISender("Mode Two", &state);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("HX2 Using Force TCP Mode\n"),
              std::string::npos);
    ASSERT_NE(sender, nullptr);
    NDIlib_send_destroy(sender);
}

TEST_F(SenderCreation, InterruptNoLongerEndsTheProcessAfterCreation) {
    testing::internal::CaptureStdout();
    ASSERT_NE(ensureNDISender(), nullptr);
    testing::internal::GetCapturedStdout();
    raise(SIGINT);
    SUCCEED() << "still running";
    destroyNDISender();
}

TEST_F(SenderCreation, DestroyWithoutSenderDoesNothing) {
    ASSERT_EQ(theNDISender.load(), nullptr);
    testing::internal::CaptureStdout();
    destroyNDISender();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(theNDISender.load(), nullptr);
}

TEST_F(SenderCreation, PrintsTheRuntimeVersion) {
    testing::internal::CaptureStdout();
    printNDIVersion();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "NDIlib_version = NDITabrivo built-in runtime 1.0 (TCP)\n");
}

namespace {

class SenderWithReceiver : public SenderTest {
  protected:
    void SetUp() override {
        SenderTest::SetUp();
        testing::internal::CaptureStdout();
        sender = ensureNDISender();
        testing::internal::GetCapturedStdout();
        ASSERT_NE(sender, nullptr);
        receiver = nditest::makeReceiver(nditest::addressOf(sender));
        ASSERT_NE(receiver, nullptr);
        ASSERT_TRUE(nditest::waitForConnections(sender, 1));
    }
    void TearDown() override {
        if (receiver != nullptr) NDIlib_recv_destroy(receiver);
        SenderTest::TearDown();
    }
    NDIlib_frame_type_e next(int timeoutMs = 5000) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        NDIlib_metadata_frame_t metadata;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(receiver, &video, &audio, &metadata, timeoutMs);
        if (type == NDIlib_frame_type_video) NDIlib_recv_free_video_v2(receiver, &video);
        if (type == NDIlib_frame_type_audio) NDIlib_recv_free_audio_v2(receiver, &audio);
        if (type == NDIlib_frame_type_metadata) NDIlib_recv_free_metadata(receiver, &metadata);
        return type;
    }
    NDIlib_send_instance_t sender = nullptr;
    NDIlib_recv_instance_t receiver = nullptr;
};

}  // namespace

TEST_F(SenderWithReceiver, AudioGoesBeforeVideoThenMetadata) {
    uint8_t packet[64] = {44, 0, 0, 0, 'H', '2', '6', '4'};  // a keyframe: receivers start at one
    packet[32] = 1;
    NDIlib_video_frame_v2_t video;
    video.FourCC = NDIlib_FourCC_type_H264;
    video.p_data = packet;
    video.data_size_in_bytes = sizeof packet;
    float samples[2 * 16] = {};
    NDIlib_audio_frame_v2_t audio;
    audio.no_samples = 16;
    audio.p_data = samples;
    audio.channel_stride_in_bytes = 16 * 4;
    char text[] = "<x/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;

    EXPECT_EQ(sendNDIFrames(sender, &video, &audio, &metadata), 0);
    EXPECT_EQ(next(), NDIlib_frame_type_audio);
    EXPECT_EQ(next(), NDIlib_frame_type_video);
    EXPECT_EQ(next(), NDIlib_frame_type_metadata);

    EXPECT_EQ(sendNDIFrames(sender, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(next(50), NDIlib_frame_type_none);
}

TEST_F(SenderWithReceiver, SendsThroughAStaleSenderAreSkipped) {
    float samples[16] = {};
    NDIlib_audio_frame_v2_t audio;
    audio.no_channels = 1;
    audio.no_samples = 16;
    audio.p_data = samples;
    NDIlib_send_instance_t stale = reinterpret_cast<NDIlib_send_instance_t>(&samples);
    EXPECT_EQ(sendNDIFrames(stale, nullptr, &audio, nullptr), 0);  // never dereferenced
    EXPECT_EQ(sendNDIFrames(sender, nullptr, &audio, nullptr), 0);
    EXPECT_EQ(next(), NDIlib_frame_type_audio);
    EXPECT_EQ(next(50), NDIlib_frame_type_none);
}

TEST(SenderReceiver, CreateNDIReceiverConnectsToTheGivenSource) {
    NDIlib_send_instance_t sender = nditest::makeSender("For Receiver");
    ASSERT_NE(sender, nullptr);
    const std::string address = nditest::addressOf(sender);
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_url_address = address.c_str();
    settings.color_format = NDIlib_recv_color_format_fastest;
    NDIlib_recv_instance_t receiver = createNDIReceiver(&settings, 1);
    ASSERT_NE(receiver, nullptr);
    EXPECT_STREQ(NDIlib_recv_get_source_name(receiver), "For Receiver");
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}

TEST_F(SenderReceivers, AnyoneCountsAsReceivingUntilTheSenderExistsThenOnlyConnections) {
    ASSERT_EQ(theNDISender.load(), nullptr);
    EXPECT_TRUE(anyReceiverConnected());
    testing::internal::CaptureStdout();
    NDIlib_send_instance_t sender = ensureNDISender();
    testing::internal::GetCapturedStdout();
    ASSERT_NE(sender, nullptr);
    EXPECT_FALSE(anyReceiverConnected());
    NDIlib_recv_instance_t receiver = h264check::connectReceiver(sender);
    ASSERT_NE(receiver, nullptr);
    EXPECT_TRUE(anyReceiverConnected());
    NDIlib_recv_destroy(receiver);
    destroyNDISender();
    EXPECT_TRUE(anyReceiverConnected());
}

TEST_F(SenderReceivers, NothingIsEncodedForNobodyAndAReceiverThatComesGetsAKeyframeFirst) {
    const auto picture = h264check::movingBgraPicture(320, 180, 0);
    const int64_t before = frameCounter.load();
    testing::internal::CaptureStdout();
    sendVideoToNDI(picture.data(), 320, 180, kPixelTagBGRA, 7, 1, 1);  // creates the sender
    testing::internal::GetCapturedStdout();
    NDIlib_send_instance_t sender = theNDISender.load();
    ASSERT_NE(sender, nullptr);
    const int64_t encoded = frameCounter.load();
    EXPECT_EQ(encoded, before + 1);  // the frame that made the sender is itself encoded
    for (int i = 0; i < 5; ++i) sendVideoToNDI(picture.data(), 320, 180, kPixelTagBGRA, 7, 1, 1);
    EXPECT_EQ(frameCounter.load(), encoded);

    NDIlib_recv_instance_t receiver = h264check::connectReceiver(sender);
    ASSERT_NE(receiver, nullptr);
    const auto next = h264check::movingBgraPicture(320, 180, 1);
    sendVideoToNDI(next.data(), 320, 180, kPixelTagBGRA, 7, 1, 1);
    std::vector<h264check::Packet> packets;
    ASSERT_EQ(h264check::collectPackets(receiver, 1, 5000, &packets), 1);
    ASSERT_TRUE(packets[0].valid);
    EXPECT_EQ(packets[0].header.flags, 1u);
    NDIlib_recv_destroy(receiver);
}
