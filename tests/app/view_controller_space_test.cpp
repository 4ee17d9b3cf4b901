// Space changes as the window server announces them: another desktop
// becoming current, or another program's full-screen window taking the
// front, reaches the main window controller, which marks the capture and
// rebuilds the application menu a second later. The X11 answers themselves
// are tested with the window server.
#include <QComboBox>

#include "app/space_watch.h"
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

}  // namespace
