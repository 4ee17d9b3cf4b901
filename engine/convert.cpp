#include "engine/convert.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "engine/band_pool.h"
#include "engine/encoder.h"

namespace {

// Source row of output row `row` of the half-size picture: rows 4k and 4k + 1
// make output rows 2k and 2k + 1; rows 4k + 2 and 4k + 3 are skipped.
int32_t halfSizeSourceRow(int32_t row) { return (row >> 1) * 4 + (row & 1); }

// BT.709 limited range in 8-bit fixed point; >> floors, so white gives U 127.
uint8_t lumaOf(const uint8_t* bgra) {
    return static_cast<uint8_t>(((16 * bgra[0] + 157 * bgra[1] + 47 * bgra[2]) >> 8) + 16);
}
uint8_t blueDifferenceOf(const uint8_t* bgra) {
    return static_cast<uint8_t>(((112 * bgra[0] - 87 * bgra[1] - 26 * bgra[2]) >> 8) + 128);
}
uint8_t redDifferenceOf(const uint8_t* bgra) {
    return static_cast<uint8_t>(((112 * bgra[2] - 102 * bgra[1] - 10 * bgra[0]) >> 8) + 128);
}

void halfSizePairs(const uint8_t* in, uint8_t* out, int32_t first, int32_t pairs) {
    for (int32_t m = first; m < pairs; ++m) {
        const uint8_t* a = in + int64_t{m} * 16;
        uint8_t* o = out + int64_t{m} * 4;
        o[0] = blueDifferenceOf(a);
        o[1] = lumaOf(a);
        o[2] = redDifferenceOf(a + 8);
        o[3] = lumaOf(a + 8);
    }
}

#if defined(__SSE2__)
// Four pairs at a time, the same arithmetic in 16-bit lanes: luma sums stay
// below 2^16 (unsigned shift), the colour differences within +-2^15
// (arithmetic shift, which floors as the scalar >> does). Returns the pairs
// done.
int32_t halfSizePairsSSE2(const uint8_t* in, uint8_t* out, int32_t pairs) {
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    // Lanes 0, 2, 4, 6 hold the pixels giving U, lanes 1, 3, 5, 7 those giving V.
    const __m128i uLanes = _mm_set1_epi32(0x0000FFFF);
    auto channel = [&](__m128i first, __m128i second, int shift) {
        return _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(first, shift), byteMask),
                               _mm_and_si128(_mm_srli_epi32(second, shift), byteMask));
    };
    auto weighted = [](__m128i b, __m128i g, __m128i r, int16_t kb, int16_t kg, int16_t kr) {
        return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(b, _mm_set1_epi16(kb)),
                                           _mm_mullo_epi16(g, _mm_set1_epi16(kg))),
                             _mm_mullo_epi16(r, _mm_set1_epi16(kr)));
    };
    int32_t m = 0;
    for (; m + 4 <= pairs; m += 4, in += 64, out += 16) {
        auto load = [in](int i) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i));
        };
        // Pixels 0 and 2 of each group of four source pixels, in order.
        const __m128i evens01 =
            _mm_unpacklo_epi64(_mm_shuffle_epi32(load(0), 0x08), _mm_shuffle_epi32(load(1), 0x08));
        const __m128i evens23 =
            _mm_unpacklo_epi64(_mm_shuffle_epi32(load(2), 0x08), _mm_shuffle_epi32(load(3), 0x08));
        const __m128i b = channel(evens01, evens23, 0);
        const __m128i g = channel(evens01, evens23, 8);
        const __m128i r = channel(evens01, evens23, 16);
        const __m128i y =
            _mm_add_epi16(_mm_srli_epi16(weighted(b, g, r, 16, 157, 47), 8), _mm_set1_epi16(16));
        const __m128i u =
            _mm_add_epi16(_mm_srai_epi16(weighted(b, g, r, 112, -87, -26), 8), _mm_set1_epi16(128));
        const __m128i v = _mm_add_epi16(_mm_srai_epi16(weighted(b, g, r, -10, -102, 112), 8),
                                        _mm_set1_epi16(128));
        const __m128i chroma = _mm_or_si128(_mm_and_si128(u, uLanes), _mm_andnot_si128(uLanes, v));
        // Each 16-bit lane is written low byte first: chroma then luma, so
        // the four pairs come out as U Y0 V Y1.
        const __m128i packed =
            _mm_or_si128(_mm_and_si128(chroma, _mm_set1_epi16(0xFF)), _mm_slli_epi16(y, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
    }
    return m;
}
#endif

}  // namespace

int32_t halfSizeWidth(int32_t width) { return width < 1 ? 0 : (width >> 2) * 2; }

// On the display link's thread at every tick of a high-density screen: at
// 3840 x 2160 the scalar loop alone took about 5 ms of the 16.7.
void bgraToUYVYHalfRows(const uint8_t* src, uint8_t* dst, int32_t width, int32_t firstRow,
                        int32_t rows) {
    const int32_t pairs = width >> 2;
    const size_t srcStride = static_cast<size_t>(width) * 4;
    const size_t dstStride = static_cast<size_t>(pairs) * 4;
    for (int32_t row = firstRow; row < firstRow + rows; ++row) {
        const uint8_t* in = src + static_cast<size_t>(halfSizeSourceRow(row)) * srcStride;
        uint8_t* out = dst + static_cast<size_t>(row) * dstStride;
        int32_t done = 0;
#if defined(__SSE2__)
        done = halfSizePairsSSE2(in, out, pairs);
#endif
        halfSizePairs(in, out, done, pairs);
    }
}

void bgraToUYVYHalf(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    bgraToUYVYHalfRows(src, dst, width, 0, height >> 1);
}

void decimate32Half(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return;
    const int32_t outWidth = width / 2;
    const int32_t outHeight = (height + 1) / 2;
    for (int32_t y = 0; y < outHeight; ++y) {
        const uint8_t* in = src + static_cast<size_t>(2 * y) * width * 4;
        uint8_t* out = dst + static_cast<size_t>(y) * outWidth * 4;
        for (int32_t x = 0; x < outWidth; ++x) memcpy(out + 4 * x, in + 8 * x, 4);
    }
}

namespace {

// Bands smaller than this are not worth waking a worker for.
constexpr int64_t kMinBandBytes = 256 * 1024;
// Chroma rows of a BGRA band made at a time by one thread before each pair
// is averaged: they stay in the core's own cache.
constexpr int64_t kChromaChunkBytes = 64 * 1024;

// Rows per band step: a multiple of `align` rows of at least kMinBandBytes.
int32_t bandStep(int64_t rowBytes, int32_t align) {
    const int64_t rows = rowBytes > 0 ? (kMinBandBytes + rowBytes - 1) / rowBytes : 1;
    return static_cast<int32_t>(std::min<int64_t>((rows + align - 1) / align * align, 1 << 20));
}

int32_t chromaWidth(int32_t width) { return (width + 1) >> 1; }

// Rows of a chunk: even, and their U and V rows together within
// kChromaChunkBytes.
int32_t chunkRows(int32_t width) {
    const int64_t rows = kChromaChunkBytes / (int64_t{chromaWidth(width)} * 2);
    return static_cast<int32_t>(std::clamp<int64_t>(rows & ~int64_t{1}, 2, 1 << 20));
}

// out = the rounded-up average of rows a and b, byte by byte: what
// UYVYToI420 makes of the chroma of two rows.
void averageRows(const uint8_t* a, const uint8_t* b, uint8_t* out, int32_t count) {
    int32_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= count; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_avg_epu8(x, y));
    }
#endif
    for (; i < count; ++i) out[i] = static_cast<uint8_t>((a[i] + b[i] + 1) >> 1);
}

// Rows first to first + rows - 1 (an even count from an even first row) of
// BGRA to the picture: luma straight into its plane, the chroma of each row
// (libyuv's ARGBToI422, which computes it as ARGBToUYVY does) into `chroma`,
// then each pair of chroma rows averaged into the picture's chroma planes.
void bgraRowsToI420(const uint8_t* bgra, int32_t width, int32_t first, int32_t rows,
                    const x264_image_t& img, uint8_t* chroma) {
    const int32_t half = chromaWidth(width);
    uint8_t* u = chroma;
    uint8_t* v = chroma + int64_t{rows} * half;
    libyuv::ARGBToI422(bgra + int64_t{first} * 4 * width, 4 * width,
                       img.plane[0] + int64_t{first} * img.i_stride[0], img.i_stride[0], u, half, v,
                       half, width, rows);
    for (int32_t pair = 0; pair < rows / 2; ++pair) {
        const int64_t top = int64_t{2 * pair} * half;
        const int64_t chromaRow = (first >> 1) + pair;
        averageRows(u + top, u + top + half, img.plane[1] + chromaRow * img.i_stride[1], half);
        averageRows(v + top, v + top + half, img.plane[2] + chromaRow * img.i_stride[2], half);
    }
}

// Rows past the encoder's even height are not wanted: not a failure.
bool bandFailed(bool converted, const H264Encoder* encoder, int32_t firstRow) {
    return !converted && firstRow < encoder->height;
}

}  // namespace

void bgraToUYVYHalfInBands(BandPool& pool, const uint8_t* src, uint8_t* dst, int32_t width,
                           int32_t height) {
    if (width < 1 || height < 1) return;
    pool.run(height >> 1, bandStep(int64_t{width} * 8, 1),
             [&](int32_t first, int32_t rows, int32_t) {
                 bgraToUYVYHalfRows(src, dst, width, first, rows);
             });
}

namespace {

// The mailbox's copy is read again only by the sender's conversion, and a
// 3840 x 2160 picture (33 MB) is larger than the whole shared cache: stores
// that go straight to memory spare the read of every line before it is
// written and leave the cache to others. About a quarter less CPU than
// memcpy for the copy and the conversion's read of it together.
void streamingCopy(uint8_t* dst, const uint8_t* src, size_t bytes) {
#if defined(__SSE2__)
    const size_t head = std::min(bytes, (16 - (reinterpret_cast<uintptr_t>(dst) & 15)) & 15);
    memcpy(dst, src, head);
    size_t done = head;
    for (; done + 64 <= bytes; done += 64) {
        const auto* in = reinterpret_cast<const __m128i*>(src + done);
        auto* out = reinterpret_cast<__m128i*>(dst + done);
        const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1),
                      c = _mm_loadu_si128(in + 2), d = _mm_loadu_si128(in + 3);
        _mm_stream_si128(out, a);
        _mm_stream_si128(out + 1, b);
        _mm_stream_si128(out + 2, c);
        _mm_stream_si128(out + 3, d);
    }
    memcpy(dst + done, src + done, bytes - done);
    // These stores are not ordered with later ones: all of them must be
    // visible before the band counts as done and the frame as placed.
    _mm_sfence();
#else
    memcpy(dst, src, bytes);
#endif
}

}  // namespace

void copyInBands(BandPool& pool, uint8_t* dst, const uint8_t* src, int64_t rowBytes, int32_t rows) {
    if (rowBytes < 1 || rows < 1) return;
    pool.run(rows, bandStep(rowBytes, 1), [&](int32_t first, int32_t count, int32_t) {
        streamingCopy(dst + first * rowBytes, src + first * rowBytes,
                      static_cast<size_t>(count * rowBytes));
    });
}

int64_t bandScratchBytes(const BandPool& pool, int32_t width) {
    return int64_t{pool.slotCount()} * chunkRows(width) * 2 * chromaWidth(width);
}

// One pass over the picture: each BGRA row is read once and its luma written
// once, with no packed 4:2:2 form between; only the chroma of a few rows
// waits in the cache for its pair. The bytes are those of BGRA to UYVY to
// I420, so the colours are the same.
bool bgraToI420InBands(BandPool& pool, H264Encoder* encoder, const uint8_t* bgra, int32_t width,
                       int32_t height, uint8_t* scratch, int64_t scratchBytes) {
    if (encoder == nullptr || encoder->picIn == nullptr || width < 1 || height < 1 ||
        width != encoder->width || encoder->picIn->img.plane[1] == nullptr || scratch == nullptr ||
        scratchBytes < bandScratchBytes(pool, width))
        return false;
    const x264_image_t& img = encoder->picIn->img;
    const int32_t rows = std::min(height, encoder->height) & ~1;
    const int32_t chunk = chunkRows(width);
    const int64_t slotBytes = int64_t{chunk} * 2 * chromaWidth(width);
    pool.run(rows, bandStep(int64_t{width} * 4, 2),
             [&](int32_t first, int32_t count, int32_t slot) {
                 for (int32_t row = first; row < first + count; row += chunk) {
                     bgraRowsToI420(bgra, width, row, std::min(chunk, first + count - row), img,
                                    scratch + slot * slotBytes);
                 }
             });
    return true;
}

bool uyvyToI420InBands(BandPool& pool, H264Encoder* encoder, const uint8_t* uyvy, int32_t width,
                       int32_t height) {
    if (encoder == nullptr || width < 1 || height < 1) return false;
    std::atomic<bool> failed{false};
    pool.run(height, bandStep(int64_t{width} * 2, 2), [&](int32_t first, int32_t count, int32_t) {
        const uint8_t* rows = uyvy + int64_t{first} * 2 * width;
        if (bandFailed(convertUYVYBand(encoder, rows, width, first, count), encoder, first))
            failed.store(true, std::memory_order_relaxed);
    });
    return !failed.load(std::memory_order_relaxed);
}
