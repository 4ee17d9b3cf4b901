#include "capture/compositor.h"

#include <algorithm>

namespace {

// Premultiplied source over destination, each channel with the same rule.
inline void blendPixel(uint8_t* dst, const uint8_t* src) {
    const uint32_t keep = 255u - src[3];
    for (int c = 0; c < 4; ++c) {
        dst[c] = static_cast<uint8_t>(src[c] + (dst[c] * keep + 127u) / 255u);
    }
}

}  // namespace

void drawPictureOver(BgraSurface surface, const CursorImage& picture, int64_t x, int64_t y,
                     int64_t width, int64_t height) {
    if (picture.width <= 0 || picture.height <= 0 || width <= 0 || height <= 0) return;
    if (picture.pixels.size() <
        static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 4) {
        return;
    }
    const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(x + width, surface.width);
    const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(y + height, surface.height);
    for (int64_t row = y0; row < y1; ++row) {
        const int64_t sourceRow = (row - y) * picture.height / height;
        const uint8_t* source = picture.pixels.data() + sourceRow * picture.width * 4;
        uint8_t* target = surface.pixels + row * surface.bytesPerRow;
        for (int64_t column = x0; column < x1; ++column) {
            const int64_t sourceColumn = (column - x) * picture.width / width;
            blendPixel(target + column * 4, source + sourceColumn * 4);
        }
    }
}
