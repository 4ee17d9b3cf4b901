// ndi-recv: connects to a sender of the built-in runtime and writes what it
// receives in forms standard tools read: the H.264 of the 'H264' packets as an
// Annex B byte stream and the audio as a 32-bit float WAV file.
//
//   ndi-recv [--host HOST] [--port PORT] [--video FILE|-] [--audio FILE]
//            [--frames N] [--seconds S]
//
// Exit status: 0 when the asked frames or seconds arrived (or on an interrupt),
// 1 when the connection failed or was lost before that, 2 for bad arguments.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/ndi/ndi.h"

namespace {

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr long kDefaultPort = 5960;

struct Options {
    std::string host = kDefaultHost;
    long port = kDefaultPort;
    std::string videoPath;
    std::string audioPath;
    long frames = 0;     // 0: no limit
    double seconds = 0;  // 0: no limit
};

struct Counts {
    long video = 0;
    long keyframes = 0;
    long videoBytes = 0;
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

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: ndi-recv [options]\n"
                 "Receives a source of the built-in NDI runtime and writes its H.264 and audio.\n"
                 "\n"
                 "  -H, --host=HOST      sender's host (default %s)\n"
                 "  -p, --port=PORT      sender's TCP port (default %ld)\n"
                 "  -o, --video=FILE     H.264 Annex B stream, from the first keyframe; - for\n"
                 "                       standard output (default: not written)\n"
                 "  -a, --audio=FILE     32-bit float WAV file (default: not written)\n"
                 "  -n, --frames=N       stop after N video frames (default: no limit)\n"
                 "  -t, --seconds=S      stop after S seconds (default: no limit)\n"
                 "  -h, --help           show this help and exit\n"
                 "  -V, --version        show the version and exit\n"
                 "\n"
                 "Exit status: 0 done, 1 connection failed or lost, 2 bad arguments.\n",
                 kDefaultHost, kDefaultPort);
}

bool parseNumber(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high)) return false;
    *out = value;
    return true;
}

bool parseWhole(const char* text, long low, long high, long* out) {
    double value = 0;
    if (!parseNumber(text, static_cast<double>(low), static_cast<double>(high), &value) ||
        value != std::floor(value)) {
        return false;
    }
    *out = static_cast<long>(value);
    return true;
}

enum class Parsed { run, exitOk, exitBad };

Parsed badValue(const char* option, const char* value, const char* want) {
    std::fprintf(stderr, "ndi-recv: bad value \"%s\" for --%s (want %s)\n", value, option, want);
    return Parsed::exitBad;
}

// One option with its value; the result says whether to go on.
Parsed takeOption(int code, const char* value, Options* options) {
    double number = 0;
    switch (code) {
        case 'H':
            if (*value == '\0') return badValue("host", value, "a host name or address");
            options->host = value;
            return Parsed::run;
        case 'p':
            return parseWhole(value, 1, 65535, &options->port)
                       ? Parsed::run
                       : badValue("port", value, "a whole number from 1 to 65535");
        case 'o':
            options->videoPath = value;
            return Parsed::run;
        case 'a':
            if (std::strcmp(value, "-") == 0) {
                std::fprintf(stderr,
                             "ndi-recv: --audio needs a file: a WAV file is rewritten "
                             "at the end, so it cannot be standard output\n");
                return Parsed::exitBad;
            }
            options->audioPath = value;
            return Parsed::run;
        case 'n':
            return parseWhole(value, 1, 1000000000, &options->frames)
                       ? Parsed::run
                       : badValue("frames", value, "a whole number from 1 to 1000000000");
        case 't':
            if (!parseNumber(value, 0.001, 1e7, &number)) {
                return badValue("seconds", value, "a number from 0.001 to 10000000");
            }
            options->seconds = number;
            return Parsed::run;
        case 'h':
            usage(stdout);
            return Parsed::exitOk;
        case 'V':
            std::printf("ndi-recv (NDITabrivo) %s\n", NDITABRIVO_VERSION);
            return Parsed::exitOk;
        default:  // getopt_long has named the option
            std::fprintf(stderr, "Try 'ndi-recv --help' for more information.\n");
            return Parsed::exitBad;
    }
}

Parsed parseOptions(int argc, char** argv, Options* options) {
    static const option kOptions[] = {{"host", required_argument, nullptr, 'H'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"video", required_argument, nullptr, 'o'},
                                      {"audio", required_argument, nullptr, 'a'},
                                      {"frames", required_argument, nullptr, 'n'},
                                      {"seconds", required_argument, nullptr, 't'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 1;  // getopt_long names unknown options and missing values itself
    int code = 0;
    while ((code = getopt_long(argc, argv, "H:p:o:a:n:t:hV", kOptions, nullptr)) != -1) {
        const Parsed parsed = takeOption(code, optarg != nullptr ? optarg : "", options);
        if (parsed != Parsed::run) return parsed;
    }
    if (optind < argc) {
        std::fprintf(stderr, "ndi-recv: unexpected argument \"%s\"\n", argv[optind]);
        return Parsed::exitBad;
    }
    return Parsed::run;
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

// The video output. Pipes and terminals get every frame at once, so a live
// view lags no more than the stream itself; a file is written in blocks.
struct VideoOutput {
    FILE* file = nullptr;
    bool flushEachFrame = false;
    bool started = false;  // a decoder can start only at a keyframe
};

void writeVideo(VideoOutput* out, const NDIlib_video_frame_v2_t& frame, Counts* counts) {
    if (frame.FourCC != NDIlib_FourCC_type_H264) return;
    HXPacketHeader header;
    if (readHXPacket(frame.p_data, frame.data_size_in_bytes, &header) != 0) {
        ++counts->malformed;
        std::fprintf(stderr, "ndi-recv: video frame %ld skipped\n",
                     counts->video + counts->malformed);
        return;
    }
    ++counts->video;
    counts->videoBytes += header.dataSize;
    if (header.flags == 1) ++counts->keyframes;
    out->started |= header.flags == 1;
    if (out->file == nullptr || !out->started) return;
    std::fwrite(frame.p_data + kHXPacketHeaderSize, 1, header.dataSize, out->file);
    if (out->flushEachFrame) std::fflush(out->file);
}

// One line a second on a terminal, rewritten in place, as ffmpeg's stats line.
struct Progress {
    bool shown = false;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    long lastFrames = 0;
    long lastBytes = 0;

    void update(const Counts& counts) {
        if (!shown) return;
        const auto now = std::chrono::steady_clock::now();
        const std::chrono::duration<double> span = now - last;
        if (span.count() < 1.0) return;
        std::fprintf(stderr, "frames=%ld fps=%.1f rate=%.1f kbit/s    \r", counts.video,
                     (counts.video - lastFrames) / span.count(),
                     (counts.videoBytes - lastBytes) * 8 / 1000.0 / span.count());
        last = now;
        lastFrames = counts.video;
        lastBytes = counts.videoBytes;
    }
    void finish() {
        if (shown && lastFrames > 0) std::fputc('\n', stderr);
    }
};

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

// Receives until the asked frames or seconds are in, or an interrupt; false
// when the connection is lost first.
bool receive(NDIlib_recv_instance_t recv, const Options& options, VideoOutput* videoOut,
             WavFile* wav, Counts* counts) {
    Progress progress;
    progress.shown = isatty(STDERR_FILENO) != 0;
    const auto start = std::chrono::steady_clock::now();
    bool lost = false;
    while (!lost && stopRequested.load() == 0 && !timeIsUp(options, start) &&
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
                lost = true;
                break;
            default:
                break;
        }
        progress.update(*counts);
    }
    progress.finish();
    if (lost) std::fprintf(stderr, "ndi-recv: connection lost\n");
    return !lost;
}

FILE* openOutput(const std::string& path) {
    if (path.empty()) return nullptr;
    if (path == "-") return stdout;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "ndi-recv: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    }
    return file;
}

bool isRegularFile(FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

// A WAV file without audio still gets a header, so every reader opens it.
void closeWav(WavFile* wav) {
    if (wav->file == nullptr) return;
    if (wav->channels == 0) {
        wav->channels = 2;
        wav->sampleRate = 48000;
    }
    writeWavHeader(wav);
    std::fclose(wav->file);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (parseOptions(argc, argv, &options)) {
        case Parsed::exitOk:
            return 0;
        case Parsed::exitBad:
            return 2;
        case Parsed::run:
            break;
    }
    VideoOutput videoOut;
    videoOut.file = openOutput(options.videoPath);
    WavFile wav;
    wav.file = openOutput(options.audioPath);
    if ((!options.videoPath.empty() && videoOut.file == nullptr) ||
        (!options.audioPath.empty() && wav.file == nullptr)) {
        return 1;
    }
    if (videoOut.file != nullptr) videoOut.flushEachFrame = !isRegularFile(videoOut.file);
    if (wav.file != nullptr) writeWavHeader(&wav);  // room for the header written at the end
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    NDIlib_recv_instance_t recv = connect(options);
    if (recv == nullptr) return 1;
    Counts counts;
    const bool complete = receive(recv, options, &videoOut, &wav, &counts);
    NDIlib_recv_destroy(recv);
    closeWav(&wav);
    if (videoOut.file != nullptr) std::fflush(videoOut.file);
    if (videoOut.file != nullptr && videoOut.file != stdout) std::fclose(videoOut.file);
    FILE* summary = videoOut.file == stdout ? stderr : stdout;
    if (counts.malformed > 0)
        std::fprintf(summary, "skipped %ld malformed packets\n", counts.malformed);
    std::fprintf(
        summary,
        "received %ld video frames (%ld keyframes), %ld audio frames, %ld metadata frames\n",
        counts.video, counts.keyframes, counts.audio, counts.metadata);
    return complete ? 0 : 1;
}
