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

void setAudioFields(int32_t audioInput) {
    thePrefs.audioInput = audioInput;
    thePrefs.allChannels = 0;
    thePrefs.audioOutputDevice = 0;
    thePrefs.audioInputDevice = 0;
}

}  // namespace

void resetPrefs() {
    thePrefs.outputMode = 0;
    thePrefs.screenOrAppMode = 0;
    thePrefs.whichScreen = 0;
    thePrefs.whichApp = 0;
    thePrefs.showMouse = 0;
    thePrefs.bigMouse = 0;
    thePrefs.cropWindow = 0;
    thePrefs.muteSound = 0;
    thePrefs.backgroundMode = 0;
    thePrefs.scalingMode = 0;
    setCropBox(defaultCropBox);
    thePrefs.autoRefresh = 0;
    setPrefsText(thePrefs.appName, "");
    setAudioFields(0);
    thePrefs.theFrameRateMode = 3;
    thePrefs.prescaleIt = 0;
    thePrefs.theBitRateMode = 0;
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "");
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
