#include "engine/hx_send.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/diagnostics.h"
#include "common/globals.h"
#include "common/temp_dir.h"
#include "engine/band_pool.h"
#include "engine/convert.h"
#include "engine/encoder.h"
#include "engine/sender.h"
#include "engine/timing.h"
#include "settings/prefs.h"

FILE* h264DumpFiles[2] = {nullptr, nullptr};
int64_t dataRateBytes = 0;
double dataRateTime = 0.0;

static_assert(kEncodedDataBytes >= kMaxCodedPictureBytes, "a coded picture must fit encodedData");
static_assert(kPacketBytes >= kHXPacketHeaderSize + kMaxCodedPictureBytes,
              "a header and a coded picture must fit the packet");
static_assert(kUyvyScratchBytes >= int64_t{kMaxFrameWidth} * kMaxFrameHeight * 2,
              "the largest accepted frame must fit the UYVY scratch");

namespace {

constexpr uint32_t kFourCC_BGRA = NDIlib_FourCC_type_BGRA;
constexpr uint32_t kFourCC_BGRX = ndiFourCC('B', 'G', 'R', 'X');
constexpr uint32_t kFourCC_UYVY = NDIlib_FourCC_type_UYVY;
constexpr uint32_t kFourCC_UYVA = ndiFourCC('U', 'Y', 'V', 'A');

}  // namespace

int32_t readHXPacket(const uint8_t* data, int64_t size, HXPacketHeader* header) {
    if (size < 0 || !decodeHXPacketHeader(data, static_cast<size_t>(size), header)) {
        diagnosticLine("malformed packet: %lld bytes, shorter than its header\n",
                       static_cast<long long>(size));
        return -1;
    }
    if (header->headerSize != kHXPacketHeaderSize) {
        diagnosticLine("malformed packet: header size %u, not 44\n", header->headerSize);
        return -1;
    }
    if (header->codec != kHXCodecH264) {
        diagnosticLine("malformed packet: codec 0x%08x, not H264\n", header->codec);
        return -1;
    }
    if (header->dataSize > size - kHXPacketHeaderSize) {
        diagnosticLine("malformed packet: %u data bytes announced, %lld present\n",
                       header->dataSize, static_cast<long long>(size - kHXPacketHeaderSize));
        return -1;
    }
    return 0;
}

namespace {

uint32_t streamFourCC(int32_t stream) {
    return stream == 0 ? NDIlib_FourCC_type_H264 : NDIlib_FourCC_type_h264;
}

bool keyframeRequired(NDIlib_send_instance_t sender, uint32_t fourcc) {
    NDIlib_video_frame_v2_t probe;
    probe.xres = 0;
    probe.yres = 0;
    probe.FourCC = fourcc;
    probe.frame_rate_N = 30000;
    probe.frame_rate_D = 1001;
    probe.picture_aspect_ratio = 0.0f;
    probe.frame_format_type = NDIlib_frame_format_type_progressive;
    probe.timecode = INT64_MAX;
    probe.p_data = nullptr;
    probe.data_size_in_bytes = 0;
    probe.p_metadata = nullptr;
    probe.timestamp = 0;
    return NDIlib_send_is_keyframe_required(sender, &probe);
}

bool encodableFourCC(uint32_t fourcc) {
    return fourcc == kFourCC_BGRA || fourcc == kFourCC_BGRX || fourcc == kFourCC_UYVY ||
           fourcc == kFourCC_UYVA;
}

// Frames the path cannot encode safely are refused before they touch the
// encoder: no picture number is used up and nothing is sent for them.
bool frameAccepted(const NDIlib_video_frame_v2_t& frame) {
    const char* reason = nullptr;
    if (!encodableFourCC(frame.FourCC)) {
        reason = "pixel format not encodable";
    } else if (frame.p_data == nullptr) {
        reason = "no pixels";
    } else if (frame.xres <= 0 || frame.yres <= 0 || frame.xres > kMaxFrameWidth ||
               frame.yres > kMaxFrameHeight) {
        reason = "size outside 1 x 1 to 7680 x 4320";
    } else if (frame.frame_rate_N <= 0 || frame.frame_rate_D <= 0) {
        reason = "no frame rate";
    }
    if (reason == nullptr) return true;
    diagnosticOutputLine(
        "sendFunctionSendData: frame refused (%s): FourCC 0x%08x %d x %d at %d/%d\n", reason,
        frame.FourCC, frame.xres, frame.yres, frame.frame_rate_N, frame.frame_rate_D);
    return false;
}

bool isBGRA(uint32_t fourcc) { return fourcc == kFourCC_BGRA || fourcc == kFourCC_BGRX; }

// BGRA reaches the encoder through libyuv's BT.601; UYVY comes from the
// mailbox's half-size conversion, BT.709.
ColourMatrix matrixOf(uint32_t fourcc) {
    return isBGRA(fourcc) ? ColourMatrix::bt601 : ColourMatrix::bt709;
}

// A picture of another matrix needs an encoder that announces it: the matrix
// stands in the sequence parameter set.
bool encoderOutOfStep(const HXSenderState& state, int32_t s, const NDIlib_video_frame_v2_t& frame) {
    return state.encoderReady[s] == 0 || frame.xres != state.lastWidth[s] ||
           frame.yres != state.lastHeight[s] || frame.frame_rate_N != state.lastRateN[s] ||
           frame.frame_rate_D != state.lastRateD[s] ||
           state.encoder[s]->matrix != matrixOf(frame.FourCC) || bitRateChanged.load() != 0;
}

void releaseStreamBuffers(HXSenderState* state, int32_t s) {
    std::free(state->encodedData[s]);
    state->encodedData[s] = nullptr;
    std::free(state->uyvyScratch[s]);
    state->uyvyScratch[s] = nullptr;
    std::free(state->packet[s]);
    state->packet[s] = nullptr;
}

void tearDownStream(HXSenderState* state, int32_t s) {
    closeH264Encoder(state->encoder[s]);
    state->encoder[s] = nullptr;
    releaseStreamBuffers(state, s);
    state->encoderReady[s] = 0;
}

// calloc: the large scratch comes straight from fresh zero pages, so only the
// part a frame touches costs memory.
bool allocateStreamBuffers(HXSenderState* state, int32_t s) {
    state->encodedData[s] = static_cast<uint8_t*>(std::malloc(kEncodedDataBytes));
    state->packet[s] = static_cast<uint8_t*>(std::calloc(kPacketBytes, 1));
    state->uyvyScratch[s] = static_cast<uint8_t*>(std::calloc(kUyvyScratchBytes, 1));
    return state->encodedData[s] != nullptr && state->packet[s] != nullptr &&
           state->uyvyScratch[s] != nullptr;
}

// The bit-rate control raised bitRateChanged so that the new setting takes
// effect: the new encoder is set up with the bit rates and quality it selects.
void takeBitRateSetting(HXSenderState* state) { applyBitRateMode(state, thePrefs.theBitRateMode); }

// Tears the stream's encoder down and sets up one for this frame. False when
// no encoder could be made: the frame is dropped and the next one tries again.
bool recreateEncoder(HXSenderState* state, int32_t s, const NDIlib_video_frame_v2_t& frame) {
    diagnosticOutputLine("sendFunctionSendData re/initialise 264 : stream=%d\n", s);
    if (bitRateChanged.exchange(0) != 0) takeBitRateSetting(state);
    if (state->encoderReady[s] == 1) {
        diagnosticOutputLine("tear down previous : stream=%d\n", s);
        tearDownStream(state, s);
    }
    const int32_t interlaced =
        (frame.frame_format_type != NDIlib_frame_format_type_progressive || state->interlaced != 0)
            ? 1
            : 0;
    diagnosticOutputLine("setupH264 for %s stream=%d %d/%d\n",
                         interlaced ? "Interlaced" : "Progressive", s, frame.frame_rate_N,
                         frame.frame_rate_D);
    state->encoder[s] =
        setupH264(frame.xres, frame.yres, frame.frame_rate_N, frame.frame_rate_D, state->bitRate[s],
                  state, s, interlaced, state->allKeyframes, matrixOf(frame.FourCC));
    const bool allocated = allocateStreamBuffers(state, s);
    state->lastWidth[s] = frame.xres;
    state->lastHeight[s] = frame.yres;
    state->lastRateN[s] = frame.frame_rate_N;
    state->lastRateD[s] = frame.frame_rate_D;
    if (state->encoder[s] == nullptr || !allocated) {
        if (!allocated)
            diagnosticOutputLine("sendFunctionSendData: out of memory : stream=%d\n", s);
        tearDownStream(state, s);
        return false;
    }
    state->encoderReady[s] = 1;
    return true;
}

// A set-up that fails (no memory, no threads for x264) fails again on the
// next frames, once a frame, with the same lines: those are written the
// first time only. Afterwards each failure is counted, and the count given
// when a set-up succeeds again. Touched only by the sender thread.
bool setUpFailing[2] = {false, false};
RepeatedLine setUpFailed[2] = {RepeatedLine{DiagnosticStream::output},
                               RepeatedLine{DiagnosticStream::output}};

bool recreateEncoderOnce(HXSenderState* state, int32_t s, const NDIlib_video_frame_v2_t& frame) {
    bool made = false;
    {
        const HeldLines repeated(setUpFailing[s]);
        made = recreateEncoder(state, s, frame);
    }
    setUpFailing[s] = !made;
    if (made) {
        setUpFailed[s].ended();
    } else {
        setUpFailed[s].write("sendFunctionSendData: no encoder for stream %d, frame dropped", s);
    }
    return made;
}

// A countdown of 2 fires one frame later, so a forced keyframe is followed by
// a second one with an intra refresh queued before it.
bool countdownFires(int32_t* countdown) {
    if (*countdown <= 0) return false;
    *countdown -= 1;
    if (*countdown != 1) return false;
    *countdown = 0;
    return true;
}

bool decideKeyframe(NDIlib_send_instance_t sender, HXSenderState* state, int32_t s,
                    int32_t streamMode, bool forced) {
    bool keyframe = false;
    const bool firedA = countdownFires(&state->keyframeCountdownA[s]);
    const bool firedB = countdownFires(&state->keyframeCountdownB[s]);
    if (firedA || firedB) {
        keyframe = true;
        const H264Encoder* encoder = state->encoder[s];
        if (encoder != nullptr && encoder->encoder != nullptr) {
            x264_encoder_intra_refresh(encoder->encoder);
        }
    }
    bool required = keyframeRequired(sender, streamFourCC(s));
    if (streamMode == 2 && !required) required = keyframeRequired(sender, NDIlib_FourCC_type_h264);
    if (forced || state->allKeyframes != 0 || required) {
        state->keyframeCountdownA[s] = 2;
        state->keyframeCountdownB[s] = 0;
        keyframe = true;
    }
    return keyframe;
}

// Rows are taken as packed: the frame's line stride is not consulted.
int32_t encodeFrame(HXSenderState* state, int32_t s, const NDIlib_video_frame_v2_t& frame,
                    bool keyframe, int32_t* flag, int64_t* pictureNumber) {
    const int32_t type = keyframe ? kPictureTypeIDR : kPictureTypeAuto;
    H264Encoder* encoder = state->encoder[s];
    StageClock clock;
    // The scaling path (never taken by the program) converts the whole
    // picture inside the encoder.
    const uint8_t* source = encoder->scale == 1.0f ? nullptr : frame.p_data;
    if (isBGRA(frame.FourCC)) {
        if (source != nullptr) {
            libyuv::ARGBToUYVY(frame.p_data, 4 * frame.xres, state->uyvyScratch[s], 2 * frame.xres,
                               frame.xres, frame.yres);
            source = state->uyvyScratch[s];
        } else if (!bgraToI420InBands(pictureBandPool(), encoder, frame.p_data, frame.xres,
                                      frame.yres, state->uyvyScratch[s], kUyvyScratchBytes)) {
            return -1;
        }
    } else if (source == nullptr && !uyvyToI420InBands(pictureBandPool(), encoder, frame.p_data,
                                                       frame.xres, frame.yres)) {
        return -1;
    }
    clock.lap(EngineStage::Convert);
    // From here on the encoder reads its own picture: the mailbox may take
    // the next frame while this one is encoded and sent.
    if (source != frame.p_data) releaseFramePixels(frame.p_data);
    int64_t dts = 0;
    const int32_t bytes =
        encodeUYVYFrame(encoder, type, source, frame.xres, frame.yres, state->encodedData[s],
                        kFourCC_UYVA, flag, pictureNumber, &dts);
    clock.lap(EngineStage::Encode);
    return bytes;
}

void writePacket(HXSenderState* state, int32_t s, const NDIlib_video_frame_v2_t& frame,
                 int32_t bytes, int32_t flag, int64_t pictureNumber) {
    const int64_t duration = int64_t{frame.frame_rate_D} * 10000000 / frame.frame_rate_N;
    HXPacketHeader header;
    header.pts = duration * pictureNumber;
    header.dts = header.pts;
    header.flags = flag != 0 ? 1 : 0;
    header.dataSize = static_cast<uint32_t>(bytes);
    writeHXPacketHeader(state->packet[s], header);
    if (bytes > 0)
        std::memcpy(state->packet[s] + kHXPacketHeaderSize, state->encodedData[s], bytes);
}

void sendPacket(NDIlib_send_instance_t sender, const HXSenderState& state, int32_t s,
                int32_t streamMode, const NDIlib_video_frame_v2_t& frame, int32_t bytes,
                bool keyframe) {
    NDIlib_video_frame_v2_t compressed;
    compressed.xres = frame.xres;
    compressed.yres = frame.yres;
    compressed.FourCC = streamFourCC(s);
    compressed.frame_rate_N = frame.frame_rate_N;
    compressed.frame_rate_D = frame.frame_rate_D;
    compressed.picture_aspect_ratio = frame.picture_aspect_ratio;
    compressed.frame_format_type =
        (frame.frame_format_type == NDIlib_frame_format_type_progressive && state.interlaced == 0)
            ? NDIlib_frame_format_type_progressive
            : NDIlib_frame_format_type_interleaved;
    compressed.timecode = frame.timecode;
    compressed.p_data = state.packet[s];
    compressed.data_size_in_bytes = static_cast<int32_t>(kHXPacketHeaderSize) + bytes;
    compressed.p_metadata = frame.p_metadata;
    compressed.timestamp = 0;
    // The caller keeps the sender alive for the call: sendVideoToNDI holds
    // theNDISender's guard (a SenderHold) around it.
    NDIlib_send_send_video_v2(sender, &compressed);
    // Asking again after a keyframe lets the runtime settle who still waits.
    if (keyframe) keyframeRequired(sender, compressed.FourCC);
    if (streamMode != 2) return;
    compressed.FourCC = NDIlib_FourCC_type_h264;
    NDIlib_send_send_video_v2(sender, &compressed);
    if (keyframe) keyframeRequired(sender, NDIlib_FourCC_type_h264);
}

}  // namespace

int32_t sendFunctionSendData(NDIlib_send_instance_t sender, NDIlib_video_frame_v2_t* video,
                             const NDIlib_audio_frame_v2_t* audio,
                             const NDIlib_metadata_frame_t* metadata, int64_t /*unused*/,
                             HXSenderState* state, int32_t streamMode) {
    if (sender == nullptr) {
        diagnosticOutputLine("sendFunctionSendData: no sender\n");
        return 0;
    }
    if (video == nullptr) {
        if (audio != nullptr) NDIlib_send_send_audio_v2(sender, audio);
        if (metadata != nullptr) NDIlib_send_send_metadata(sender, metadata);
        return 0;
    }
    if (state == nullptr || streamMode < 0 || streamMode > 2) {
        diagnosticOutputLine("sendFunctionSendData: stream mode %d refused\n", streamMode);
        return 0;
    }
    const int32_t s = streamMode == 2 ? 0 : streamMode;
    if (s != 0) video->line_stride_in_bytes = 2 * video->xres;
    if (!frameAccepted(*video)) return 0;
    bool forced = false;
    if (encoderOutOfStep(*state, s, *video)) {
        if (!recreateEncoderOnce(state, s, *video)) return 0;
        forced = true;
    }
    const bool keyframe = decideKeyframe(sender, state, s, streamMode, forced);
    int32_t flag = 0;
    int64_t pictureNumber = 0;
    const int32_t bytes = encodeFrame(state, s, *video, keyframe, &flag, &pictureNumber);
    if (bytes < 0) return 0;
    writePacket(state, s, *video, bytes, flag, pictureNumber);
    StageClock clock;
    sendPacket(sender, *state, s, streamMode, *video, bytes, flag != 0);
    clock.lap(EngineStage::Send);
    return 0;
}

int32_t destroyNDIHXSender(NDIlib_send_instance_t sender, HXSenderState* state) {
    // The shared sender goes through its own teardown, which also clears
    // theNDISender, so nothing is left pointing at a destroyed sender.
    if (sender != nullptr && sender == theNDISender.load()) {
        destroyNDISender();
    } else {
        if (sender != nullptr) NDIlib_send_destroy(sender);
        NDIlib_destroy();
    }
    for (int32_t s = 0; s < 2 && state != nullptr; ++s) {
        if (state->encoderReady[s] != 0) tearDownStream(state, s);
    }
    return 0;
}

namespace {

bool dumpFilePath(char* path, size_t size, int32_t stream) {
    char dir[PATH_MAX];
    if (copyTemporaryDirectory(dir, sizeof dir) != 0) return false;
    const int n = std::snprintf(path, size, "%sh264data_%d.h264", dir, stream);
    return n > 0 && static_cast<size_t>(n) < size;
}

}  // namespace

void dumpH264ToFile(const uint8_t* bytes, int32_t length, int32_t stream) {
    if (stream < 0 || stream > 1 || bytes == nullptr || length <= 0) return;
    if (h264DumpFiles[stream] == nullptr) {
        char path[PATH_MAX];
        if (!dumpFilePath(path, sizeof path, stream)) return;
        std::remove(path);
        h264DumpFiles[stream] = std::fopen(path, "ab");
        if (h264DumpFiles[stream] == nullptr) return;
    }
    std::fwrite(bytes, 1, static_cast<size_t>(length), h264DumpFiles[stream]);
}

int32_t printDataRate(int32_t count) {
    dataRateBytes += count;
    const double now = currentTimeSeconds();
    if (now - dataRateTime >= 1.0) {
        diagnosticOutputLine("DataRate = %.02f MBit\n",
                             static_cast<double>(dataRateBytes) * 0.000001);
        dataRateBytes = 0;
        dataRateTime = now;
    }
    return 0;
}
