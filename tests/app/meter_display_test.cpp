// The level meter's rise and decay, the channel indicator and the link
// buttons, on the main window's real widgets.
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/meter.h"
#include "capture/capture.h"
#include "common/globals.h"
#include "platform/desktop/open_url.h"
#include "tests/app/main_window_fixture.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

namespace {

class Meter : public ::testing::Test {
  protected:
    void SetUp() override {
        meterLevel = 0.0f;
        audioPeakLevel = 0.0f;
        meterShowsLevel = 0;
    }
    // The value the bar shows, in the meter's units (0 to 100).
    double shown() { return vc.outlets().audioLevel->value() / static_cast<double>(kMeterSteps); }

    QApplication& app = application();
    RecordingController vc;
};

TEST_F(Meter, OnePeakDecaysByATenthPerUpdate) {
    audioPeakLevel = 0.5f;
    vc.updateMetering();
    EXPECT_FLOAT_EQ(meterLevel, 0.5f);
    EXPECT_DOUBLE_EQ(shown(), 50.0);
    audioPeakLevel = 0.0f;
    const double expected[] = {45.0, 40.5, 36.45};
    for (double value : expected) {
        vc.updateMetering();
        EXPECT_NEAR(meterLevel * 100.0, value, 1e-4);
        EXPECT_DOUBLE_EQ(shown(), value);
    }
}

// Blocks of the same peak arriving at half the refresh rate.
TEST_F(Meter, ARepeatedPeakComesBackWithEveryBlock) {
    const float sequence[] = {0.8f, 0.72f, 0.8f, 0.72f, 0.8f};
    for (int i = 0; i < 5; ++i) {
        if (i % 2 == 0) audioPeakLevel = 0.8f;
        vc.updateMetering();
        EXPECT_FLOAT_EQ(meterLevel, sequence[i]);
    }
}

// One block, then none (audio input turned off, or a device gone quiet):
// the meter falls to zero within about a second and a half of refreshes
// and says it shows nothing more.
TEST_F(Meter, WithNoFurtherBlockTheMeterFallsToZero) {
    audioPeakLevel = 0.8f;
    vc.updateMetering();
    EXPECT_EQ(meterShowsLevel, 1);
    int updates = 1;
    for (; vc.outlets().audioLevel->value() > 0 && updates < 1000; ++updates) vc.updateMetering();
    EXPECT_NEAR(updates, 94, 1);  // 0.8 x 0.9^n below half a step of the bar
    EXPECT_EQ(meterLevel, 0.0f);
    EXPECT_EQ(meterShowsLevel, 0);
}

// Through the frame clock, as in the program: audio input goes off while
// the meter shows a peak, and the ticks go on updating it until it is at
// zero, then stop.
TEST_F(Meter, AfterAudioInputIsSwitchedOffTheMeterFallsToZeroAndTheUpdatesStop) {
    FrameClockHooks hooks = baseFrameClockHooks();
    int updates = 0;
    hooks.perform = [](std::function<void()> work) { work(); };
    hooks.updateMetering = [&] {
        ++updates;
        vc.updateMetering();
    };
    liveOutputMode = 1;  // the meter alone
    thePrefs.audioInput = 1;
    audioPeakLevel = 0.5f;
    frameClockTick(hooks, 1'000'000'000);
    EXPECT_DOUBLE_EQ(shown(), 50.0);
    thePrefs.audioInput = 0;
    for (int i = 0; i < 300; ++i) frameClockTick(hooks, 1'000'000'000);
    EXPECT_EQ(vc.outlets().audioLevel->value(), 0);
    EXPECT_LT(updates, 120);
    liveOutputMode = 0;
}

TEST_F(Meter, AHigherPeakReplacesTheDecayAndALowerOneWaits) {
    audioPeakLevel = 0.5f;
    vc.updateMetering();
    audioPeakLevel = 0.6f;
    vc.updateMetering();
    EXPECT_FLOAT_EQ(meterLevel, 0.6f);
    audioPeakLevel = 0.55f;
    vc.updateMetering();  // 0.6 is above the new peak, so it decays first
    EXPECT_NEAR(meterLevel, 0.54f, 1e-6);
    audioPeakLevel = 0.55f;  // the next block's
    vc.updateMetering();
    EXPECT_FLOAT_EQ(meterLevel, 0.55f);
}

TEST_F(Meter, APeakAboveFullScaleShowsFullScale) {
    audioPeakLevel = 3.0f;
    vc.updateMetering();
    EXPECT_FLOAT_EQ(meterLevel, 3.0f);
    EXPECT_EQ(vc.outlets().audioLevel->value(), vc.outlets().audioLevel->maximum());
}

TEST_F(Meter, ChannelIndicatorShowsTheCountInDecimal) {
    audioChannelCount = 2;
    vc.updateChannelCount();
    EXPECT_EQ(vc.outlets().ChannelIndicator->text(), "2");
    audioChannelCount = 24;
    vc.updateChannelCount();
    EXPECT_EQ(vc.outlets().ChannelIndicator->text(), "24");
    audioChannelCount = -1;
    vc.updateChannelCount();
    EXPECT_EQ(vc.outlets().ChannelIndicator->text(), "-1");
}

TEST(Alert, AWarningWithTheTextAndOneOkButtonHoldsUntilDismissed) {
    QApplication& app = application();
    (void)app;
    RecordingController vc;
    QString informative;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    QTimer::singleShot(0, [&] {
        auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(alert, nullptr);
        informative = alert->informativeText();
        icon = alert->icon();
        buttons = static_cast<int>(alert->buttons().size());
        ASSERT_NE(alert->button(QMessageBox::Ok), nullptr);
        EXPECT_EQ(alert->button(QMessageBox::Ok)->text().remove('&'), "OK");
        alert->button(QMessageBox::Ok)->click();
    });
    vc.myErrorAlert("The device went away.");
    EXPECT_EQ(informative, "The device went away.");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, 1);
}

TEST(LinkButtons, EachButtonOpensItsPlainWebAddress) {
    QApplication& app = application();
    (void)app;
    RecordingController vc;
    std::vector<QString> opened;
    platform::setUrlOpener([&](const QUrl& url) {
        opened.push_back(url.toString());
        return true;
    });
    Ui::MainWindow& ui = vc.outlets();
    // The maker's host is chosen at build time; the vendor's and the cloud
    // service's root pages are written out here, apart from the code's own.
    const std::string web = "http://" NDITABRIVO_WEB_HOST;
    const std::vector<std::pair<QPushButton*, std::string>> links = {
        {ui.getAudioOutButton, web + "/ndi/audioout.html"},
        {ui.newTekButton, "http://www.newtek.com/"},
        {ui.cloudButton, "http://ndi.cloud/"},
        {ui.twitterButton, web + "/twitter.html"},
        {ui.youtubeButton, web + "/youtube.html"},
        {ui.corvelLogo, web + "/ndi"},
    };
    std::set<QString> distinct;
    for (const auto& [button, address] : links) {
        opened.clear();
        button->click();
        ASSERT_EQ(opened.size(), 1u) << address;
        EXPECT_EQ(opened[0].toStdString(), address);
        distinct.insert(opened[0]);
    }
    EXPECT_EQ(distinct.size(), links.size()) << "each button its own page";
    platform::setUrlOpener({});
}

}  // namespace
