// The level meter's rise and decay, the channel indicator and the link
// buttons, on the main window's real widgets.
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <set>
#include <string>
#include <vector>

#include "app/meter.h"
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

TEST_F(Meter, AHeldPeakComesBackEveryOtherUpdate) {
    audioPeakLevel = 0.8f;
    const float sequence[] = {0.8f, 0.72f, 0.8f, 0.72f, 0.8f};
    for (float level : sequence) {
        vc.updateMetering();
        EXPECT_FLOAT_EQ(meterLevel, level);
    }
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
