// ndi-recv: connects to a sender of the built-in runtime and writes what it
// receives in forms standard tools read: the H.264 of the 'H264' packets as an
// Annex B byte stream and the audio as a 32-bit float WAV file.
//
//   ndi-recv --host HOST --port PORT [--video FILE|-] [--audio FILE]
//            [--frames N] [--seconds S]

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/hx_send.h"
#include "platform/ndi/ndi.h"

namespace {

struct Options {
    std::string host;
    long port = 0;
    std::string videoPath;
    std::string audioPath;
    long frames = 0;     // 0: no limit
    double seconds = 0;  // 0: no limit
};

struct Counts {
    long video = 0;
    long keyframes = 0;
    long audio = 0;
    long metadata = 0;
    long malformed = 0;
};

// The WAV file: its format is fixed by the first audio frame; the RIFF, fact
// and data sizes are written when it is closed.
struct WavFile {
    FILE* file = nullptr;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    uint64_t sampleFrames = 0;
    std::vector<float> interleaved;
};

constexpr uint32_t kWavHeaderBytes = 58;  // RIFF, fmt (18), fact, data headers
constexpr uint64_t kWavMaxDataBytes = 0xFFFFFFFFull - kWavHeaderBytes;

std::atomic<int> stopRequested{0};

void requestStop(int) { stopRequested.store(1); }

void usage() {
    std::fprintf(stderr,
                 "usage: ndi-recv --host HOST --port PORT [--video FILE|-] [--audio FILE] "
                 "[--frames N] [--seconds S]\n");
}

bool parseNumber(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high)) return false;
    *out = value;
    return true;
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        double number = 0;
        if (name == "--host") {
            options->host = value;
        } else if (name == "--port" && parseNumber(value, 1, 65535, &number)) {
            options->port = static_cast<long>(number);
            if (number != static_cast<double>(options->port)) return false;
        } else if (name == "--video") {
            options->videoPath = value;
        } else if (name == "--audio") {
            options->audioPath = value;
        } else if (name == "--frames" && parseNumber(value, 1, 1e9, &number)) {
            options->frames = static_cast<long>(number);
        } else if (name == "--seconds" && parseNumber(value, 0.001, 1e7, &number)) {
            options->seconds = number;
        } else {
            return false;
        }
    }
    return !options->host.empty() && options->port > 0;
}

void putLE16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void putLE32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// IEEE float WAV header (format 3, with the fact chunk non-PCM formats carry).
void writeWavHeader(WavFile* wav) {
    const uint32_t blockAlign = static_cast<uint32_t>(wav->channels) * 4;
    const uint64_t dataBytes = wav->sampleFrames * blockAlign;
    uint8_t header[kWavHeaderBytes] = {};
    std::memcpy(header, "RIFF", 4);
    putLE32(header + 4, static_cast<uint32_t>(kWavHeaderBytes - 8 + dataBytes));
    std::memcpy(header + 8, "WAVEfmt ", 8);
    putLE32(header + 16, 18);
    putLE16(header + 20, 3);
    putLE16(header + 22, static_cast<uint32_t>(wav->channels));
    putLE32(header + 24, static_cast<uint32_t>(wav->sampleRate));
    putLE32(header + 28, static_cast<uint32_t>(wav->sampleRate) * blockAlign);
    putLE16(header + 32, blockAlign);
    putLE16(header + 34, 32);
    putLE16(header + 36, 0);
    std::memcpy(header + 38, "fact", 4);
    putLE32(header + 42, 4);
    putLE32(header + 46, static_cast<uint32_t>(wav->sampleFrames));
    std::memcpy(header + 50, "data", 4);
    putLE32(header + 54, static_cast<uint32_t>(dataBytes));
    std::fseek(wav->file, 0, SEEK_SET);
    std::fwrite(header, 1, sizeof header, wav->file);
    std::fseek(wav->file, 0, SEEK_END);
}

bool audioFrameSound(const NDIlib_audio_frame_v2_t& frame) {
    return frame.p_data != nullptr && frame.no_channels > 0 && frame.no_channels <= 64 &&
           frame.no_samples >= 0 && frame.sample_rate > 0 &&
           frame.channel_stride_in_bytes >= frame.no_samples * 4;
}

void writeAudio(WavFile* wav, const NDIlib_audio_frame_v2_t& frame) {
    if (!audioFrameSound(frame)) {
        std::fprintf(stderr, "ndi-recv: audio frame skipped: malformed\n");
        return;
    }
    if (wav->channels == 0) {
        wav->channels = frame.no_channels;
        wav->sampleRate = frame.sample_rate;
        writeWavHeader(wav);
    }
    if (frame.no_channels != wav->channels || frame.sample_rate != wav->sampleRate) {
        std::fprintf(stderr,
                     "ndi-recv: audio frame skipped: %d channels at %d Hz, file has %d at %d\n",
                     frame.no_channels, frame.sample_rate, wav->channels, wav->sampleRate);
        return;
    }
    const uint64_t blockAlign = static_cast<uint64_t>(wav->channels) * 4;
    if ((wav->sampleFrames + static_cast<uint64_t>(frame.no_samples)) * blockAlign >
        kWavMaxDataBytes) {
        std::fprintf(stderr, "ndi-recv: audio frame skipped: WAV file full\n");
        return;
    }
    const size_t samples = static_cast<size_t>(frame.no_samples) * wav->channels;
    wav->interleaved.resize(samples);
    const auto* base = reinterpret_cast<const uint8_t*>(frame.p_data);
    for (int32_t c = 0; c < frame.no_channels; ++c) {
        const auto* channel = reinterpret_cast<const float*>(
            base + static_cast<size_t>(c) * frame.channel_stride_in_bytes);
        for (int32_t i = 0; i < frame.no_samples; ++i) {
            wav->interleaved[static_cast<size_t>(i) * wav->channels + c] = channel[i];
        }
    }
    std::fwrite(wav->interleaved.data(), sizeof(float), samples, wav->file);
    wav->sampleFrames += static_cast<uint64_t>(frame.no_samples);
}

void writeVideo(FILE* out, const NDIlib_video_frame_v2_t& frame, Counts* counts) {
    if (frame.FourCC != NDIlib_FourCC_type_H264) return;
    HXPacketHeader header;
    if (readHXPacket(frame.p_data, frame.data_size_in_bytes, &header) != 0) {
        ++counts->malformed;
        std::fprintf(stderr, "ndi-recv: video frame %ld skipped\n",
                     counts->video + counts->malformed);
        return;
    }
    if (out != nullptr) std::fwrite(frame.p_data + kHXPacketHeaderSize, 1, header.dataSize, out);
    ++counts->video;
    if (header.flags == 1) ++counts->keyframes;
}

NDIlib_recv_instance_t connect(const Options& options) {
    const std::string address = options.host + ":" + std::to_string(options.port);
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to.p_url_address = address.c_str();
    settings.color_format = NDIlib_recv_color_format_compressed_v2;
    settings.p_ndi_recv_name = "ndi-recv";
    NDIlib_recv_instance_t recv = NDIlib_recv_create_v4(&settings, nullptr);
    if (recv == nullptr) std::fprintf(stderr, "ndi-recv: cannot connect to %s\n", address.c_str());
    return recv;
}

bool timeIsUp(const Options& options, std::chrono::steady_clock::time_point start) {
    if (options.seconds <= 0) return false;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() >= options.seconds;
}

void receive(NDIlib_recv_instance_t recv, const Options& options, FILE* videoOut, WavFile* wav,
             Counts* counts) {
    const auto start = std::chrono::steady_clock::now();
    while (stopRequested.load() == 0 && !timeIsUp(options, start) &&
           (options.frames == 0 || counts->video < options.frames)) {
        NDIlib_video_frame_v2_t video;
        NDIlib_audio_frame_v2_t audio;
        NDIlib_metadata_frame_t metadata;
        switch (NDIlib_recv_capture_v2(recv, &video, &audio, &metadata, 100)) {
            case NDIlib_frame_type_video:
                writeVideo(videoOut, video, counts);
                NDIlib_recv_free_video_v2(recv, &video);
                break;
            case NDIlib_frame_type_audio:
                ++counts->audio;
                if (wav->file != nullptr) writeAudio(wav, audio);
                NDIlib_recv_free_audio_v2(recv, &audio);
                break;
            case NDIlib_frame_type_metadata:
                ++counts->metadata;
                NDIlib_recv_free_metadata(recv, &metadata);
                break;
            case NDIlib_frame_type_error:
                std::fprintf(stderr, "ndi-recv: connection lost\n");
                return;
            default:
                break;
        }
    }
}

FILE* openOutput(const std::string& path) {
    if (path.empty()) return nullptr;
    if (path == "-") return stdout;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::fprintf(stderr, "ndi-recv: cannot write %s\n", path.c_str());
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage();
        return 2;
    }
    if (options.audioPath == "-") {
        std::fprintf(stderr, "ndi-recv: the WAV file must be seekable, not standard output\n");
        return 2;
    }
    FILE* videoOut = openOutput(options.videoPath);
    WavFile wav;
    wav.file = openOutput(options.audioPath);
    if ((!options.videoPath.empty() && videoOut == nullptr) ||
        (!options.audioPath.empty() && wav.file == nullptr)) {
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    NDIlib_recv_instance_t recv = connect(options);
    if (recv == nullptr) return 1;
    Counts counts;
    receive(recv, options, videoOut, &wav, &counts);
    NDIlib_recv_destroy(recv);
    if (wav.file != nullptr) {
        if (wav.channels > 0) writeWavHeader(&wav);
        std::fclose(wav.file);
    }
    if (videoOut != nullptr) std::fflush(videoOut);
    if (videoOut != nullptr && videoOut != stdout) std::fclose(videoOut);
    FILE* summary = videoOut == stdout ? stderr : stdout;
    if (counts.malformed > 0)
        std::fprintf(summary, "skipped %ld malformed packets\n", counts.malformed);
    std::fprintf(
        summary,
        "received %ld video frames (%ld keyframes), %ld audio frames, %ld metadata frames\n",
        counts.video, counts.keyframes, counts.audio, counts.metadata);
    return 0;
}
