#include "app/meter.h"

#include <QMessageBox>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "app/view_controller.h"
#include "common/globals.h"
#include "platform/desktop/open_url.h"
#include "ui_MainWindow.h"

float meterLevel = 0.0f;

namespace {

// The bar ignores values outside its range, so a peak above full scale (the
// audio is not capped at 1.0) or a broken one is shown at the nearest end.
int meterBarValue(float shown, int maximum) {
    const double steps = static_cast<double>(shown) * kMeterSteps;
    if (!(steps > 0.0)) return 0;
    return static_cast<int>(std::lround(std::min(steps, static_cast<double>(maximum))));
}

void openPage(const char* address) { platform::openUrl(QUrl(QString::fromUtf8(address))); }

}  // namespace

void ViewController::updateMetering() {
    const float peak = audioPeakLevel;
    if (meterLevel < peak)
        meterLevel = peak;
    else
        meterLevel = static_cast<float>(static_cast<double>(meterLevel) * 0.9);
    const float shown = meterLevel * 100.0f;
    ui->audioLevel->setValue(meterBarValue(shown, ui->audioLevel->maximum()));
}

void ViewController::updateChannelCount() {
    ui->ChannelIndicator->setText(QString::asprintf("%d", audioChannelCount.load()));
}

void ViewController::myErrorAlert(const QString& text) {
    QMessageBox alert(QMessageBox::Warning, QString(), QString(), QMessageBox::Ok, this);
    alert.setInformativeText(text);
    alert.exec();
}

void ViewController::userPressedGetAudioOut() { openPage(kAudioOutUrl); }
void ViewController::userSelectedNewTek() { openPage(kNewTekUrl); }
void ViewController::userPressedCloudLogo() { openPage(kCloudUrl); }
void ViewController::userPressedTwitterURL() { openPage(kTwitterUrl); }
void ViewController::userPressedYoutubeURL() { openPage(kYoutubeUrl); }
void ViewController::userPressedCorvelLogo() { openPage(kCorvelUrl); }
