#include "settings/prefs.h"

#include <limits>
#include <mutex>

#include "common/bounded_text.h"

AppPrefs thePrefs{};

namespace {

// Guards the two text fields against a reader on the audio thread.
std::mutex prefsTextMutex;

void setCropBox(const CropBox& box) {
    thePrefs.cropBoxWidth = box.width;
    thePrefs.cropBoxHeight = box.height;
    thePrefs.cropBoxTop = box.top;
    thePrefs.cropBoxLeft = box.left;
}

constexpr int32_t kLowest = std::numeric_limits<int32_t>::min();
constexpr int32_t kHighest = std::numeric_limits<int32_t>::max();

// A field where every 32-bit value means something: a crop box may lie
// anywhere the crop window can be, and the load rule bounds the rest.
constexpr PrefKey anyValueKey(const char* key, PrefInt AppPrefs::*field, int32_t defaultValue = 0,
                              PrefLoadRule rule = PrefLoadRule::asStored) {
    return PrefKey{key, field, nullptr, defaultValue, kLowest, kHighest, true, rule};
}

// A menu's selected index: anything past its items would leave it blank.
constexpr PrefKey menuKey(const char* key, PrefInt AppPrefs::*field, int32_t items,
                          int32_t defaultValue = 0) {
    return PrefKey{key, field, nullptr, defaultValue, 0, items - 1, true, PrefLoadRule::asStored};
}

// A checkbox's flag is on when it is non-zero, whatever the value: a stored
// 2 is on, and stays the user's value until the box is clicked.
constexpr PrefKey checkboxKey(const char* key, PrefInt AppPrefs::*field) {
    return anyValueKey(key, field);
}

constexpr PrefKey textKey(const char* key, char (AppPrefs::*field)[kPrefsTextSize]) {
    return PrefKey{key, nullptr, field, 0, 0, 0, true, PrefLoadRule::asStored};
}

constexpr PrefKey kPrefKeys[] = {
    menuKey("outputMode", &AppPrefs::outputMode, 3),            // capture and send, nothing, black
    menuKey("screenOrAppMode", &AppPrefs::screenOrAppMode, 2),  // a display, an application
    // Held to the screens present by its load rule.
    PrefKey{"whichScreen", &AppPrefs::whichScreen, nullptr, 0, 0, kHighest, true,
            PrefLoadRule::screenIndex},
    // The application list is built afresh every run; appName finds the
    // choice again.
    PrefKey{"whichApp", &AppPrefs::whichApp, nullptr, 0, kLowest, kHighest, false,
            PrefLoadRule::asStored},
    checkboxKey("showMouse", &AppPrefs::showMouse),
    checkboxKey("bigMouse", &AppPrefs::bigMouse),
    checkboxKey("cropWindow", &AppPrefs::cropWindow),
    checkboxKey("muteSound", &AppPrefs::muteSound),
    menuKey("backgroundMode", &AppPrefs::backgroundMode, 3),
    menuKey("scalingMode", &AppPrefs::scalingMode, 3),  // native, 1920 x 1080, 1280 x 720
    anyValueKey("cropBoxWidth", &AppPrefs::cropBoxWidth, defaultCropBox.width),
    anyValueKey("cropBoxHeight", &AppPrefs::cropBoxHeight, defaultCropBox.height),
    anyValueKey("cropBoxTop", &AppPrefs::cropBoxTop, defaultCropBox.top),
    anyValueKey("cropBoxLeft", &AppPrefs::cropBoxLeft, defaultCropBox.left),
    checkboxKey("autoRefresh", &AppPrefs::autoRefresh),
    textKey("appName", &AppPrefs::appName),
    checkboxKey("audioInput", &AppPrefs::audioInput),
    checkboxKey("allChannels", &AppPrefs::allChannels),
    anyValueKey("audioOutputDevice", &AppPrefs::audioOutputDevice, 0, PrefLoadRule::deviceNumber),
    anyValueKey("audioInputDevice", &AppPrefs::audioInputDevice, 0, PrefLoadRule::deviceNumber),
    menuKey("theFrameRateMode", &AppPrefs::theFrameRateMode, 4, 3),  // 25, 29.97, 50, 60 fps
    checkboxKey("prescaleIt", &AppPrefs::prescaleIt),
    anyValueKey("theBitRateMode", &AppPrefs::theBitRateMode),  // 24 to 2 Mbit/s; others 16
    textKey("audioInputDeviceSIOUID", &AppPrefs::audioInputDeviceSIOUID),
};

void setAudioFields(int32_t audioInput) {
    thePrefs.audioInput = audioInput;
    thePrefs.allChannels = 0;
    thePrefs.audioOutputDevice = 0;
    thePrefs.audioInputDevice = 0;
}

}  // namespace

std::span<const PrefKey> prefKeys() { return kPrefKeys; }

void resetPrefs() {
    for (const PrefKey& key : kPrefKeys) {
        if (key.integer != nullptr) thePrefs.*key.integer = key.defaultValue;
        if (key.text != nullptr) setPrefsText(thePrefs.*key.text, "");
    }
}

void resetPrefsAudioOn() {
    resetPrefs();
    setAudioFields(1);
}

void resetPrefsKeepOutput() {
    const int32_t outputMode = thePrefs.outputMode;
    const int32_t scalingMode = thePrefs.scalingMode;
    resetPrefsAudioOn();
    thePrefs.outputMode = outputMode;
    thePrefs.scalingMode = scalingMode;
    setCropBox(CropBox{1280, 720, 0, 0});
}

void setPrefsText(char (&field)[kPrefsTextSize], const char* value) {
    std::lock_guard lock(prefsTextMutex);
    copyBoundedUtf8(field, kPrefsTextSize, value);
}

void copyPrefsText(const char (&field)[kPrefsTextSize], char* dst, size_t size) {
    std::lock_guard lock(prefsTextMutex);
    copyBoundedUtf8(dst, size, field);
}
