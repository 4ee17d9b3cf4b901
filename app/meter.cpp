#include "app/meter.h"

#include "app/view_controller.h"
#include "ui_MainWindow.h"

float meterLevel = 0.0f;

void ViewController::updateMetering() {}
void ViewController::updateChannelCount() {}
void ViewController::myErrorAlert(const QString&) {}
void ViewController::userPressedGetAudioOut() {}
void ViewController::userSelectedNewTek() {}
void ViewController::userPressedCloudLogo() {}
void ViewController::userPressedTwitterURL() {}
void ViewController::userPressedYoutubeURL() {}
void ViewController::userPressedCorvelLogo() {}
