#include "app/meter.h"

#include <QMessageBox>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "app/view_controller.h"
#include "capture/capture.h"
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

// A block's peak is taken, not just read, so that it counts once: when no
// block comes (audio input off, a device that went quiet for good) the meter
// falls to zero instead of holding the last level. Once it shows zero it is
// zero, and the frame clock may stop asking.
void ViewController::updateMetering() {
    const float peak = audioPeakLevel.exchange(0.0f);
    if (meterLevel < peak)
        meterLevel = peak;
    else
        meterLevel = static_cast<float>(static_cast<double>(meterLevel) * 0.9);
    const int bar = meterBarValue(meterLevel * 100.0f, ui->audioLevel->maximum());
    if (bar == 0) meterLevel = 0.0f;
    ui->audioLevel->setValue(bar);
    meterShowsLevel = bar != 0 ? 1 : 0;
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
