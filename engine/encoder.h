// The H.264 encoder of the compressed path: one x264 encoder per stream, set
// up for constant quality capped at the stream's bit rate and for low latency,
// fed UYVY pictures converted to I420, giving back each coded picture as
// Annex B bytes.
#pragma once

#include <atomic>
#include <cstdint>

// x264.h wants the fixed-width integer types declared before it.
#include <x264.h>

struct HXSenderState;

// The matrix by which a picture's Y'CbCr was made from the screen's RGB, both
// in studio range: BT.601 by libyuv on the native path, BT.709 by the
// half-size conversion of wide pictures. Each encoder announces its pictures'
// matrix in the stream, so a decoder shows both in the same colours.
enum class ColourMatrix : int32_t { bt601, bt709 };

// One stream's encoder. Every pointer is owned by the record and freed by
// closeH264Encoder.
struct H264Encoder {
    x264_param_t* param = nullptr;
    x264_t* encoder = nullptr;
    x264_picture_t* picIn = nullptr;
    x264_nal_t* nals = nullptr;  // owned by x264, valid until the next encode
    int32_t height = 0;          // requested height rounded down to even
    int32_t width = 0;
    float scale = 1.0f;         // any other value takes the scaling path
    uint8_t* planeY = nullptr;  // scratch planes of the scaling path
    uint8_t* planeV = nullptr;
    uint8_t* planeU = nullptr;
    int32_t bitRate = 0;  // kbit/s: the quality set-up's cap, the bit-rate set-up's average
    int32_t quality = 0;
    ColourMatrix matrix = ColourMatrix::bt601;  // announced in the stream
};

// Per-stream tuning, rewritten at each set-up. Only the preset, tune, the VBV
// factors (first and third) and the first quality copy are read.
struct EncoderTuning {
    char preset[256];
    char tune[256];
    int32_t reserved2;
    float factors[4];  // {VBV maximum, -, VBV buffer, -}
    int32_t reserved10;
    int32_t quality[3];
};
extern EncoderTuning theEncoderTuning[2];

// The process-wide picture number: each encode takes it as the picture's pts
// and adds one. Never reset, so pts runs on across encoder re-creations; 64
// bits so it never wraps.
extern std::atomic<int64_t> frameCounter;

// Coded pictures are cut at this many bytes; output buffers hold at least it.
inline constexpr int32_t kMaxCodedPictureBytes = 1000000;

// The VBV buffer in kbit of the quality set-up capped at bitRate kbit/s.
int32_t qualityVbvBufferKbit(int32_t bitRate);

// Opens an encoder for width x height at fpsN/fpsD with the preset, tune,
// quality and rate-control choice of state; in the quality set-up a bitRate
// above 0 (kbit/s) caps the stream. The stream announces matrix for its
// pictures. None (null) when x264 refuses the parameters (for example an odd
// width).
H264Encoder* setupH264(int32_t width, int32_t height, int32_t fpsN, int32_t fpsD, int32_t bitRate,
                       const HXSenderState* state, int32_t stream, int32_t interlaced,
                       int32_t allKeyframes, ColourMatrix matrix = ColourMatrix::bt601);
// Fills theEncoderTuning[stream], builds the parameter block and opens x264
// into context, announcing context->matrix. Leaves context->encoder null when
// the open fails.
void initX264Encoder(H264Encoder* context, int32_t width, int32_t height, int32_t fpsN,
                     int32_t fpsD, int32_t bitRate, const HXSenderState* state, int32_t stream,
                     int32_t interlaced, int32_t allKeyframes);
// Fills tuning from state as every set-up does. Returns 0.
int32_t initEncoderTuning(EncoderTuning* tuning, const HXSenderState* state);

// Picture types asked of encodeUYVYFrame and encodeH264Frame: 0 P, 1 IDR,
// 2 I, 3 keyframe, anything else (-1) lets the encoder choose.
inline constexpr int32_t kPictureTypeAuto = -1;
inline constexpr int32_t kPictureTypeIDR = 1;

// Converts w x h UYVY bytes (rows of 2 x w bytes; a null source keeps the
// previous picture) into the encoder's picture and encodes it into output,
// which holds at least kMaxCodedPictureBytes. Returns the byte count, or -1
// when the source does not fit the encoder or conversion or encoding fail. On
// success sets *keyframe to the encoder's verdict and *pts, *dts to the
// picture number. fourcc is not read.
int32_t encodeUYVYFrame(H264Encoder* encoder, int32_t type, const uint8_t* uyvy, int32_t w,
                        int32_t h, uint8_t* output, uint32_t fourcc, int32_t* keyframe,
                        int64_t* pts, int64_t* dts);
// Converts `rows` UYVY rows (2 x w bytes each, starting at uyvy) into the
// encoder's picture from picture row firstRow on, which must be even; rows
// beyond the encoder's height are left out. Lets a caller convert a picture
// band by band while each band is still in the cache, then encode it with
// encodeUYVYFrame and a null source. False when the band does not fit the
// encoder or the conversion fails.
bool convertUYVYBand(H264Encoder* encoder, const uint8_t* uyvy, int32_t w, int32_t firstRow,
                     int32_t rows);
// Encodes the picture already in the encoder's input picture. Returns the
// byte count (0 when x264 gave nothing) or -1.
int32_t encodeH264Frame(H264Encoder* encoder, int32_t type, uint8_t* output, int32_t unused,
                        int32_t* keyframe);
// Copies NAL payloads to output in order while the total stays below
// kMaxCodedPictureBytes; the unit that would reach it and all after it are
// dropped with "Frame data is too large - reduce data rate". Returns the
// bytes copied.
int32_t copyNalPayloads(const x264_nal_t* nals, int32_t count, uint8_t* output);

// Other front ends, unused by the program: planar I420 planes of the
// encoder's size, and packed 4:2:2 Y0 U Y1 V bytes (brought to 4:2:0).
int32_t encodeI420Frame(H264Encoder* encoder, int32_t unused, const uint8_t* y, const uint8_t* u,
                        const uint8_t* v, uint8_t* output);
int32_t encodeYUYVFrame(H264Encoder* encoder, int32_t type, const uint8_t* yuyv, uint8_t* output);

// Frees everything the record owns and the record itself.
void closeH264Encoder(H264Encoder* encoder);
// The same without the scaling planes: for a record whose planes were never
// allocated.
void releaseH264Encoder(H264Encoder* encoder);
