// The table behind the input-device menu, built once at launch, and the
// choice of audio back end shared with the capture run.
#include <soundio/soundio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "audio/audio.h"
#include "audio/helpers.h"
#include "common/bounded_text.h"
#include "common/diagnostics.h"

InputDeviceRecord* theInputDevices = nullptr;
int32_t theInputDeviceCount = 0;

namespace {

struct BackendName {
    const char* name;
    SoundIoBackend backend;
};
constexpr BackendName kBackendNames[] = {
    {"pulseaudio", SoundIoBackendPulseAudio},
    {"alsa", SoundIoBackendAlsa},
    {"jack", SoundIoBackendJack},
    {"dummy", SoundIoBackendDummy},
};

// PulseAudio shortens a source's latency only for a stream that asks it to
// adjust, which the audio library's streams never do: left alone, a source
// hands its sound over in fragments of about two seconds, whatever the
// stream's own latency. libpulse's PULSE_LATENCY_MSEC makes every stream of
// the process ask. It is set before main, while no other thread can read the
// environment; a value the user has set is kept.
[[maybe_unused]] const bool theServerLatencyRequest = [] {
    char milliseconds[16];
    snprintf(milliseconds, sizeof milliseconds, "%d", kInputLatencyMs);
    return setenv("PULSE_LATENCY_MSEC", milliseconds, 0) == 0;
}();

// The last listing installed could not reach the back end, so the table
// holds none of its devices; main thread only, like the table.
bool theLastListingFailed = false;

void fillRecord(InputDeviceRecord* record, const SoundIoDevice* device) {
    record->isRaw = device->is_raw ? 1 : 0;
    copyBoundedUtf8(record->name, sizeof record->name, device->name);
    copyBoundedUtf8(record->id, sizeof record->id, device->id);
}

}  // namespace

void reportBackendDisconnect(SoundIo*, int err) {
    diagnosticOutputLine("libsoundio: backend disconnected: %s\n", soundio_strerror(err));
}

int connectAudioBackend(SoundIo* soundio) {
    soundio->app_name = "NDITabrivo";
    soundio->on_backend_disconnect = reportBackendDisconnect;
    // Also what links the guard in: without it a server with no output
    // device ends the process inside the PulseAudio back end.
    if (!pulseServerInfoGuarded())
        diagnosticLine(
            "PulseAudio server information is not guarded: a server without an output device "
            "may end the program\n");
    const char* wanted = getenv("NDITABRIVO_AUDIO_BACKEND");
    if (wanted != nullptr && wanted[0] != '\0') {
        for (const BackendName& entry : kBackendNames) {
            if (strcmp(wanted, entry.name) == 0)
                return soundio_connect_backend(soundio, entry.backend);
        }
        diagnosticLine("unknown audio back end \"%s\", trying pulseaudio and alsa\n", wanted);
    }
    int err = soundio_connect_backend(soundio, SoundIoBackendPulseAudio);
    if (err != 0) err = soundio_connect_backend(soundio, SoundIoBackendAlsa);
    return err;
}

void listAudioInputDevicesInto(InputDeviceListing& listing) {
    listing.count = 0;
    listing.reached = false;
    SoundIo* soundio = soundio_create();
    if (soundio == nullptr) return;
    if (connectAudioBackend(soundio) != 0) {
        soundio_destroy(soundio);
        return;
    }
    listing.reached = true;
    // The back end fills its device list in the background; give it time to
    // report every device before counting.
    soundio_flush_events(soundio);
    soundio_flush_events(soundio);
    sleepMilliseconds(100);
    soundio_flush_events(soundio);
    soundio_flush_events(soundio);
    sleepMilliseconds(100);
    int count = soundio_input_device_count(soundio);
    diagnosticLine("--------Input Devices--------\n\n");
    for (int i = 0; i < count && listing.count < kMaxInputDevices; ++i) {
        SoundIoDevice* device = soundio_get_input_device(soundio, i);
        if (device == nullptr) continue;
        InputDeviceRecord* record = &listing.records[listing.count];
        fillRecord(record, device);
        diagnosticOutputLine("%s : %s raw=%d\n", record->name, record->id, record->isRaw);
        ++listing.count;
        soundio_device_unref(device);
    }
    diagnosticOutputLine("SIO Device Count = %d\n", listing.count);
    sleepMilliseconds(100);
    soundio_destroy(soundio);
    sleepMilliseconds(1000);
}

void installAudioInputDevices(const InputDeviceListing& listing) {
    if (theInputDevices == nullptr) {
        theInputDevices = new (std::nothrow) InputDeviceRecord[kMaxInputDevices]();
        if (theInputDevices == nullptr) {
            diagnosticLine("out of memory: the input devices are not listed\n");
            return;
        }
    }
    std::copy_n(listing.records, listing.count, theInputDevices);
    theInputDeviceCount = listing.count;
    theLastListingFailed = !listing.reached;
}

bool audioInputDevicesUnreached() { return theLastListingFailed; }

void listAudioInputDevices() {
    std::unique_ptr<InputDeviceListing> listing(new (std::nothrow) InputDeviceListing);
    if (listing == nullptr) {
        diagnosticLine("out of memory: the input devices are not listed again\n");
        return;
    }
    listAudioInputDevicesInto(*listing);
    installAudioInputDevices(*listing);
}
