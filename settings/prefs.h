// The settings record: every choice of the main window, read directly by every
// subsystem and persisted field by field under keys of the same names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kPrefsTextSize = 256;  // 255 bytes of UTF-8 and a NUL

// Integer fields are atomic because the display-link, sender and audio threads
// read them while the main thread writes: a reader sees the old or the new
// value, never a torn one. They read and assign like plain int32_t.
using PrefInt = std::atomic<int32_t>;

struct AppPrefs {
    PrefInt outputMode;
    PrefInt screenOrAppMode;
    PrefInt whichScreen;
    PrefInt whichApp;  // not persisted
    PrefInt showMouse;
    PrefInt bigMouse;
    PrefInt cropWindow;
    PrefInt muteSound;
    PrefInt backgroundMode;
    PrefInt scalingMode;
    PrefInt cropBoxWidth;
    PrefInt cropBoxHeight;
    PrefInt cropBoxTop;
    PrefInt cropBoxLeft;
    PrefInt autoRefresh;
    char appName[kPrefsTextSize];
    PrefInt audioInput;
    PrefInt allChannels;
    PrefInt audioOutputDevice;
    PrefInt audioInputDevice;
    PrefInt theFrameRateMode;
    PrefInt prescaleIt;
    PrefInt theBitRateMode;
    char audioInputDeviceSIOUID[kPrefsTextSize];
};

// Zero-filled at process start; loaded from the user's settings at start-up.
extern AppPrefs thePrefs;

struct CropBox {
    int32_t width, height, top, left;
};
inline constexpr CropBox defaultCropBox{1280, 720, 100, 100};

// What loading does with a value inside its range besides taking it: a screen
// index must name a screen that is there; a device number is never below 0
// and is printed.
enum class PrefLoadRule : uint8_t { asStored, screenIndex, deviceNumber };

// One field of the record: its key in the store (the field's own name), the
// field (integer or text; the other member is null), its default (texts
// default to empty), the values it may hold (a menu's indices, or every
// 32-bit value where each one means something, as for a flag, which is on
// whenever it is non-zero), whether it is
// kept between runs and its load rule. Loading, saving and the reset
// operations all walk this one table.
struct PrefKey {
    const char* key;
    PrefInt AppPrefs::*integer;
    char (AppPrefs::*text)[kPrefsTextSize];
    int32_t defaultValue;
    int32_t minValue;
    int32_t maxValue;
    bool saved;
    PrefLoadRule loadRule;
};

// Every field of AppPrefs, in the record's order.
std::span<const PrefKey> prefKeys();

// Every field from its default in prefKeys(): every integer 0 and both
// strings empty, but the crop box from defaultCropBox and theFrameRateMode 3
// (60 frames per second).
void resetPrefs();
// resetPrefs with audio input on (audioInput 1, allChannels 0, both device
// numbers 0).
void resetPrefsAudioOn();
// resetPrefsAudioOn keeping outputMode and scalingMode, crop box at the origin.
void resetPrefsKeepOutput();

// Stores text into appName or audioInputDeviceSIOUID: at most 255 bytes, cut
// back to a whole UTF-8 character, always NUL-terminated; nothing past the
// field is touched. Call on the main thread.
void setPrefsText(char (&field)[kPrefsTextSize], const char* value);
// Copies a text field for a reader on another thread, never half-written.
void copyPrefsText(const char (&field)[kPrefsTextSize], char* dst, size_t size);
