#include "settings/prefs.h"

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

constexpr PrefKey integerKey(const char* key, PrefInt AppPrefs::*field, int32_t defaultValue = 0,
                             PrefLoadRule rule = PrefLoadRule::asStored) {
    return PrefKey{key, field, nullptr, defaultValue, true, rule};
}

constexpr PrefKey textKey(const char* key, char (AppPrefs::*field)[kPrefsTextSize]) {
    return PrefKey{key, nullptr, field, 0, true, PrefLoadRule::asStored};
}

constexpr PrefKey kPrefKeys[] = {
    integerKey("outputMode", &AppPrefs::outputMode),
    integerKey("screenOrAppMode", &AppPrefs::screenOrAppMode),
    integerKey("whichScreen", &AppPrefs::whichScreen, 0, PrefLoadRule::screenIndex),
    // The application list is built afresh every run; appName finds the
    // choice again.
    PrefKey{"whichApp", &AppPrefs::whichApp, nullptr, 0, false, PrefLoadRule::asStored},
    integerKey("showMouse", &AppPrefs::showMouse),
    integerKey("bigMouse", &AppPrefs::bigMouse),
    integerKey("cropWindow", &AppPrefs::cropWindow),
    integerKey("muteSound", &AppPrefs::muteSound),
    integerKey("backgroundMode", &AppPrefs::backgroundMode),
    integerKey("scalingMode", &AppPrefs::scalingMode),
    integerKey("cropBoxWidth", &AppPrefs::cropBoxWidth, defaultCropBox.width),
    integerKey("cropBoxHeight", &AppPrefs::cropBoxHeight, defaultCropBox.height),
    integerKey("cropBoxTop", &AppPrefs::cropBoxTop, defaultCropBox.top),
    integerKey("cropBoxLeft", &AppPrefs::cropBoxLeft, defaultCropBox.left),
    integerKey("autoRefresh", &AppPrefs::autoRefresh),
    textKey("appName", &AppPrefs::appName),
    integerKey("audioInput", &AppPrefs::audioInput),
    integerKey("allChannels", &AppPrefs::allChannels),
    integerKey("audioOutputDevice", &AppPrefs::audioOutputDevice, 0, PrefLoadRule::deviceNumber),
    integerKey("audioInputDevice", &AppPrefs::audioInputDevice, 0, PrefLoadRule::deviceNumber),
    integerKey("theFrameRateMode", &AppPrefs::theFrameRateMode, 3),
    integerKey("prescaleIt", &AppPrefs::prescaleIt),
    integerKey("theBitRateMode", &AppPrefs::theBitRateMode),
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
