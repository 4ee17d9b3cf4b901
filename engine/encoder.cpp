#include "engine/encoder.h"

#include <libyuv/convert.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/bounded_text.h"
#include "common/diagnostics.h"
#include "engine/sender.h"
#include "engine/threads.h"

EncoderTuning theEncoderTuning[2];
std::atomic<int64_t> frameCounter{0};

int32_t initEncoderTuning(EncoderTuning* tuning, const HXSenderState* state) {
    copyBoundedUtf8(tuning->tune, sizeof tuning->tune, state->tune);
    copyBoundedUtf8(tuning->preset, sizeof tuning->preset, state->preset);
    tuning->reserved2 = 2;
    tuning->factors[0] = 1.2f;
    tuning->factors[1] = 1.5f;
    tuning->factors[2] = 1.5f;
    tuning->factors[3] = 2.0f;
    tuning->reserved10 = 10;
    for (int32_t& copy : tuning->quality) copy = state->quality;
    return 0;
}

// A quarter of a second at the cap, so the stream never runs far ahead of the
// chosen rate and no picture it allows reaches kMaxCodedPictureBytes (a
// quarter second at the menu's top 24 Mbit/s is 750,000 bytes).
int32_t qualityVbvBufferKbit(int32_t bitRate) {
    constexpr int32_t kMostKbit = kMaxCodedPictureBytes * 8 / 1000 * 3 / 4;
    return std::clamp(bitRate / 4, 1, kMostKbit);
}

namespace {

bool validStream(int32_t stream) { return stream == 0 || stream == 1; }

// Constant quality (CRF) at the quality of the bit-rate setting, with the
// setting's bit rate as a VBV cap, so the chosen rate bounds the stream while
// simple pictures still cost little. The preset's low-latency choices are
// kept in check: no lookahead, an IDR at least every 100 pictures, headers
// before each. A bit rate of 0 leaves the quality uncapped.
void setQualityParams(H264Encoder* context, const EncoderTuning& tuning, int32_t bitRate,
                      int32_t stream) {
    x264_param_t* param = context->param;
    diagnosticOutputLine("NOT CBR Mode\n");
    x264_param_default(param);
    param->b_repeat_headers = 1;
    x264_param_default_preset(param, tuning.preset, tuning.tune);
    param->b_repeat_headers = 1;
    param->i_sps_id = 0;
    param->rc.i_rc_method = X264_RC_CRF;
    const int32_t q = tuning.quality[0];
    param->rc.i_qp_constant = q;
    param->rc.f_rf_constant = static_cast<float>(q);
    // No ceiling on the rate factor: the VBV must be free to raise it as far
    // as the cap asks.
    param->rc.f_rf_constant_max = 0.0f;
    context->bitRate = bitRate;
    if (bitRate > 0) {
        param->rc.i_vbv_max_bitrate = bitRate;
        param->rc.i_vbv_buffer_size = qualityVbvBufferKbit(bitRate);
    }
    context->quality = q;
    diagnosticOutputLine("qualityLevel for stream %d = %d\n", stream, q);
    param->i_threads = encoderThreadCount();
    param->i_keyint_max = 100;
    param->rc.i_lookahead = 0;
}

// Average bit rate with a VBV cap; selected by useCBR, which the sender never
// sets.
void setBitRateParams(H264Encoder* context, const EncoderTuning& tuning, int32_t bitRate,
                      int32_t interlaced, const HXSenderState* state) {
    x264_param_t* param = context->param;
    diagnosticOutputLine("Using CBR Mode\n");
    x264_param_default(param);
    param->b_repeat_headers = 1;
    x264_param_default_preset(param, tuning.preset, tuning.tune);
    param->b_repeat_headers = 1;
    param->i_sps_id = 0;
    param->i_log_level = X264_LOG_ERROR;
    param->rc.i_rc_method = X264_RC_ABR;
    context->bitRate = bitRate;
    param->rc.i_bitrate = bitRate;
    if (bitRate > 0) {
        param->rc.i_vbv_max_bitrate =
            static_cast<int>(static_cast<float>(bitRate) * tuning.factors[0]);
        param->rc.i_vbv_buffer_size =
            static_cast<int>(static_cast<float>(bitRate) * tuning.factors[2]);
    }
    param->b_annexb = 1;
    param->b_stitchable = 1;
    if (interlaced != 0 || state->interlaced != 0) {
        param->b_interlaced = 1;
        param->b_tff = 1;
    }
    if (state->interlaced != 0) param->b_fake_interlaced = 1;
    param->b_open_gop = 0;
}

// Colour description of the stream (H.264 VUI, codes of ITU-T H.273): the
// screen's pixels are sRGB, so primaries and transfer are sRGB's whatever the
// matrix; both conversions give studio range.
void setColourParams(x264_param_t* param, ColourMatrix matrix) {
    constexpr int kPrimariesBT709 = 1;
    constexpr int kTransferSRGB = 13;  // IEC 61966-2-1
    constexpr int kMatrixBT709 = 1;
    constexpr int kMatrixSMPTE170M = 6;  // BT.601 525, the same as BT.470 BG's
    param->vui.i_colorprim = kPrimariesBT709;
    param->vui.i_transfer = kTransferSRGB;
    param->vui.i_colmatrix = matrix == ColourMatrix::bt709 ? kMatrixBT709 : kMatrixSMPTE170M;
    param->vui.b_fullrange = 0;
}

// x264 writes its notes from the threads that open, encode and close: the
// sender thread and x264's own, which must never wait on a reader of
// standard error.
void x264Log(void* /*unused*/, int level, const char* format, va_list args) {
    char text[kMaxDiagnosticLine];
    std::vsnprintf(text, sizeof text, format, args);
    const char* name = level == X264_LOG_ERROR     ? "error"
                       : level == X264_LOG_WARNING ? "warning"
                       : level == X264_LOG_INFO    ? "info"
                                                   : "debug";
    diagnosticLine("x264 [%s]: %s", name, text);
}

void setPictureParams(x264_param_t* param, int32_t width, int32_t height, int32_t fpsN,
                      int32_t fpsD) {
    param->i_width = width;
    param->i_height = height;
    param->i_fps_num = static_cast<uint32_t>(fpsN);
    param->i_fps_den = static_cast<uint32_t>(fpsD);
    param->i_csp = X264_CSP_I420;
    param->b_repeat_headers = 1;
    param->pf_log = x264Log;
}

}  // namespace

void initX264Encoder(H264Encoder* context, int32_t width, int32_t height, int32_t fpsN,
                     int32_t fpsD, int32_t bitRate, const HXSenderState* state, int32_t stream,
                     int32_t interlaced, int32_t /*allKeyframes*/) {
    EncoderTuning& tuning = theEncoderTuning[stream];
    initEncoderTuning(&tuning, state);
    context->param = new (std::nothrow) x264_param_t{};
    context->picIn = new (std::nothrow) x264_picture_t{};
    if (context->param == nullptr || context->picIn == nullptr) {
        diagnosticOutputLine("setupH264: out of memory\n");
        return;
    }
    if (state->useCBR != 0) {
        setBitRateParams(context, tuning, bitRate, interlaced, state);
        diagnosticOutputLine("x264 INIT dims: %dx%d rate : %d/%d\n", width, height, fpsN, fpsD);
    } else {
        setQualityParams(context, tuning, bitRate, stream);
    }
    context->width = width;
    context->height = height;
    setPictureParams(context->param, width, height, fpsN, fpsD);
    setColourParams(context->param, context->matrix);
    x264_param_apply_profile(context->param, state->interlaced != 0 ? "main" : "baseline");
    context->param->b_repeat_headers = 1;
    context->param->i_sps_id = 0;
    {
        const LentThreadName workerName("x264");
        context->encoder = x264_encoder_open(context->param);
    }
    if (context->encoder == nullptr) {
        diagnosticOutputLine("x264_encoder_open error!\n");
        return;
    }
    if (x264_picture_alloc(context->picIn, X264_CSP_I420, width, height) != 0) {
        diagnosticOutputLine("x264_picture_alloc error!\n");
    }
}

H264Encoder* setupH264(int32_t width, int32_t height, int32_t fpsN, int32_t fpsD, int32_t bitRate,
                       const HXSenderState* state, int32_t stream, int32_t interlaced,
                       int32_t allKeyframes, ColourMatrix matrix) {
    diagnosticOutputLine("setupH264 = %d x %d\n", width, height);
    if (!validStream(stream) || width <= 0 || height <= 1) {
        diagnosticOutputLine("setupH264: refused stream %d at %d x %d\n", stream, width, height);
        return nullptr;
    }
    auto* context = new (std::nothrow) H264Encoder{};
    if (context == nullptr) {
        diagnosticOutputLine("setupH264: out of memory\n");
        return nullptr;
    }
    context->matrix = matrix;
    initX264Encoder(context, width, height & ~1, fpsN, fpsD, bitRate, state, stream, interlaced,
                    allKeyframes);
    if (context->encoder == nullptr || context->picIn->img.plane[0] == nullptr) {
        releaseH264Encoder(context);
        return nullptr;
    }
    const size_t planeBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    context->planeY = new (std::nothrow) uint8_t[planeBytes];
    context->planeV = new (std::nothrow) uint8_t[planeBytes];
    context->planeU = new (std::nothrow) uint8_t[planeBytes];
    if (context->planeY == nullptr || context->planeV == nullptr || context->planeU == nullptr) {
        diagnosticOutputLine("setupH264: out of memory\n");
        closeH264Encoder(context);
        return nullptr;
    }
    return context;
}

int32_t copyNalPayloads(const x264_nal_t* nals, int32_t count, uint8_t* output) {
    int64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int64_t size = nals[i].i_payload;
        if (total + size >= kMaxCodedPictureBytes) {
            diagnosticOutputLine("Frame data is too large - reduce data rate\n");
            break;
        }
        std::memcpy(output + total, nals[i].p_payload, static_cast<size_t>(size));
        total += size;
    }
    return static_cast<int32_t>(total);
}

bool convertUYVYBand(H264Encoder* encoder, const uint8_t* uyvy, int32_t w, int32_t firstRow,
                     int32_t rows) {
    if (encoder == nullptr || encoder->picIn == nullptr) return false;
    const x264_image_t& img = encoder->picIn->img;
    if (img.plane[1] == nullptr || w != encoder->width || rows < 1 || firstRow < 0 ||
        (firstRow & 1) != 0 || firstRow >= encoder->height)
        return false;
    rows = std::min(rows, encoder->height - firstRow);
    const int32_t chromaRow = firstRow >> 1;
    return libyuv::UYVYToI420(uyvy, 2 * w, img.plane[0] + int64_t{firstRow} * img.i_stride[0],
                              img.i_stride[0], img.plane[1] + int64_t{chromaRow} * img.i_stride[1],
                              img.i_stride[1], img.plane[2] + int64_t{chromaRow} * img.i_stride[2],
                              img.i_stride[2], w, rows) == 0;
}

namespace {

// Encodes picIn as it stands, numbering it from frameCounter, and copies the
// coded picture to output.
int32_t encodePicture(H264Encoder* encoder, uint8_t* output, int32_t* keyframe) {
    x264_picture_t* picture = encoder->picIn;
    picture->i_pts = frameCounter.fetch_add(1);
    x264_picture_t picOut{};
    int nalCount = 0;
    if (x264_encoder_encode(encoder->encoder, &encoder->nals, &nalCount, picture, &picOut) < 0) {
        diagnosticOutputLine("x264_encoder_encode error,type:%08x!\n", picture->img.i_csp);
        return -1;
    }
    if (keyframe != nullptr) *keyframe = picOut.b_keyframe;
    if (nalCount < 1) return 0;
    return copyNalPayloads(encoder->nals, nalCount, output);
}

bool encoderOpen(const H264Encoder* encoder) {
    return encoder != nullptr && encoder->encoder != nullptr && encoder->picIn != nullptr &&
           encoder->picIn->img.plane[0] != nullptr;
}

int pictureTypeFor(int32_t type) {
    switch (static_cast<uint32_t>(type)) {
        case 0:
            return X264_TYPE_P;
        case 1:
            return X264_TYPE_IDR;
        case 2:
            return X264_TYPE_I;
        case 3:
            return X264_TYPE_KEYFRAME;
        default:
            return X264_TYPE_AUTO;
    }
}

bool convertIntoPicture(H264Encoder* encoder, const uint8_t* uyvy, int32_t w, int32_t h) {
    return convertUYVYBand(encoder, uyvy, w, 0, h);
}

// Converts into the scratch planes, then scales into the picture, kept
// within the picture's size.
bool convertScaledIntoPicture(H264Encoder* encoder, const uint8_t* uyvy, int32_t w, int32_t h) {
    const x264_image_t& img = encoder->picIn->img;
    if (img.plane[1] == nullptr || w != encoder->width || h < 1 || h > encoder->height)
        return false;
    const int32_t half = w >> 1;
    const bool converted = libyuv::UYVYToI420(uyvy, 2 * w, encoder->planeY, w, encoder->planeU,
                                              half, encoder->planeV, half, w, h) == 0;
    const int32_t dstW =
        std::min(static_cast<int32_t>(static_cast<float>(w) * encoder->scale), encoder->width);
    const int32_t dstH =
        std::min(static_cast<int32_t>(static_cast<float>(h) * encoder->scale), encoder->height);
    if (dstW > 0 && dstH > 0) {
        libyuv::I420Scale(encoder->planeY, w, encoder->planeU, half, encoder->planeV, half, w, h,
                          img.plane[0], img.i_stride[0], img.plane[1], img.i_stride[1],
                          img.plane[2], img.i_stride[2], dstW, dstH, libyuv::kFilterNone);
    }
    return converted;
}

}  // namespace

int32_t encodeH264Frame(H264Encoder* encoder, int32_t type, uint8_t* output, int32_t /*unused*/,
                        int32_t* keyframe) {
    if (!encoderOpen(encoder)) return -1;
    encoder->picIn->i_type = pictureTypeFor(type);
    return encodePicture(encoder, output, keyframe);
}

int32_t encodeUYVYFrame(H264Encoder* encoder, int32_t type, const uint8_t* uyvy, int32_t w,
                        int32_t h, uint8_t* output, uint32_t /*fourcc*/, int32_t* keyframe,
                        int64_t* pts, int64_t* dts) {
    if (!encoderOpen(encoder)) return -1;
    if (uyvy != nullptr) {
        const bool converted = encoder->scale == 1.0f
                                   ? convertIntoPicture(encoder, uyvy, w, h)
                                   : convertScaledIntoPicture(encoder, uyvy, w, h);
        if (!converted) return -1;
    }
    int32_t flag = 0;
    const int32_t bytes = encodeH264Frame(encoder, type, output, 0, &flag);
    *keyframe = flag;
    *pts = encoder->picIn->i_pts;
    *dts = encoder->picIn->i_dts;
    return bytes;
}

int32_t encodeI420Frame(H264Encoder* encoder, int32_t /*unused*/, const uint8_t* y,
                        const uint8_t* u, const uint8_t* v, uint8_t* output) {
    if (!encoderOpen(encoder) || y == nullptr || u == nullptr || v == nullptr) return -1;
    const x264_image_t& img = encoder->picIn->img;
    const size_t lumaBytes = static_cast<size_t>(encoder->param->i_width) *
                             static_cast<size_t>(encoder->param->i_height);
    std::memcpy(img.plane[0], y, lumaBytes);
    std::memcpy(img.plane[1], u, lumaBytes >> 2);
    std::memcpy(img.plane[2], v, lumaBytes >> 2);
    return encodePicture(encoder, output, nullptr);
}

int32_t encodeYUYVFrame(H264Encoder* encoder, int32_t type, const uint8_t* yuyv, uint8_t* output) {
    if (!encoderOpen(encoder) || yuyv == nullptr) return -1;
    // The packed front end knows no keyframe type: 3 lets the encoder choose.
    encoder->picIn->i_type = pictureTypeFor(type == 3 ? kPictureTypeAuto : type);
    // 4:2:2 to the picture's 4:2:0: libyuv averages the chroma of each row pair.
    const x264_image_t& img = encoder->picIn->img;
    const int32_t w = encoder->param->i_width;
    if (libyuv::YUY2ToI420(yuyv, 2 * w, img.plane[0], img.i_stride[0], img.plane[1],
                           img.i_stride[1], img.plane[2], img.i_stride[2], w,
                           encoder->param->i_height) != 0) {
        return -1;
    }
    return encodePicture(encoder, output, nullptr);
}

void releaseH264Encoder(H264Encoder* encoder) {
    if (encoder == nullptr) return;
    if (encoder->picIn != nullptr) {
        if (encoder->picIn->img.plane[0] != nullptr) x264_picture_clean(encoder->picIn);
        delete encoder->picIn;
        encoder->picIn = nullptr;
    }
    if (encoder->param != nullptr) x264_param_cleanup(encoder->param);
    delete encoder->param;
    encoder->param = nullptr;
    if (encoder->encoder != nullptr) x264_encoder_close(encoder->encoder);
    delete encoder;
}

void closeH264Encoder(H264Encoder* encoder) {
    if (encoder == nullptr) return;
    delete[] encoder->planeY;
    delete[] encoder->planeV;
    delete[] encoder->planeU;
    releaseH264Encoder(encoder);
}
