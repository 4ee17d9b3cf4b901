// Moving pictures through the compressed path and back through ffmpeg: same
// number of pictures, same size, each close to its source.
#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>

#include <string>
#include <vector>

#include "engine/hx_send.h"
#include "engine/sender.h"
#include "tests/support/h264_check.h"

namespace {

constexpr int kPictures = 8;
constexpr double kMinPsnr = 30.0;

struct RoundTrip {
    std::vector<std::vector<uint8_t>> sourceLuma;
    std::vector<std::vector<uint8_t>> decoded;
};

// Sends kPictures through stream mode 2 at bit-rate mode 0, collecting each
// packet as it comes, and decodes what arrived under 'H264'.
void roundTrip(uint32_t fourcc, int width, int height, RoundTrip* result) {
    NDIlib_send_instance_t sender = h264check::createLoopbackSender();
    ASSERT_NE(sender, nullptr);
    NDIlib_recv_instance_t recv = h264check::connectReceiver(sender);
    ASSERT_NE(recv, nullptr);
    HXSenderState state = h264check::makeHXState(0);
    std::vector<h264check::Packet> packets;
    for (int n = 0; n < kPictures; ++n) {
        std::vector<uint8_t> pixels = h264check::movingBgraPicture(width, height, n);
        if (fourcc == NDIlib_FourCC_type_UYVY) {
            std::vector<uint8_t> uyvy(static_cast<size_t>(width) * height * 2);
            libyuv::ARGBToUYVY(pixels.data(), 4 * width, uyvy.data(), 2 * width, width, height);
            pixels.swap(uyvy);
            result->sourceLuma.push_back(h264check::lumaOfUyvy(pixels.data(), width, height));
        } else {
            result->sourceLuma.push_back(h264check::lumaOfBgra(pixels.data(), width, height));
        }
        NDIlib_video_frame_v2_t frame = h264check::videoFrame(fourcc, pixels.data(), width, height);
        sendFunctionSendData(sender, &frame, nullptr, nullptr, 0, &state, 2);
        EXPECT_EQ(h264check::collectPackets(recv, 1, 5000, &packets), 1);
    }
    NDIlib_recv_destroy(recv);
    destroyNDIHXSender(sender, &state);

    const h264check::TempDir temp;
    const std::string path = temp.path + "stream.h264";
    ASSERT_TRUE(h264check::writeFile(path, h264check::annexBOf(packets)));
    h264check::ProbeResult probe;
    ASSERT_TRUE(h264check::probeVideo(path, &probe));
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.width, width);
    EXPECT_EQ(probe.height, height);
    EXPECT_EQ(probe.frames, kPictures);
    result->decoded = h264check::decodeToI420(path, width, height);
}

void expectCloseToSource(const RoundTrip& trip, int width, int height) {
    ASSERT_EQ(trip.decoded.size(), trip.sourceLuma.size());
    for (size_t i = 0; i < trip.decoded.size(); ++i) {
        EXPECT_GE(h264check::psnr(h264check::lumaOfI420(trip.decoded[i], width, height),
                                  trip.sourceLuma[i]),
                  kMinPsnr)
            << "picture " << i;
    }
}

}  // namespace

TEST(HXDecode, Bgra720pDecodesToItsSourcePictures) {
    RoundTrip trip;
    roundTrip(NDIlib_FourCC_type_BGRA, 1280, 720, &trip);
    expectCloseToSource(trip, 1280, 720);
}

TEST(HXDecode, Bgra1080pDecodesToItsSourcePictures) {
    RoundTrip trip;
    roundTrip(NDIlib_FourCC_type_BGRA, 1920, 1080, &trip);
    expectCloseToSource(trip, 1920, 1080);
}

TEST(HXDecode, Uyvy720pDecodesToItsSourcePictures) {
    RoundTrip trip;
    roundTrip(NDIlib_FourCC_type_UYVY, 1280, 720, &trip);
    expectCloseToSource(trip, 1280, 720);
}
