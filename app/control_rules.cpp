// The control actions of the main window and the rules that keep the sources
// and options consistent for the capture, the engine and the audio capture.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <chrono>
#include <thread>

#include "app/persistence.h"
#include "app/view_controller.h"
#include "audio/audio.h"
#include "capture/capture.h"
#include "common/globals.h"
#include "platform/windowserver/window_server.h"
#include "settings/prefs.h"
#include "ui_MainWindow.h"

namespace {

// On exactly when checked; a partly checked box counts as off.
int32_t stateOf(const QCheckBox* box) { return box->checkState() == Qt::Checked ? 1 : 0; }

// A flag is on when it is non-zero, so a stored 2 and a click's 1 are alike.
bool flagChanged(int32_t before, int32_t after) { return (before != 0) != (after != 0); }

}  // namespace

void ViewController::connectActions() {
    auto checkbox = [this](QCheckBox* box, void (ViewController::*action)(QCheckBox*)) {
        connect(box, &QCheckBox::clicked, this, [this, box, action] { (this->*action)(box); });
    };
    auto menu = [this](QComboBox* combo, void (ViewController::*action)(QComboBox*)) {
        connect(combo, &QComboBox::activated, this,
                [this, combo, action] { (this->*action)(combo); });
    };
    auto button = [this](QAbstractButton* pushed, void (ViewController::*action)()) {
        connect(pushed, &QAbstractButton::clicked, this, action);
    };
    for (QRadioButton* radio : {ui->showScreen, ui->showApplication})
        connect(radio, &QRadioButton::clicked, this,
                [this, radio] { userTunedRadioButtons(radio); });
    button(ui->resetCropButton, &ViewController::resetCropBoundaries);
    menu(ui->outputMode, &ViewController::userChangedOutputLive);
    checkbox(ui->bigMouse, &ViewController::userChangedBigMouse);
    checkbox(ui->showMouse, &ViewController::userChangedShowMouse);
    checkbox(ui->allChannelsCheck, &ViewController::userChangedAllChannelsOption);
    checkbox(ui->audioInputCheck, &ViewController::userChangedAudioInputOption);
    checkbox(ui->muteCheck, &ViewController::userChangedMuteOption);
    checkbox(ui->prescaleCheck, &ViewController::userChangedPreScaleOption);
    checkbox(ui->cropWindowCheck, &ViewController::userChangedCropOption);
    menu(ui->theFrameRateMode, &ViewController::userChangedFrameRateMode);
    menu(ui->theBitRateMode, &ViewController::userChangedBitRateMode);
    menu(ui->theScalingMode, &ViewController::userChangedScalingMode);
    menu(ui->theBackgroundStyle, &ViewController::userChangedBackgroundMode);
    checkbox(ui->autoRefreshCheck, &ViewController::userChangedRefreshSelection);
    menu(ui->theScreenChoice, &ViewController::userChangedScreenSelection);
    menu(ui->theApplicationChoice, &ViewController::userChangedApplicationSelection);
    connect(ui->mInputDevices, &QComboBox::activated, this, &ViewController::inputDeviceSelected);
    connect(ui->mOutputDevices, &QComboBox::activated, this, &ViewController::outputDeviceSelected);
    button(ui->getAudioOutButton, &ViewController::userPressedGetAudioOut);
    button(ui->newTekButton, &ViewController::userSelectedNewTek);
    button(ui->cloudButton, &ViewController::userPressedCloudLogo);
    button(ui->twitterButton, &ViewController::userPressedTwitterURL);
    button(ui->youtubeButton, &ViewController::userPressedYoutubeURL);
    button(ui->corvelLogo, &ViewController::userPressedCorvelLogo);
}

void ViewController::userTunedRadioButtons(QAbstractButton* sender) {
    if (sender == ui->showScreen) thePrefs.screenOrAppMode = 0;
    if (sender == ui->showApplication) thePrefs.screenOrAppMode = 1;
    if (thePrefs.screenOrAppMode == 1) {
        cropOff();
        cursorOff();
        setCursorBoxesEnabled(true);
    }
}

void ViewController::resetCropBoundaries() {
    if (theCropWindow != nullptr) theCropWindow->pleaseResetCropBoundaries();
}

void ViewController::userChangedOutputLive(QComboBox* sender) {
    const int32_t index = sender->currentIndex();
    thePrefs.outputMode = index;
    if (static_cast<uint32_t>(index) <= 2) liveOutputMode = index;
    ui->muteCheck->setEnabled(index != 2);
}

void ViewController::userChangedBigMouse(QCheckBox* sender) { thePrefs.bigMouse = stateOf(sender); }

void ViewController::userChangedShowMouse(QCheckBox* sender) {
    thePrefs.showMouse = stateOf(sender);
    if (thePrefs.showMouse != 0) {
        nativeScaling();
        displaySource();
    } else {
        setCropWindowVisible(false);
        setCursorBoxesEnabled(true);
    }
}

void ViewController::userChangedAllChannelsOption(QCheckBox* sender) {
    const int32_t before = thePrefs.allChannels;
    thePrefs.allChannels = stateOf(sender);
    if (!flagChanged(before, thePrefs.allChannels) || thePrefs.audioInput == 0) return;
    audioStarted = 0;
    stop();
    // The run just asked to end needs a moment to let go of the device; the
    // new run would otherwise wait for it by itself.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    start();
    audioStarted = 1;
}

void ViewController::userChangedAudioInputOption(QCheckBox* sender) {
    const int32_t before = thePrefs.audioInput;
    thePrefs.audioInput = stateOf(sender);
    if (flagChanged(before, thePrefs.audioInput)) {
        if (thePrefs.audioInput != 0) {
            audioStarted = 1;
            startWithListedDevices();
        } else {
            audioStarted = 0;
            stop();
        }
    }
    // Device and channel choices are made while audio is off.
    const bool audioOff = thePrefs.audioInput == 0;
    ui->mInputDevices->setEnabled(audioOff);
    ui->allChannelsCheck->setEnabled(audioOff);
    ui->mOutputDevices->setEnabled(audioOff);
}

void ViewController::userChangedMuteOption(QCheckBox* sender) {
    thePrefs.muteSound = stateOf(sender);
}

void ViewController::userChangedPreScaleOption(QCheckBox* sender) {
    thePrefs.prescaleIt = stateOf(sender);
}

void ViewController::userChangedCropOption(QCheckBox* sender) {
    thePrefs.cropWindow = stateOf(sender);
    if (thePrefs.cropWindow != 0) {
        cursorOff();
        setCursorBoxesEnabled(false);
        setCropWindowVisible(true);
        nativeScaling();
        displaySource();
        if (theCropWindow != nullptr) theCropWindow->pleaseInitCropWindow();
        cropInitPending = 1;
    } else {
        setCropWindowVisible(false);
        setCursorBoxesEnabled(true);
    }
    // The crop window must not end up covering the controls.
    bringMainWindowToFront();
}

void ViewController::cropWindowClosed() {
    if (!ui->cropWindowCheck->isChecked()) return;
    ui->cropWindowCheck->setChecked(false);
    userChangedCropOption(ui->cropWindowCheck);
}

void ViewController::userChangedFrameRateMode(QComboBox* sender) {
    const int32_t index = sender->currentIndex();
    thePrefs.theFrameRateMode = index;
    frameRateCode = frameRateCodeForMode(static_cast<uint32_t>(index));
}

void ViewController::userChangedBitRateMode(QComboBox* sender) {
    thePrefs.theBitRateMode = sender->currentIndex();
    savePrefs();
    bitRateChanged = 1;
}

void ViewController::userChangedScalingMode(QComboBox* sender) {
    thePrefs.scalingMode = sender->currentIndex();
    if (thePrefs.scalingMode != 0) {
        cropOff();
        cursorOff();
        setCursorBoxesEnabled(true);
    }
}

void ViewController::userChangedBackgroundMode(QComboBox* sender) {
    thePrefs.backgroundMode = sender->currentIndex();
}

void ViewController::userChangedRefreshSelection(QCheckBox* sender) {
    thePrefs.autoRefresh = stateOf(sender);
}

void ViewController::userChangedScreenSelection(QComboBox* sender) {
    const int32_t index = sender->currentIndex();
    // A display may have gone since the menu was made.
    const auto attached = static_cast<int32_t>(windowServer().screens().size());
    thePrefs.whichScreen = (index >= 0 && index < attached) ? index : 0;
    if (thePrefs.screenOrAppMode == 1) {
        displaySource();
        cropOff();
        cursorOff();
        setCursorBoxesEnabled(true);
    }
}

void ViewController::userChangedApplicationSelection(QComboBox* sender) {
    const int32_t index = sender->currentIndex();
    if (theAppList == nullptr || index < 0 || index >= theAppCount) return;
    thePrefs.whichApp = index;
    setPrefsText(thePrefs.appName, theAppList[index].ownerName);
    if (thePrefs.screenOrAppMode == 0) {
        applicationSource();
        cropOff();
        cursorOff();
        setCursorBoxesEnabled(false);
    }
}

// The outlet is read rather than the sender: the menu's item index is the
// device table's index.
void ViewController::inputDeviceSelected() {
    const int32_t index = ui->mInputDevices->currentIndex();
    if (theInputDevices == nullptr || index < 0 || index >= theInputDeviceCount) return;
    setPrefsText(thePrefs.audioInputDeviceSIOUID, theInputDevices[index].id);
}

// The outlet is read, as for the input devices: the menu's item index is the
// list's index. Nothing builds that list today, so this changes nothing.
void ViewController::outputDeviceSelected() {
    const int32_t index = ui->mOutputDevices->currentIndex();
    if (mOutputDeviceList == nullptr || index < 0 ||
        static_cast<size_t>(index) >= mOutputDeviceList->size())
        return;
    outputDevice = (*mOutputDeviceList)[static_cast<size_t>(index)];
    thePrefs.audioOutputDevice = static_cast<int32_t>(outputDevice);
}

void ViewController::cropOff() {
    thePrefs.cropWindow = 0;
    ui->cropWindowCheck->setChecked(false);
    setCropWindowVisible(false);
}

void ViewController::cursorOff() {
    thePrefs.showMouse = 0;
    ui->showMouse->setChecked(false);
}

void ViewController::setCursorBoxesEnabled(bool enabled) {
    ui->showMouse->setEnabled(enabled);
    ui->bigMouse->setEnabled(enabled);
}

void ViewController::nativeScaling() {
    thePrefs.scalingMode = 0;
    ui->theScalingMode->setCurrentIndex(0);
    ui->theFrameRateMode->setCurrentIndex(thePrefs.theFrameRateMode);
}

void ViewController::displaySource() {
    thePrefs.screenOrAppMode = 0;
    ui->showScreen->setChecked(true);
    ui->showApplication->setChecked(false);
}

void ViewController::applicationSource() {
    thePrefs.screenOrAppMode = 1;
    ui->showApplication->setChecked(true);
    ui->showScreen->setChecked(false);
}

void ViewController::setCropWindowVisible(bool visible) {
    if (theCropWindow != nullptr) theCropWindow->setIsVisible(visible);
}
