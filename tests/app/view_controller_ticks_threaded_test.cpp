// The main window started whole, with the frame clock ticking on its own
// thread, the capture running against a fake window server and audio on the
// Dummy back end, while the user changes controls that the other threads
// read. Run under ThreadSanitizer, this is where a race between the window's
// writes and the clock's, sender's and audio thread's reads would show.
#include <QCheckBox>
#include <QComboBox>

#include "common/globals.h"
#include "tests/app/main_window_fixture.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

// Qt is not built for ThreadSanitizer: its mutexes and atomics (the posted
// event queue, the thread pool) are invisible to it, so its internal hand-overs
// show up as races. Only races with a Qt frame on the stack are left out;
// everything between our own threads is still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libQt6DBus.so\n";
}

namespace {

// The controller with real audio start and stop.
class LiveController : public ViewController {};

void choose(QComboBox* menu, int index) {
    menu->setCurrentIndex(index);
    emit menu->activated(index);
}

TEST(StartedWindow, ControlsChangeWhileFramesAndAudioFlow) {
    QApplication& app = application();
    (void)app;
    TempConfigHome config;
    setenv("NDITABRIVO_UPDATE_HOST", "127.0.0.1:9", 1);
    ScopedFakeWindowServer server;
    server.fake.screenList = {ScreenInfo{FrameRect{0.0, 0.0, 640.0, 360.0}}};
    server.fake.windowList = {appWindow(101, "Alpha", 11)};
    resetPrefs();

    LiveController vc;
    vc.awakeFromNib();
    vc.viewDidLoad();
    EXPECT_TRUE(processEventsUntil([] { return captureWidth.load() == 640; }, 10000));

    Ui::MainWindow& ui = vc.outlets();
    ASSERT_GE(ui.mInputDevices->count(), 1);
    choose(ui.mInputDevices, 0);  // the Dummy back end's input device
    ui.audioInputCheck->click();
    for (int round = 0; round < 3; ++round) {
        choose(ui.theFrameRateMode, round);
        choose(ui.theBitRateMode, round + 2);
        choose(ui.theScalingMode, round % 2 == 0 ? 2 : 0);
        ui.prescaleCheck->click();
        choose(ui.outputMode, round == 1 ? 2 : 0);
        processEventsUntil([] { return false; }, 300);
    }
    EXPECT_TRUE(processEventsUntil([] { return audioThreadRunning.load() == 1; }, 10000));
    EXPECT_TRUE(processEventsUntil([&] { return ui.ChannelIndicator->text() == "2"; }, 10000));
    ui.audioInputCheck->click();
    EXPECT_EQ(thePrefs.audioInput, 0);
    EXPECT_EQ(liveOutputMode, 0);
    delete theCropWindow;
    theCropWindow = nullptr;
}

}  // namespace
