// Space changes as the window server announces them: another desktop
// becoming current, or another program's full-screen window taking the
// front, reaches the main window controller, which marks the capture and
// rebuilds the application menu a second later. The X11 answers themselves
// are tested with the window server. Also: what the stream carries once a
// rebuild finds the chosen application gone.
#include <QComboBox>
#include <functional>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/space_watch.h"
#include "capture/capture.h"
#include "common/globals.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/xvfb.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

namespace {

class SpaceChange : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb = new testsupport::XvfbServer(1280, 800);
        if (!xvfb->ok()) return;
        xvfb->makeDefault();
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        application();
    }
    void SetUp() override {
        ASSERT_TRUE(xvfb->ok());
        twoDisplays(server.fake);
        server.fake.windowList = {appWindow(101, "Alpha", 11)};
        resetPrefs();
        fullScreenSpaceActive = 0;
        vc = std::make_unique<RecordingController>();
        theViewController = vc.get();
        vc->show();
        processEventsUntil([this] { return vc->mainWindowNumber() != 0; });
    }
    void TearDown() override {
        theViewController = nullptr;
        vc.reset();
    }

    static testsupport::XvfbServer* xvfb;
    ScopedFakeWindowServer server;
    std::unique_ptr<RecordingController> vc;
};
testsupport::XvfbServer* SpaceChange::xvfb = nullptr;

TEST_F(SpaceChange, ADesktopChangeAndAFullScreenWindowInFrontAreAnnounced) {
    int changes = 0;
    SpaceWatch watch([&changes] { ++changes; });
    ASSERT_TRUE(watch.start(vc->mainWindowNumber()));

    server.fake.announceSpaceNotice(kDesktopChanged);
    EXPECT_TRUE(processEventsUntil([&] { return changes == 1; }));

    // Focus moving between ordinary windows is no change of space.
    server.fake.announceSpaceNotice(kActiveWindowChanged);
    processEventsUntil([] { return false; }, 300);
    EXPECT_EQ(changes, 1);

    server.fake.otherFullScreen = true;
    server.fake.announceSpaceNotice(kActiveWindowChanged);
    EXPECT_TRUE(processEventsUntil([&] { return changes == 2; }));
    server.fake.otherFullScreen = false;
    server.fake.announceSpaceNotice(kActiveWindowChanged);
    EXPECT_TRUE(processEventsUntil([&] { return changes == 3; }));
}

TEST_F(SpaceChange, TheControllerMarksTheCaptureAndRebuildsTheMenuASecondLater) {
    vc->loadApplicationMenu();
    ASSERT_EQ(vc->outlets().theApplicationChoice->count(), 1);
    server.fake.windowList.push_back(appWindow(102, "Beta", 12));

    server.fake.onActiveSpace = false;
    vc->activeSpaceDidChange();
    EXPECT_EQ(fullScreenSpaceActive, 1);
    QApplication::processEvents();
    EXPECT_EQ(vc->outlets().theApplicationChoice->count(), 1);  // not yet
    EXPECT_TRUE(
        processEventsUntil([&] { return vc->outlets().theApplicationChoice->count() == 2; }));

    server.fake.onActiveSpace = true;
    vc->activeSpaceDidChange();
    EXPECT_EQ(fullScreenSpaceActive, 0);
}

// The frame clock driven by hand at 60 Hz with the controller's own capture
// and list rebuild; the main thread's queue runs after every refresh, and
// each submission is noted as "WxH first-byte".
struct HandClock {
    explicit HandClock(ViewController& vc) {
        hooks = baseFrameClockHooks();
        hooks.perform = [this](std::function<void()> work) { queue.push_back(std::move(work)); };
        hooks.submit = [this](uint8_t* pixels, uint32_t) {
            if (pixels != nullptr && captureWidth > 0)
                sent.push_back(std::to_string(captureWidth) + "x" + std::to_string(captureHeight) +
                               " " + std::to_string(pixels[0]));
        };
        hooks.capture = [&vc](uint8_t* buffer) { return getTheBitmap(buffer, vc); };
        hooks.loadApplicationMenu = [&vc] { vc.loadApplicationMenu(); };
        hooks.tickCount = [this] { return ticks; };
        hooks.anyoneReceiving = [this] { return receiving; };
        resetFrameClock();
    }
    ~HandClock() { resetFrameClock(); }
    void run(int refreshes) {
        for (int i = 0; i < refreshes; ++i) {
            ++ticks;
            frameClockTick(hooks, refreshTime += 16'666'667);
            for (size_t k = 0; k < queue.size(); ++k) queue[k]();
            queue.clear();
        }
    }
    FrameClockHooks hooks;
    std::vector<std::function<void()>> queue;
    std::vector<std::string> sent;
    uint32_t ticks = 1000;
    uint64_t refreshTime = 1'000'000'000;
    bool receiving = true;
};

// The chosen application quits while nobody watches; a receiver that comes
// afterwards gets its last picture at the chosen rate, whether the list was
// rebuilt by the program becoming active (automatic refresh off) or by the
// automatic refresh.
TEST_F(SpaceChange, AGoneApplicationGivesItsLastPictureAtTheChosenRateWhateverRebuiltTheList) {
    QApplication& app = application();
    AppDelegate delegate(app);
    for (int32_t autoRefresh : {0, 1}) {
        SCOPED_TRACE(autoRefresh);
        server.fake.windowList = {appWindow(101, "Alpha", 11)};
        server.fake.captureFails = false;
        server.fake.fillBgra = 0xFF0000C0u + uint32_t(autoRefresh);
        thePrefs.screenOrAppMode = 1;
        setPrefsText(thePrefs.appName, "Alpha");
        thePrefs.autoRefresh = autoRefresh;
        frameRateCode = 7;
        liveOutputMode = 0;
        vc->loadApplicationMenu();
        HandClock clock(*vc);
        const std::string last = "640x480 " + std::to_string(0xC0 + autoRefresh);
        clock.run(60);
        EXPECT_EQ(clock.sent, std::vector<std::string>(60, last));
        clock.receiving = false;
        clock.run(60);
        // Alpha quits: its window leaves the list and the screen.
        server.fake.windowList.clear();
        server.fake.captureFails = true;
        if (autoRefresh == 0) delegate.applicationDidBecomeActive();
        clock.receiving = true;
        clock.sent.clear();
        clock.run(180);
        EXPECT_EQ(vc->outlets().theApplicationChoice->count(), 0);  // rebuilt without Alpha
        EXPECT_EQ(clock.sent, std::vector<std::string>(180, last));
    }
    liveOutputMode = 1;
}

}  // namespace
