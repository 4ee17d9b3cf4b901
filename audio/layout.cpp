// The input stream's channel layout and the ring buffer's backing-file
// location: the two points where the program decides what the audio library
// would otherwise decide for itself.
#include <soundio/soundio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/prefs.h"
#include "audio/audio.h"

namespace {

// Wider layouts than the library can open are never chosen.
constexpr int kWidestOpenableLayout = SOUNDIO_MAX_CHANNELS;

const char* textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

bool deviceHasLayout(const SoundIoDevice* device, const SoundIoChannelLayout* layout) {
    for (int i = 0; i < device->layout_count; ++i) {
        if (soundio_channel_layout_equal(&device->layouts[i], layout)) return true;
    }
    return false;
}

}  // namespace

int chooseWidestChannelLayout(SoundIoInStream* stream) {
    const SoundIoDevice* device = stream->device;
    printf("Device %s has %d layouts\n", textOrEmpty(device->name), device->layout_count);
    int widest = -1;
    int widestCount = 0;
    for (int i = 0; i < device->layout_count; ++i) {
        int count = device->layouts[i].channel_count;
        printf("Layout #%d = %d ch\n", i + 1, count);
        if (count > widestCount && count <= kWidestOpenableLayout) {
            widest = i;
            widestCount = count;
        }
    }
    if (device->layout_count > 0) stream->layout = device->layouts[widest >= 0 ? widest : 0];
    return 0;
}

void applyInputLayoutRule(SoundIoInStream* stream, int32_t allChannels) {
    if (allChannels != 0 && stream->layout.channel_count != 0) return;
    const SoundIoDevice* device = stream->device;
    const SoundIoChannelLayout* stereo =
        soundio_channel_layout_get_builtin(SoundIoChannelLayoutIdStereo);
    if (deviceHasLayout(device, stereo)) {
        stream->layout = *stereo;
    } else if (device->layout_count > 0) {
        stream->layout = device->layouts[0];
    }
}

int openInputStream(SoundIoInStream* stream) {
    applyInputLayoutRule(stream, thePrefs.allChannels);
    return soundio_instream_open(stream);
}

int getTempDirectory(char* dst) {
    const char* dir = getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp/";
    size_t len = strlen(dir);
    bool needsSlash = dir[len - 1] != '/';
    if (len + (needsSlash ? 1 : 0) >= kTempPathSize) {
        dst[0] = '\0';
        return -1;
    }
    memcpy(dst, dir, len);
    if (needsSlash) dst[len++] = '/';
    dst[len] = '\0';
    return 0;
}
