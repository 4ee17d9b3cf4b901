#include "tests/support/h264_check.h"

#include <libyuv/convert_from_argb.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace h264check {

std::vector<uint8_t> Packet::annexB() const {
    if (!valid) return {};
    const auto begin = bytes.begin() + kHXPacketHeaderSize;
    return std::vector<uint8_t>(begin, begin + header.dataSize);
}

NDIlib_send_instance_t createLoopbackSender() {
    setenv("NDI_PORT", "0", 1);
    setenv("NDI_BIND", "127.0.0.1", 1);
    if (!NDIlib_initialize()) return nullptr;
    NDIlib_send_create_t create;
    create.p_ndi_name = "h264check";
    create.p_groups = "";
    return NDIlib_send_create_v2(&create, nullptr);
}

HXSenderState makeHXState(int32_t bitRateMode) {
    HXSenderState state{};
    state.quality = qualityForMode(bitRateMode);
    state.bitRate[0] = bitRateForMode(bitRateMode);
    state.bitRate[1] = state.bitRate[0] >> 2;
    std::snprintf(state.preset, sizeof state.preset, "ultrafast");
    std::snprintf(state.tune, sizeof state.tune, "zerolatency");
    return state;
}

void resetSharedSender() {
    unsetenv("NDI_RUNTIME_DISABLED");
    setenv("NDI_PORT", "0", 1);
    setenv("NDI_BIND", "127.0.0.1", 1);
    if (NDIlib_send_instance_t sender = theNDISender.load())
        destroyNDIHXSender(sender, &theHXState);
    theHXState = HXSenderState{};
    setRefusedRetryInterval(kDefaultRefusedRetryInterval);
}

NDIlib_video_frame_v2_t videoFrame(uint32_t fourcc, const uint8_t* pixels, int width, int height,
                                   int rateN, int rateD) {
    NDIlib_video_frame_v2_t frame;
    frame.xres = width;
    frame.yres = height;
    frame.FourCC = fourcc;
    frame.frame_rate_N = rateN;
    frame.frame_rate_D = rateD;
    frame.picture_aspect_ratio = 16.0f / 9.0f;
    frame.frame_format_type = NDIlib_frame_format_type_progressive;
    frame.timecode = 0;
    frame.p_data = const_cast<uint8_t*>(pixels);
    frame.line_stride_in_bytes = width * (fourcc == NDIlib_FourCC_type_UYVY ? 2 : 4);
    return frame;
}

NDIlib_recv_instance_t connectReceiver(NDIlib_send_instance_t sender) {
    const int port = NDIlib_send_get_port(sender);
    if (port <= 0) return nullptr;
    const std::string address = "127.0.0.1:" + std::to_string(port);
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_url_address = address.c_str();
    settings.color_format = NDIlib_recv_color_format_compressed_v2;
    const int before = NDIlib_send_get_no_connections(sender, 0);
    NDIlib_recv_instance_t recv = NDIlib_recv_create_v4(&settings, nullptr);
    if (recv == nullptr) return nullptr;
    for (int tries = 0; tries < 500; ++tries) {
        if (NDIlib_send_get_no_connections(sender, 0) > before) return recv;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    NDIlib_recv_destroy(recv);
    return nullptr;
}

Packet packetOf(const NDIlib_video_frame_v2_t& frame) {
    Packet packet;
    packet.fourcc = frame.FourCC;
    packet.xres = frame.xres;
    packet.yres = frame.yres;
    packet.frameRateN = frame.frame_rate_N;
    packet.frameRateD = frame.frame_rate_D;
    packet.frameFormatType = frame.frame_format_type;
    packet.timecode = frame.timecode;
    if (frame.p_data != nullptr && frame.data_size_in_bytes > 0) {
        packet.bytes.assign(frame.p_data, frame.p_data + frame.data_size_in_bytes);
    }
    packet.valid = readHXPacket(packet.bytes.data(), static_cast<int64_t>(packet.bytes.size()),
                                &packet.header) == 0;
    return packet;
}

int collectPackets(NDIlib_recv_instance_t recv, int count, int timeoutMs,
                   std::vector<Packet>* out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int got = 0;
    while (got < count && std::chrono::steady_clock::now() < deadline) {
        NDIlib_video_frame_v2_t frame;
        const NDIlib_frame_type_e type =
            NDIlib_recv_capture_v2(recv, &frame, nullptr, nullptr, 100);
        if (type == NDIlib_frame_type_error) break;
        if (type != NDIlib_frame_type_video) continue;
        out->push_back(packetOf(frame));
        NDIlib_recv_free_video_v2(recv, &frame);
        if (out->back().fourcc == NDIlib_FourCC_type_H264) ++got;
    }
    return got;
}

std::vector<uint8_t> annexBOf(const std::vector<Packet>& packets) {
    std::vector<uint8_t> stream;
    for (const Packet& packet : packets) {
        if (packet.fourcc != NDIlib_FourCC_type_H264 || !packet.valid) continue;
        const std::vector<uint8_t> bytes = packet.annexB();
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    return stream;
}

std::vector<int> nalTypes(const std::vector<uint8_t>& annexB) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < annexB.size(); ++i) {
        if (annexB[i] == 0 && annexB[i + 1] == 0 && annexB[i + 2] == 1) {
            types.push_back(annexB[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
    pattern += "/h264check.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path = std::string(buffer.data()) + "/";
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

namespace {

std::string runCapture(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[1 << 16];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    if (pclose(pipe) != 0) output.clear();
    return output;
}

std::vector<std::vector<uint8_t>> decodeRaw(const std::string& path, const char* pixFmt,
                                            size_t pictureBytes) {
    const std::vector<uint8_t> raw = ffmpegOutput(
        "-f h264 -i '" + path + "' -fps_mode passthrough -f rawvideo -pix_fmt " + pixFmt + " -");
    std::vector<std::vector<uint8_t>> pictures;
    if (pictureBytes == 0 || raw.size() % pictureBytes != 0) return pictures;
    for (size_t at = 0; at < raw.size(); at += pictureBytes) {
        pictures.emplace_back(raw.begin() + static_cast<std::ptrdiff_t>(at),
                              raw.begin() + static_cast<std::ptrdiff_t>(at + pictureBytes));
    }
    return pictures;
}

}  // namespace

std::vector<uint8_t> ffmpegOutput(const std::string& arguments) {
    const std::string out = runCapture("ffmpeg -nostdin -loglevel error " + arguments);
    return std::vector<uint8_t>(out.begin(), out.end());
}

std::vector<std::vector<uint8_t>> decodeToI420(const std::string& path, int width, int height) {
    const size_t luma = static_cast<size_t>(width) * height;
    return decodeRaw(path, "yuv420p", luma + 2 * (luma / 4));
}

std::vector<std::vector<uint8_t>> decodeToBgra(const std::string& path, int width, int height) {
    return decodeRaw(path, "bgra", static_cast<size_t>(width) * height * 4);
}

bool probeVideo(const std::string& path, ProbeResult* out) {
    const std::string text = runCapture(
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
        path + "'");
    char codec[64] = {0};
    return std::sscanf(text.c_str(), "%63[^,],%d,%d,%d", codec, &out->width, &out->height,
                       &out->frames) == 4 &&
           !(out->codec = codec).empty();
}

std::vector<uint8_t> lumaOfBgra(const uint8_t* bgra, int width, int height) {
    std::vector<uint8_t> luma(static_cast<size_t>(width) * height);
    libyuv::ARGBToI400(bgra, 4 * width, luma.data(), width, width, height);
    return luma;
}

std::vector<uint8_t> lumaOfUyvy(const uint8_t* uyvy, int width, int height) {
    std::vector<uint8_t> luma(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < luma.size(); ++i) luma[i] = uyvy[2 * i + 1];
    return luma;
}

std::vector<uint8_t> lumaOfI420(const std::vector<uint8_t>& i420, int width, int height) {
    const size_t size = static_cast<size_t>(width) * height;
    if (i420.size() < size) return {};
    return std::vector<uint8_t>(i420.begin(), i420.begin() + static_cast<std::ptrdiff_t>(size));
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        sum += d * d;
    }
    if (sum == 0.0) return 100.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

std::vector<uint8_t> movingBgraPicture(int width, int height, int n) {
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
    const int boxX = (n * 16) % (width > 64 ? width - 64 : 1);
    const int boxY = (n * 9) % (height > 64 ? height - 64 : 1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            const bool inBox = x >= boxX && x < boxX + 64 && y >= boxY && y < boxY + 64;
            p[0] = inBox ? 240 : static_cast<uint8_t>((x + 2 * n) * 255 / (width + 2 * n));
            p[1] = inBox ? 40 : static_cast<uint8_t>(y * 255 / height);
            p[2] = inBox ? 30 : static_cast<uint8_t>(((x + y + 3 * n) / 4) & 0xFF);
            p[3] = 255;
        }
    }
    return bgra;
}

}  // namespace h264check
