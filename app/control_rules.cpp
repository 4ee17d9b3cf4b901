#include "app/view_controller.h"

#include "ui_MainWindow.h"

void ViewController::userTunedRadioButtons(QAbstractButton*) {}
void ViewController::resetCropBoundaries() {}
void ViewController::userChangedOutputLive(QComboBox*) {}
void ViewController::userChangedBigMouse(QCheckBox*) {}
void ViewController::userChangedShowMouse(QCheckBox*) {}
void ViewController::userChangedAllChannelsOption(QCheckBox*) {}
void ViewController::userChangedAudioInputOption(QCheckBox*) {}
void ViewController::userChangedMuteOption(QCheckBox*) {}
void ViewController::userChangedPreScaleOption(QCheckBox*) {}
void ViewController::userChangedCropOption(QCheckBox*) {}
void ViewController::userChangedFrameRateMode(QComboBox*) {}
void ViewController::userChangedBitRateMode(QComboBox*) {}
void ViewController::userChangedScalingMode(QComboBox*) {}
void ViewController::userChangedBackgroundMode(QComboBox*) {}
void ViewController::userChangedRefreshSelection(QCheckBox*) {}
void ViewController::userChangedScreenSelection(QComboBox*) {}
void ViewController::userChangedApplicationSelection(QComboBox*) {}
void ViewController::inputDeviceSelected() {}
void ViewController::outputDeviceSelected() {}
void ViewController::cropOff() {}
void ViewController::cursorOff() {}
void ViewController::setCursorBoxesEnabled(bool) {}
void ViewController::nativeScaling() {}
void ViewController::displaySource() {}
void ViewController::applicationSource() {}
void ViewController::setCropWindowVisible(bool) {}
