// Audio capture: the input-device list, one capture run per start on a
// thread of its own, and the choices made around the audio library's input
// stream. Captured blocks leave through processAudioBuffer (engine).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct SoundIo;
struct SoundIoChannelLayout;
struct SoundIoDevice;
struct SoundIoInStream;

// ---- Input device list (built at launch; the table is main-thread only) ----

inline constexpr int kMaxInputDevices = 32;
inline constexpr size_t kDeviceTextSize = 256;  // 255 bytes of UTF-8 and a NUL

struct InputDeviceRecord {
    char name[kDeviceTextSize];  // shown in the input-device menu
    char id[kDeviceTextSize];    // stored in audioInputDeviceSIOUID
    int32_t isRaw;               // raw devices are listed but never captured from
};

// Table of kMaxInputDevices records, null until the first listing; records
// from theInputDeviceCount on are not valid. Main thread only.
extern InputDeviceRecord* theInputDevices;
extern int32_t theInputDeviceCount;

// One listing of the back end's input devices, in the library's order.
struct InputDeviceListing {
    InputDeviceRecord records[kMaxInputDevices];
    int32_t count;  // filled records
    bool reached;   // the back end could be connected
};
// Lists the input devices into listing (about 1.3 s, mostly waiting for the
// back end's device list to settle); devices beyond the 32nd are left out.
// Touches no table, so it may run on any thread.
void listAudioInputDevicesInto(InputDeviceListing& listing);
// Makes listing the table behind the menu. Main thread only.
void installAudioInputDevices(const InputDeviceListing& listing);
// The listing installed last could not reach the back end (the sound server
// was down), so the table holds none of its devices. Main thread only.
bool audioInputDevicesUnreached();

// Rebuilds the table from the audio back end on the calling thread (the two
// above in one).
void listAudioInputDevices();

// Connects the back end chosen by NDITABRIVO_AUDIO_BACKEND (pulseaudio, alsa,
// jack, dummy); without it PulseAudio, falling back to ALSA. Returns the
// library's error code, 0 on success.
int connectAudioBackend(SoundIo* soundio);

// ---- Capture thread and run ----

// Overflow notices from the library since launch, over all runs.
extern std::atomic<int32_t> audioOverflowCount;

// Starts a detached thread running audioThreadMain(deviceId); returns 0, or 1
// when no thread can be made. deviceId must outlive the thread (the settings
// field does); it is read when the run chooses its device.
int startAudioThread(const char* deviceId);
// Ends the oldest run still alive (waiting, setting up or capturing) without
// waiting for it; returns 0.
int stopAudioCapture();
// Thread body for the run with the given start ticket: waits ("waiting for
// audio" each second) while an earlier run is still alive, then runs once.
void audioThreadMain(const char* deviceId, uint64_t ticket);
// One capture run on the device whose id (or else name) is deviceId: 0 after a
// stop, 1 when set-up fails (one line on standard error). When its back end
// goes away while it captures (the sound server restarts), it says so once,
// tries to connect again about once a second, and opens the same device
// again as soon as it is listed, saying so once more.
int runAudioCapture(const char* deviceId, uint64_t ticket);

// The capture takes the first input device, in the library's order, for which
// this holds: not raw, and its id or else its name is `wanted` (never empty).
bool isWantedInputDevice(const SoundIoDevice* device, const char* wanted);

// 48000 Hz when the device supports it, else 44100, else the top of its first
// rate range (0 when it lists none: the open then picks the nearest to 48000).
// A device of a resampling server supports only the rate it runs at.
int chooseSampleRate(SoundIoDevice* device);
// The first format the device supports, best first: 32-bit float native and
// foreign endian, then signed 32, 24 and 16 bits, 64-bit float, unsigned 32,
// 24 and 16 bits, signed and unsigned 8 bits; SoundIoFormatInvalid when none.
// The run captures only native 32-bit float and refuses the rest.
int chooseSampleFormat(SoundIoDevice* device);

// The input stream's callbacks, on the device's real-time thread.
void audioReadCallback(SoundIoInStream* stream, int frameCountMin, int frameCountMax);
void audioOverflowCallback(SoundIoInStream* stream);
// The library's default ends the process on a stream error; here the run
// drops the stream's input and, unless the error came with the loss of the
// whole back end (which the run recovers from), reports it once, as it does
// a removed device, and cycles over an empty ring until it is stopped.
void audioStreamErrorCallback(SoundIoInStream* stream, int err);

// Wall clock in milliseconds.
int64_t getMilliseconds();

// ---- Input-stream layout and the ring buffer's backing file ----

// True for a device of a sound server that remixes and resamples to whatever
// a stream asks (PulseAudio): the audio library then lists every built-in
// layout and the whole rate range for it, whatever the device really has.
bool servedByMixingServer(const SoundIoDevice* device);
// The channels of such a server's device as the library holds them (at
// most 24), even where its layouts are cut; 0 for any other device.
int deviceChannelCount(const SoundIoDevice* device);

// Gives the stream (device set) its device's widest layout of 1 to 24
// channels, the earliest of equal width; lists the layouts on standard output.
// Returns 0.
int chooseWidestChannelLayout(SoundIoInStream* stream);
// The layout the open must use: kept as set when allChannels is on and it has
// channels, else the stereo layout when the device has one, else the device's
// first layout.
void applyInputLayoutRule(SoundIoInStream* stream, int32_t allChannels);
// applyInputLayoutRule with thePrefs.allChannels, then the library's open;
// SoundIoErrorIncompatibleDevice for a server's device that offers no layout.
int openInputStream(SoundIoInStream* stream);

inline constexpr size_t kTempPathSize = 1000;
// The per-user temporary directory ($TMPDIR, else /tmp/), always ending in
// '/', NUL-terminated in dst (kTempPathSize bytes). Returns 0, or -1 (dst
// empty) when it does not fit. Debian's libsoundio makes its ring buffer's
// backing file in /dev/shm, else in a fixed /tmp, and takes no directory
// from its caller, so the capture run cannot hand this one over.
int getTempDirectory(char* dst);
