// The conversions of pictures on their way from the capture to the encoder:
// the producer's copy into the mailbox (plain, or halved into '2vuy' on a
// high-density screen) and the sender's BGRA to UYVY to I420. Each treats
// rows (or pairs of rows) on their own, so the *InBands forms share the
// picture among the threads of a BandPool and give the same bytes as the
// whole-picture forms.
#pragma once

#include <cstdint>

class BandPool;
struct H264Encoder;

// Width in pixels of the '2vuy' picture bgraToUYVYHalf makes from a source
// width: half of it, cut down to whole pixel pairs.
int32_t halfSizeWidth(int32_t width);
// Halves a 'bgra' picture of width x height into '2vuy' of halfSizeWidth(width)
// x height / 2: output rows 2k and 2k + 1 come from source rows 4k and 4k + 1,
// output pair m from source pixels 4m (U, Y0) and 4m + 2 (V, Y1) of its row,
// BT.709 limited range. Writes nothing when width or height is below 1.
void bgraToUYVYHalf(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height);
// The same for output rows firstRow to firstRow + rows - 1 only (any first
// row, odd or even); dst is the whole output picture.
void bgraToUYVYHalfRows(const uint8_t* src, uint8_t* dst, int32_t width, int32_t firstRow,
                        int32_t rows);
// bgraToUYVYHalf with the output rows shared among the pool's threads.
void bgraToUYVYHalfInBands(BandPool& pool, const uint8_t* src, uint8_t* dst, int32_t width,
                           int32_t height);
// Halves a picture of 32-bit pixels: output (x, y) is source (2x, 2y), for
// ceil(height / 2) rows of width / 2 pixels. Writes nothing when width or
// height is below 1.
void decimate32Half(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height);

// Copies rows x rowBytes bytes, the rows shared among the pool's threads.
void copyInBands(BandPool& pool, uint8_t* dst, const uint8_t* src, int64_t rowBytes, int32_t rows);

// Bytes of scratch bgraToI420InBands needs for a picture width pixels wide.
int64_t bandScratchBytes(const BandPool& pool, int32_t width);
// BGRA (libyuv's ARGB) rows to the encoder's I420 picture in one pass, each
// thread a few rows at a time with their chroma in its own part of scratch.
// The bytes are those of BGRA to UYVY (ARGBToUYVY) to I420 (UYVYToI420).
// Rows past the encoder's even height are left out. False when scratchBytes
// is below bandScratchBytes or the picture does not fit the encoder.
bool bgraToI420InBands(BandPool& pool, H264Encoder* encoder, const uint8_t* bgra, int32_t width,
                       int32_t height, uint8_t* scratch, int64_t scratchBytes);
// UYVY rows to the encoder's I420 picture, the rows shared among the pool's
// threads. False as above.
bool uyvyToI420InBands(BandPool& pool, H264Encoder* encoder, const uint8_t* uyvy, int32_t width,
                       int32_t height);
