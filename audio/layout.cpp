// The input stream's channel layout and the ring buffer's backing-file
// location: the two points where the program decides what the audio library
// would otherwise decide for itself.
#include <soundio/soundio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "audio/helpers.h"
#include "common/temp_dir.h"
#include "settings/prefs.h"

namespace {

// Wider layouts than the library can open are never chosen.
constexpr int kWidestOpenableLayout = SOUNDIO_MAX_CHANNELS;

// The leading channels of a server's channel map that a stream can ask for.
// The library holds at most 24 channels in a layout and has no name for some
// of the server's positions (aux16 and up); a stream asks the server for its
// channels by name, and one unnamed channel makes the whole open fail.
SoundIoChannelLayout nameableLeadingChannels(const SoundIoChannelLayout& map) {
    SoundIoChannelLayout layout{};
    const int count = std::min(map.channel_count, SOUNDIO_MAX_CHANNELS);
    while (layout.channel_count < count &&
           map.channels[layout.channel_count] != SoundIoChannelIdInvalid) {
        layout.channels[layout.channel_count] = map.channels[layout.channel_count];
        ++layout.channel_count;
    }
    layout.name = layout.channel_count == map.channel_count ? map.name : nullptr;
    return layout;
}

bool offersLayout(const DeviceLayouts& layouts, const SoundIoChannelLayout* layout) {
    for (int i = 0; i < layouts.count; ++i) {
        if (soundio_channel_layout_equal(&layouts[i], layout)) return true;
    }
    return false;
}

}  // namespace

bool servedByMixingServer(const SoundIoDevice* device) {
    return device->soundio != nullptr &&
           device->soundio->current_backend == SoundIoBackendPulseAudio;
}

DeviceLayouts deviceLayouts(const SoundIoDevice* device) {
    DeviceLayouts layouts;
    if (servedByMixingServer(device) && device->current_layout.channel_count > 0) {
        layouts.own = nameableLeadingChannels(device->current_layout);
        layouts.count = layouts.own.channel_count > 0 ? 1 : 0;
    } else if (device->layouts != nullptr && device->layout_count > 0) {
        layouts.list = device->layouts;
        layouts.count = device->layout_count;
    }
    return layouts;
}

int deviceChannelCount(const SoundIoDevice* device) {
    return servedByMixingServer(device) ? device->current_layout.channel_count : 0;
}

int chooseWidestChannelLayout(SoundIoInStream* stream) {
    const DeviceLayouts layouts = deviceLayouts(stream->device);
    diagnosticOutputLine("Device %s has %d layouts\n", textOrEmpty(stream->device->name),
                         layouts.count);
    int widest = 0;
    int widestCount = 0;
    for (int i = 0; i < layouts.count; ++i) {
        const int count = layouts[i].channel_count;
        diagnosticOutputLine("Layout #%d = %d ch\n", i + 1, count);
        if (count > widestCount && count <= kWidestOpenableLayout) {
            widest = i;
            widestCount = count;
        }
    }
    if (layouts.count > 0) stream->layout = layouts[widest];
    return 0;
}

void applyInputLayoutRule(SoundIoInStream* stream, int32_t allChannels) {
    if (allChannels != 0 && stream->layout.channel_count != 0) return;
    const SoundIoChannelLayout* stereo =
        soundio_channel_layout_get_builtin(SoundIoChannelLayoutIdStereo);
    const DeviceLayouts layouts = deviceLayouts(stream->device);
    if (offersLayout(layouts, stereo)) {
        stream->layout = *stereo;
    } else if (layouts.count > 0) {
        stream->layout = layouts[0];
    }
}

int openInputStream(SoundIoInStream* stream) {
    // A server's device whose first channel has no name in the library leaves
    // a stream nothing to ask for; the library's own fallback, stereo, would
    // get only silence from the server.
    if (servedByMixingServer(stream->device) && deviceLayouts(stream->device).count == 0) {
        return SoundIoErrorIncompatibleDevice;
    }
    applyInputLayoutRule(stream, thePrefs.allChannels);
    return soundio_instream_open(stream);
}

int getTempDirectory(char* dst) { return copyTemporaryDirectory(dst, kTempPathSize); }
