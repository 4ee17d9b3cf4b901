// One capture run: device, rate, format and layout chosen, the input stream
// feeding a ring buffer from the device's real-time thread, and the run's
// loop handing what gathered to the engine every 40 ms.
#include <soundio/soundio.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "audio/audio.h"
#include "audio/helpers.h"
#include "audio/run_order.h"
#include "common/bounded_text.h"
#include "common/diagnostics.h"
#include "common/globals.h"
#include "common/wall_clock.h"
#include "engine/engine.h"
#include "settings/prefs.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

std::atomic<int32_t> audioOverflowCount{0};

namespace {

constexpr int kRingSeconds = 10;
// The ring is mapped twice; keep its capacity well inside the int counts.
constexpr int64_t kMaxRingBytes = int64_t{1} << 30;
constexpr int kCycleMs = 40;
constexpr int kEmptyCycleExtraMs = 100;
// A lost device or back end is looked for again this often, between drains
// of the ring.
constexpr auto kRetryInterval = std::chrono::seconds(1);
// A sound server may accept clients a moment before it lists its devices
// again; only a device still missing (or failing to open) this long after
// the reconnection counts as gone.
constexpr auto kDeviceReturnGrace = std::chrono::seconds(3);

using Clock = std::chrono::steady_clock;

// Set-up failures a start can meet again and again while memory is short;
// each is written once, then counted until a run sets up.
CountedLine outOfMemoryA("out of memory A");
CountedLine outOfMemoryB("out of memory B");
CountedLine outOfMemoryC("out of memory C");

// Where the run's input stands; the run's own thread only.
enum class Input {
    open,          // a stream is open on the device (its input may be lost meanwhile)
    closed,        // no stream: the device is opened again once it is listed
    disconnected,  // the back end went away: the connection is dropped and made again
};

// Everything one run owns; the stream's userdata points here.
struct AudioRun {
    SoundIo* soundio = nullptr;
    SoundIoDevice* device = nullptr;
    SoundIoInStream* stream = nullptr;
    // Made before the stream starts; the read callback is its only writer,
    // the loop its only reader.
    std::atomic<SoundIoRingBuffer*> ring{nullptr};
    // Raised once the chosen device is gone, its stream failed or its back
    // end went away; nothing the stream delivers afterwards is handed on.
    std::atomic<bool> inputLost{false};
    // The stream's first error, from the library's thread; the loop reports
    // it unless it came with the loss of the whole back end.
    std::atomic<int> streamError{0};
    // Lines of the device's thread, written once a run and then counted.
    CountedLine ringOverflow{"ring buffer overflow"};
    CountedLine beginReadError{"begin read error"};
    CountedLine endReadError{"end read error"};

    // The run's own thread only from here on.
    Input input = Input::open;
    bool lossReported = false;  // one line for each loss of input
    bool reconnected = false;   // the back end was connected again since the loss
    Clock::time_point nextTry{};
    Clock::time_point connectedAt{};
    // What is opened again, alike, once the device is back: the same device,
    // in the same layout, rate and format, so the ring and the receivers'
    // stream stay as they were. The layout is empty until the first open.
    SoundIoBackend backend = SoundIoBackendNone;
    char deviceId[kDeviceTextSize] = {};
    char deviceName[kDeviceTextSize] = {};
    SoundIoChannelLayout layout = {};
    int sampleRate = 0;
};

// The ring's positions are atomics of the library, whose order makes every
// sample byte read written before the count that shows it, and keeps every
// byte from being overwritten before it was read. The library is not built
// for the thread checker, which cannot see that order and would take each
// hand-over for a race; under the checker it is told of them here.
void handOver(SoundIoRingBuffer* ring) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(ring);
#else
    (void)ring;
#endif
}

void takeOver(SoundIoRingBuffer* ring) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(ring);
#else
    (void)ring;
#endif
}

const SoundIoFormat kFormatPreference[] = {
    SoundIoFormatFloat32NE, SoundIoFormatFloat32FE, SoundIoFormatS32NE, SoundIoFormatS32FE,
    SoundIoFormatS24NE,     SoundIoFormatS24FE,     SoundIoFormatS16NE, SoundIoFormatS16FE,
    SoundIoFormatFloat64NE, SoundIoFormatFloat64FE, SoundIoFormatU32NE, SoundIoFormatU32FE,
    SoundIoFormatU24NE,     SoundIoFormatU24FE,     SoundIoFormatU16NE, SoundIoFormatU16FE,
    SoundIoFormatS8,        SoundIoFormatU8,
};

bool backendConnected(const SoundIo* soundio) {
    return soundio->current_backend != SoundIoBackendNone;
}

// The library has nothing to deliver, and nothing to deliver it with, while
// the run is between connections.
void flushEvents(SoundIo* soundio, int times) {
    for (int i = 0; i < times && backendConnected(soundio); ++i) soundio_flush_events(soundio);
}

// Closes the stream and lets go of the device.
void releaseDevice(AudioRun& run) {
    if (run.stream != nullptr) soundio_instream_destroy(run.stream);
    if (run.device != nullptr) soundio_device_unref(run.device);
    run.stream = nullptr;
    run.device = nullptr;
}

// The stream first, the context last.
void releaseRun(AudioRun& run) {
    releaseDevice(run);
    if (SoundIoRingBuffer* ring = run.ring.load()) soundio_ring_buffer_destroy(ring);
    if (run.soundio != nullptr) soundio_destroy(run.soundio);
    run.ring = nullptr;
    run.soundio = nullptr;
    run.ringOverflow.settle();
    run.beginReadError.settle();
    run.endReadError.settle();
}

int failRun(AudioRun& run) {
    releaseRun(run);
    return 1;
}

// The settings field is read under its own guard; any other text as it is.
void copyDeviceId(const char* deviceId, char* dst, size_t size) {
    if (deviceId == thePrefs.audioInputDeviceSIOUID) {
        copyPrefsText(thePrefs.audioInputDeviceSIOUID, dst, size);
    } else {
        copyBoundedUtf8(dst, size, deviceId);
    }
}

// The first listed input device for which `matches` holds; a reference the
// caller releases. Null when none does.
template <typename Match>
SoundIoDevice* firstInputDevice(SoundIo* soundio, Match matches) {
    for (int i = 0; i < soundio_input_device_count(soundio); ++i) {
        SoundIoDevice* device = soundio_get_input_device(soundio, i);
        if (device == nullptr) continue;
        if (matches(device)) return device;
        soundio_device_unref(device);
    }
    return nullptr;
}

// The first non-raw input device whose id, or else name, is `wanted`.
SoundIoDevice* findInputDevice(SoundIo* soundio, const char* wanted) {
    return firstInputDevice(
        soundio, [&](const SoundIoDevice* device) { return isWantedInputDevice(device, wanted); });
}

// The non-raw input device with exactly this id.
SoundIoDevice* deviceWithId(SoundIo* soundio, const char* id) {
    return firstInputDevice(soundio, [&](const SoundIoDevice* device) {
        return !device->is_raw && strcmp(textOrEmpty(device->id), id) == 0;
    });
}

// Copies one chunk of delivered frames (or silence for a gap) to `dst`;
// returns the position after it.
char* copyChunk(const SoundIoInStream* stream, SoundIoChannelArea* areas, int frames, char* dst) {
    const int channels = stream->layout.channel_count;
    const int sampleBytes = stream->bytes_per_sample;
    if (areas == nullptr) {
        memset(dst, 0, size_t(frames) * stream->bytes_per_frame);
        return dst + size_t(frames) * stream->bytes_per_frame;
    }
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            memcpy(dst, areas[c].ptr, sampleBytes);
            areas[c].ptr += areas[c].step;
            dst += sampleBytes;
        }
    }
    return dst;
}

// Hands everything gathered in the ring to the engine and consumes it; while
// the input is lost the ring only empties.
void drainRing(AudioRun& run) {
    SoundIoRingBuffer* ring = run.ring.load();
    const int channels = run.layout.channel_count;
    const int fill = soundio_ring_buffer_fill_count(ring);
    takeOver(ring);
    const char* readPtr = soundio_ring_buffer_read_ptr(ring);
    if (fill > 0 && !run.inputLost) {
        processAudioBuffer(reinterpret_cast<const float*>(readPtr), fill / channels / 4, channels,
                           run.sampleRate);
    } else {
        sleepMilliseconds(kEmptyCycleExtraMs);
    }
    handOver(ring);
    soundio_ring_buffer_advance_read_ptr(ring, fill);
}

// True for the first report of a loss of input; later ones would only repeat it.
bool firstReportOfLoss(AudioRun& run) { return !std::exchange(run.lossReported, true); }

// A sound server moves the stream of a removed device to another device, one
// the user never chose; the run stops listening instead and opens the device
// again once it is back.
void noticeRemovedDevice(SoundIo* soundio) {
    auto* run = static_cast<AudioRun*>(soundio->userdata);
    if (run == nullptr || run->stream == nullptr || run->input != Input::open) return;
    if (SoundIoDevice* listed = deviceWithId(soundio, run->deviceId)) {
        soundio_device_unref(listed);
        return;
    }
    run->inputLost = true;
    soundio_instream_pause(run->stream, true);
    if (firstReportOfLoss(*run))
        diagnosticLine("audio input device removed: %s\n", run->deviceName);
}

// Called by the library, during an event delivery on the run's thread, once
// for each connection that is lost: the run drops the connection at its next
// cycle and makes a new one when the back end answers again.
void noticeLostBackend(SoundIo* soundio, int err) {
    reportBackendDisconnect(soundio, err);
    auto* run = static_cast<AudioRun*>(soundio->userdata);
    if (run == nullptr) return;
    run->inputLost = true;
    run->input = Input::disconnected;
}

// An error the stream reported before the events were delivered came after
// any loss of the back end those events tell of (the library fails the
// streams of a lost connection only after the connection itself), so it is
// reported only when it came alone.
void deliverEvents(AudioRun& run) {
    const int streamError = run.streamError.load();
    flushEvents(run.soundio, 1);
    if (streamError == 0 || run.input != Input::open) return;
    if (firstReportOfLoss(run)) {
        diagnosticLine("input stream error: %s\n", soundio_strerror(streamError));
    }
}

// A new input stream on the run's device with the fields every stream of the
// run gets before it opens.
SoundIoInStream* createStream(AudioRun& run) {
    SoundIoInStream* stream = soundio_instream_create(run.device);
    if (stream == nullptr) return nullptr;
    stream->format = SoundIoFormatFloat32NE;
    stream->sample_rate = run.sampleRate;
    stream->read_callback = audioReadCallback;
    stream->overflow_callback = audioOverflowCallback;
    stream->error_callback = audioStreamErrorCallback;
    stream->userdata = &run;
    // Without a latency of its own a stream is fed in the back end's default
    // fragments, about two seconds with PulseAudio, and every block would
    // reach receivers that late. The Dummy back end times its fake device by
    // this figure instead, and keeps its own pace.
    if (run.soundio->current_backend != SoundIoBackendDummy) {
        stream->software_latency = kInputLatencyMs / 1000.0;
    }
    return stream;
}

// The one way a stream is opened on the run's device: the first time in the
// layout the settings ask for, afterwards in the layout it had, so that the
// ring and the receivers' stream stay as they were. Returns the library's
// error code; the stream is null when none could be made.
int openStream(AudioRun& run) {
    run.streamError = 0;
    run.stream = createStream(run);
    if (run.stream == nullptr) return SoundIoErrorNoMem;
    if (run.layout.channel_count > 0) {
        run.stream->layout = run.layout;
        return soundio_instream_open(run.stream);
    }
    if (thePrefs.allChannels != 0) chooseWidestChannelLayout(run.stream);
    return openInputStream(run.stream);
}

// The first open, with the lines of the run's set-up.
int setUpStream(AudioRun& run) {
    if (int err = openStream(run)) {
        if (run.stream == nullptr) {
            outOfMemoryC.write();
        } else {
            diagnosticLine("unable to open input stream: %s\n", soundio_strerror(err));
        }
        return 1;
    }
    diagnosticLine("%s %dHz %s interleaved\n", textOrEmpty(run.stream->layout.name),
                   run.stream->sample_rate, soundio_format_string(run.stream->format));
    // A device without layouts can leave the stream with no channels, and
    // frames of no bytes cannot be counted.
    if (run.stream->layout.channel_count < 1) {
        diagnosticLine("input stream has no channels\n");
        return 1;
    }
    // A server's device wider than a stream can carry gives its leading
    // channels; say how many of them go out.
    if (deviceChannelCount(run.device) > run.stream->layout.channel_count) {
        diagnosticLine("%s has more channels than a stream can carry; its first %d are sent\n",
                       textOrEmpty(run.device->name),
                       channelsToSend(run.stream->layout.channel_count));
    }
    run.layout = run.stream->layout;
    run.sampleRate = run.stream->sample_rate;
    return 0;
}

// The device listed again, opened and started as it was; takes over the
// device reference. Returns the library's error code.
int openAgain(AudioRun& run, SoundIoDevice* device) {
    run.device = device;
    int err = openStream(run);
    if (err == 0) {
        run.inputLost = false;
        err = soundio_instream_start(run.stream);
    }
    if (err != 0) {
        run.inputLost = true;
        releaseDevice(run);
    }
    return err;
}

// At the end of a cycle: a stream whose input was lost is closed, and a lost
// connection is dropped, its stream and device first.
void closeLostInput(AudioRun& run) {
    if (run.input == Input::open && run.inputLost) {
        releaseDevice(run);
        run.input = Input::closed;
        run.reconnected = false;
        run.nextTry = Clock::now() + kRetryInterval;
    }
    if (run.input == Input::disconnected && backendConnected(run.soundio)) {
        releaseDevice(run);
        soundio_disconnect(run.soundio);
        run.nextTry = Clock::now() + kRetryInterval;
    }
}

// Says once, after a grace for a reconnected server to list its devices,
// that the device did not come back or cannot be opened; the run keeps
// looking.
void reportTrouble(AudioRun& run, bool listed, int err) {
    if (run.reconnected && Clock::now() - run.connectedAt < kDeviceReturnGrace) return;
    if (!firstReportOfLoss(run)) return;
    if (!listed) {
        diagnosticLine("audio input device removed: %s\n", run.deviceName);
    } else {
        diagnosticLine("unable to open input stream: %s\n", soundio_strerror(err));
    }
}

// One try, at most once a second: connect the back end again if need be,
// then open the device again once it is listed.
void tryToReopen(AudioRun& run) {
    const Clock::time_point now = Clock::now();
    if (now < run.nextTry) return;
    run.nextTry = now + kRetryInterval;
    if (!backendConnected(run.soundio)) {
        if (soundio_connect_backend(run.soundio, run.backend) != 0) return;
        run.input = Input::closed;
        run.reconnected = true;
        run.connectedAt = now;
        soundio_flush_events(run.soundio);
        if (run.input == Input::disconnected) return;  // gone again already
    }
    SoundIoDevice* device = deviceWithId(run.soundio, run.deviceId);
    const int err = device != nullptr ? openAgain(run, device) : SoundIoErrorNoSuchDevice;
    if (err != 0) {
        reportTrouble(run, device != nullptr, err);
        return;
    }
    run.input = Input::open;
    run.lossReported = false;
    diagnosticOutputLine(run.reconnected ? "audio back end reconnected; capturing from %s again\n"
                                         : "audio input device returned; capturing from %s again\n",
                         run.deviceName);
}

int captureLoop(AudioRun& run) {
    flushEvents(run.soundio, 9);
    channelCountChanged = 1;
    while (audioThreadRunning != 0) {
        deliverEvents(run);
        sleepMilliseconds(kCycleMs);
        drainRing(run);
        closeLostInput(run);
        if (run.input != Input::open) tryToReopen(run);
    }
    flushEvents(run.soundio, 7);
    releaseRun(run);
    return 0;
}

// What the run needs to open the device again.
void rememberDevice(AudioRun& run) {
    run.backend = run.soundio->current_backend;
    copyBoundedUtf8(run.deviceId, sizeof run.deviceId, textOrEmpty(run.device->id));
    copyBoundedUtf8(run.deviceName, sizeof run.deviceName, textOrEmpty(run.device->name));
}

// Kernels before 5.14 cannot populate a mapping on request. Then the room
// left where the library makes its file (/dev/shm, else /tmp) is compared
// with the ring instead. This is a best effort: the library may have fallen
// back for another reason, and another process may take the room before the
// device's thread writes.
bool roomForRing(size_t capacity) {
    const char* dir = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    struct statvfs room {};
    if (statvfs(dir, &room) != 0) return true;  // nothing known: the file was made there
    return uint64_t(room.f_bavail) * room.f_frsize >= capacity;
}

// The library backs the ring with a file in a tmpfs, sized but not filled. A
// tmpfs that cannot give a page when the device's thread first writes there
// ends the whole process with SIGBUS, on that thread, so the pages are taken
// now, while a failure can still be answered. A new ring writes at the start
// of its first mapping; both mappings share the one file, so populating the
// first takes all of its pages.
bool reserveRingMemory(SoundIoRingBuffer* ring) {
    char* base = soundio_ring_buffer_write_ptr(ring);
    const size_t capacity = size_t(soundio_ring_buffer_capacity(ring));
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || reinterpret_cast<uintptr_t>(base) % size_t(page) != 0) {
        return roomForRing(capacity);
    }
    int result = 0;
    do {
        result = madvise(base, capacity, MADV_POPULATE_WRITE);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    if (errno == EINVAL || errno == ENOSYS) return roomForRing(capacity);
    return false;  // no room: the tmpfs or the memory is full
}

// Ten seconds of a wide, fast device can exceed what the library's int
// capacity holds; such a ring cannot be made.
bool createRing(AudioRun& run) {
    const int64_t bytes =
        int64_t{run.stream->sample_rate} * run.stream->bytes_per_frame * kRingSeconds;
    SoundIoRingBuffer* ring =
        bytes <= kMaxRingBytes ? soundio_ring_buffer_create(run.soundio, int(bytes)) : nullptr;
    if (ring != nullptr && !reserveRingMemory(ring)) {
        soundio_ring_buffer_destroy(ring);
        ring = nullptr;
    }
    if (ring == nullptr) {
        outOfMemoryA.write();
        return false;
    }
    run.ring.store(ring, std::memory_order_release);
    return true;
}

}  // namespace

int runAudioCapture(const char* deviceId, uint64_t ticket) {
    char wanted[kPrefsTextSize];
    AudioRun run;
    run.soundio = soundio_create();
    if (run.soundio == nullptr) {
        outOfMemoryB.write();
        return 1;
    }
    if (int err = connectAudioBackend(run.soundio)) {
        diagnosticLine("error connecting: %s\n", soundio_strerror(err));
        return failRun(run);
    }
    run.soundio->userdata = &run;
    run.soundio->on_backend_disconnect = noticeLostBackend;
    run.soundio->on_devices_change = noticeRemovedDevice;
    soundio_flush_events(run.soundio);
    copyDeviceId(deviceId, wanted, sizeof wanted);
    run.device = findInputDevice(run.soundio, wanted);
    if (run.device == nullptr) {
        diagnosticLine("Invalid device id: %s\n", wanted);
        return failRun(run);
    }
    diagnosticLine("Device: %s\n", textOrEmpty(run.device->name));
    rememberDevice(run);
    if (run.device->probe_error != 0) {
        diagnosticLine("Unable to probe device: %s\n", soundio_strerror(run.device->probe_error));
        return failRun(run);
    }
    run.sampleRate = chooseSampleRate(run.device);
    const auto format = SoundIoFormat(chooseSampleFormat(run.device));
    // The hand-over reads the ring as native 32-bit floats; anything else
    // would reach receivers as noise.
    if (format != SoundIoFormatFloat32NE) {
        diagnosticLine("unsupported sample format: %s\n", soundio_format_string(format));
        return failRun(run);
    }
    if (setUpStream(run) != 0 || !createRing(run)) return failRun(run);
    for (CountedLine* line : {&outOfMemoryA, &outOfMemoryB, &outOfMemoryC}) line->settle();
    audioChannelCount = channelsToSend(run.stream->layout.channel_count);
    if (int err = soundio_instream_start(run.stream)) {
        diagnosticLine("unable to start input device: %s\n", soundio_strerror(err));
        return failRun(run);
    }
    // A stop made while the run was setting up ends it here, before it
    // captures anything.
    if (!beginCapturing(ticket)) {
        releaseRun(run);
        return 0;
    }
    return captureLoop(run);
}

void audioReadCallback(SoundIoInStream* stream, int frameCountMin, int frameCountMax) {
    auto* run = static_cast<AudioRun*>(stream->userdata);
    if (audioThreadRunning == 0 || run->inputLost) return;
    SoundIoRingBuffer* ring = run->ring.load(std::memory_order_acquire);
    const int freeFrames = soundio_ring_buffer_free_count(ring) / stream->bytes_per_frame;
    takeOver(ring);
    if (freeFrames < frameCountMin) {
        run->ringOverflow.write();
        return;
    }
    const int writeFrames = freeFrames < frameCountMax ? freeFrames : frameCountMax;
    char* writePtr = soundio_ring_buffer_write_ptr(ring);
    int framesLeft = writeFrames;
    while (framesLeft > 0) {
        SoundIoChannelArea* areas = nullptr;
        int frames = framesLeft;
        if (int err = soundio_instream_begin_read(stream, &areas, &frames)) {
            run->beginReadError.write(soundio_strerror(err));
            return;
        }
        if (frames == 0) break;
        writePtr = copyChunk(stream, areas, frames, writePtr);
        if (int err = soundio_instream_end_read(stream)) {
            run->endReadError.write(soundio_strerror(err));
            return;
        }
        framesLeft -= frames;
    }
    // Only what was actually copied is committed: a short delivery must not
    // hand stale ring bytes on as samples.
    const int committed = (writeFrames - framesLeft) * stream->bytes_per_frame;
    handOver(ring);
    soundio_ring_buffer_advance_write_ptr(ring, committed);
}

int chooseSampleRate(SoundIoDevice* device) {
    if (servedByMixingServer(device) && device->sample_rate_current > 0) {
        return device->sample_rate_current;
    }
    if (soundio_device_supports_sample_rate(device, 48000)) return 48000;
    if (soundio_device_supports_sample_rate(device, 44100)) return 44100;
    // No rate at all: the open takes the one nearest to 48000.
    return device->sample_rate_count > 0 ? device->sample_rates[0].max : 0;
}

int chooseSampleFormat(SoundIoDevice* device) {
    for (SoundIoFormat format : kFormatPreference) {
        if (soundio_device_supports_format(device, format)) return format;
    }
    return SoundIoFormatInvalid;
}

bool isWantedInputDevice(const SoundIoDevice* device, const char* wanted) {
    if (device->is_raw || wanted[0] == '\0') return false;
    return strcmp(textOrEmpty(device->id), wanted) == 0 ||
           strcmp(textOrEmpty(device->name), wanted) == 0;
}

void audioOverflowCallback(SoundIoInStream*) {
    const int32_t count = audioOverflowCount.fetch_add(1) + 1;
    diagnosticLine("overflow %d\n", count);
}

void audioStreamErrorCallback(SoundIoInStream* stream, int err) {
    auto* run = stream != nullptr ? static_cast<AudioRun*>(stream->userdata) : nullptr;
    if (run == nullptr) {
        diagnosticLine("input stream error: %s\n", soundio_strerror(err));
        return;
    }
    int none = 0;
    run->streamError.compare_exchange_strong(none, err);
    run->inputLost = true;
}

int64_t getMilliseconds() { return wallClockMilliseconds(); }
