#include "engine/sender.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "common/bounded_text.h"
#include "common/diagnostics.h"
#include "engine/threads.h"
#include "settings/prefs.h"

HXSenderState theHXState;
std::atomic<NDIlib_send_instance_t> theNDISender{nullptr};
char ndiSourceName[kHXTextSize] = "NDI Wendlor HX";

const int32_t bitRateTable[kBitRateModeCount] = {24000, 16000, 12000, 8000, 6000, 4000, 2000};
const int32_t qualityTable[kBitRateModeCount] = {15, 17, 20, 25, 30, 35, 40};

namespace {

// theNDISender's guard: creation and teardown take it exclusively; sends
// share it, so a sender is never destroyed under a send in flight.
std::shared_mutex senderLock;

}  // namespace

SenderHold::SenderHold()
    : lock_(senderLock), sender_(theNDISender.load(std::memory_order_acquire)) {}

bool SenderHold::receiverConnected() const {
    return sender_ != nullptr && NDIlib_send_get_no_connections(sender_, 0) > 0;
}

int32_t bitRateForMode(int32_t mode) {
    return static_cast<uint32_t>(mode) < kBitRateModeCount ? bitRateTable[mode] : 16000;
}

int32_t qualityForMode(int32_t mode) {
    return static_cast<uint32_t>(mode) < kBitRateModeCount ? qualityTable[mode] : 21;
}

void applyBitRateMode(HXSenderState* state, int32_t mode) {
    state->bitRate[0] = bitRateForMode(mode);
    state->bitRate[1] = state->bitRate[0] >> 2;
    state->quality = qualityForMode(mode);
    // A hand-edited or damaged setting: the stream runs, but say at what.
    if (static_cast<uint32_t>(mode) >= kBitRateModeCount) {
        diagnosticLine("bit-rate setting %d is outside 0 to %d: %d kbit/s at quality %d", mode,
                       kBitRateModeCount - 1, state->bitRate[0], state->quality);
    }
}

namespace {

// Both guarded by senderLock.
std::chrono::milliseconds refusedRetryInterval = kDefaultRefusedRetryInterval;
std::optional<std::chrono::steady_clock::time_point> lastRefusal;

bool refusedRecently() {
    return lastRefusal && std::chrono::steady_clock::now() - *lastRefusal < refusedRetryInterval;
}

}  // namespace

NDIlib_send_instance_t ensureNDISender() {
    NDIlib_send_instance_t sender = theNDISender.load(std::memory_order_acquire);
    if (sender != nullptr) return sender;
    std::unique_lock lock(senderLock);
    sender = theNDISender.load(std::memory_order_acquire);
    if (sender != nullptr) return sender;  // the other thread won the race
    if (refusedRecently()) return nullptr;
    // Both sending paths start the runtime before creating; whether it can
    // run is checked, and reported, by createNDISender.
    const bool runs = NDIlib_initialize();
    sender = setupNDIHXSender();
    if (sender == nullptr && runs) lastRefusal = std::chrono::steady_clock::now();
    if (sender != nullptr) lastRefusal.reset();
    theNDISender.store(sender, std::memory_order_release);
    return sender;
}

void setRefusedRetryInterval(std::chrono::milliseconds interval) {
    std::unique_lock lock(senderLock);
    refusedRetryInterval = interval;
    lastRefusal.reset();
}

bool anyReceiverConnected() {
    std::shared_lock lock(senderLock);
    NDIlib_send_instance_t sender = theNDISender.load(std::memory_order_acquire);
    return sender == nullptr || NDIlib_send_get_no_connections(sender, 0) > 0;
}

NDIlib_send_instance_t setupNDIHXSender() {
    HXSenderState& state = theHXState;
    state.networkMode = 0;
    applyBitRateMode(&state, thePrefs.theBitRateMode);
    memset(state.preset, 0, sizeof state.preset);
    memset(state.tune, 0, sizeof state.tune);
    copyBoundedUtf8(state.preset, sizeof state.preset, "ultrafast");
    copyBoundedUtf8(state.tune, sizeof state.tune, "zerolatency");
    state.useCBR = 0;
    state.interlaced = 0;
    state.allKeyframes = 0;
    return createNDISender(ndiSourceName, &state);
}

const char* ndiModeLine(int32_t networkMode) {
    switch (networkMode) {
        case 1:
            return "HX2 Using Allow Multicast Mode";
        case 2:
            return "HX2 Using Force TCP Mode";
        case 3:
            return "HX2 Using Allow rUDP Mode";
        default:
            return "HX2 Using Default NDI Mode";
    }
}

namespace {

constexpr const char* kDefaultConfig = R"({"ndi": {}})";

constexpr const char* kForceTCPConfig =
    R"({"ndi": {"rudp": {"recv": {"enable": false}, "send": {"enable": false}}, )"
    R"("tcp": {"recv": {"enable": false}, "send": {"enable": false}}, )"
    R"("groups": {"recv": "public", "send": "public"}, )"
    R"("multicast": {"send": {"enable": false, "netprefix": "239.192.136.100", )"
    R"("netmask": "255.255.255.0"}}, )"
    R"("unicast": {"recv": {"enable": false}, "send": {"enable": false}}}})";

constexpr const char* kReliableUDPConfig =
    R"({"ndi": {"groups": {"recv": "\"public\"", "send": "\"public\""}, )"
    R"("multicast": {"send": {"enable": false}}, )"
    R"("rudp": {"recv": {"enable": true}, "send": {"enable": true}}, )"
    R"("tcp": {"send": {"enable": false}}, )"
    R"("unicast": {"send": {"enable": false}}}})";

}  // namespace

const char* ndiConfigText(const HXSenderState& state, char* buffer, size_t size) {
    memset(buffer, 0, size);
    switch (state.networkMode) {
        case 1:
            snprintf(buffer, size,
                     R"({"ndi": {"multicast": {"send": {"enable": true, "netprefix": "%.*s", )"
                     R"("netmask": "%.*s"}}}})",
                     static_cast<int>(strnlen(state.multicastNetPrefix, kHXTextSize)),
                     state.multicastNetPrefix,
                     static_cast<int>(strnlen(state.multicastNetMask, kHXTextSize)),
                     state.multicastNetMask);
            break;
        case 2:
            snprintf(buffer, size, "%s", kForceTCPConfig);
            break;
        case 3:
            snprintf(buffer, size, "%s", kReliableUDPConfig);
            break;
        default:
            snprintf(buffer, size, "%s", kDefaultConfig);
            break;
    }
    return buffer;
}

void ignoreSignal(int) {}

NDIlib_send_instance_t createNDISender(const char* name, HXSenderState* state) {
    if (!NDIlib_initialize()) {
        printf("Cannot run NDI.");
        fflush(stdout);
        return nullptr;
    }
    signal(SIGINT, ignoreSignal);
    NDIlib_send_create_t create;
    create.p_ndi_name = name;
    create.p_groups = "";
    create.clock_video = false;
    create.clock_audio = false;
    char config[kNDIConfigTextSize];
    ndiConfigText(*state, config, sizeof config);
    // A refused sender is asked for again every few seconds: its mode line is
    // written once, and the count of the repeats when one is made at last.
    static RepeatedLine modeLine(DiagnosticStream::output);
    modeLine.write("%s", ndiModeLine(state->networkMode));
    const LentThreadName ioThreadName("ndi-io");
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&create, config);
    if (sender != nullptr) modeLine.ended();
    return sender;
}

int32_t sendNDIFrames(NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t* video,
                      const NDIlib_audio_frame_v2_t* audio,
                      const NDIlib_metadata_frame_t* metadata) {
    std::shared_lock lock(senderLock);
    if (sender == nullptr || sender != theNDISender.load(std::memory_order_acquire)) return 0;
    if (audio != nullptr) NDIlib_send_send_audio_v2(sender, audio);
    if (video != nullptr) NDIlib_send_send_video_v2(sender, video);
    if (metadata != nullptr) NDIlib_send_send_metadata(sender, metadata);
    return 0;
}

int32_t destroyNDISender() {
    std::unique_lock lock(senderLock);
    NDIlib_send_instance_t sender = theNDISender.load(std::memory_order_acquire);
    if (sender == nullptr) return 0;
    // Unpublished first, so no thread picks the sender up while it goes.
    theNDISender.store(nullptr, std::memory_order_release);
    NDIlib_send_destroy(sender);
    NDIlib_destroy();
    return 0;
}

void printNDIVersion() { printf("NDIlib_version = %s\n", NDIlib_version()); }

NDIlib_recv_instance_t createNDIReceiver(const NDIlib_recv_create_v3_t* settings, int32_t flag) {
    char receiverName[kHXTextSize] = {};
    copyBoundedUtf8(receiverName, sizeof receiverName, "NDI Processing Engine");
    NDIlib_recv_create_v3_t create;
    create.source_to_connect_to = settings->source_to_connect_to;
    create.bandwidth = settings->bandwidth;
    create.allow_video_fields = settings->allow_video_fields;
    create.color_format =
        flag != 0 ? NDIlib_recv_color_format_compressed_v2 : settings->color_format;
    create.p_ndi_recv_name = receiverName;
    char config[kNDIConfigTextSize];
    HXSenderState defaultMode{};
    return NDIlib_recv_create_v4(&create, ndiConfigText(defaultMode, config, sizeof config));
}
