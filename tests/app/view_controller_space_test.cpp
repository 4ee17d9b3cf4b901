// Space changes on a private X server: another desktop becoming current, or
// another program's full-screen window taking the front, reaches the main
// window controller, which marks the capture and rebuilds the application
// menu a second later.
#include <xcb/xcb.h>

#include <QComboBox>
#include <cstring>

#include "app/space_watch.h"
#include "common/globals.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/xvfb.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

namespace {

// Plays the window manager: sets the EWMH properties on a connection of its
// own.
class WindowManagerStandIn {
  public:
    explicit WindowManagerStandIn(const std::string& display) {
        connection = xcb_connect(display.c_str(), nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    }
    ~WindowManagerStandIn() { xcb_disconnect(connection); }

    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(name)), name),
            nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        free(reply);
        return value;
    }
    void setCardinal(uint32_t window, const char* name, xcb_atom_t type, uint32_t value) {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom(name), type, 32, 1,
                            &value);
        xcb_aux_sync();
    }
    void setCurrentDesktop(uint32_t desktop) {
        setCardinal(root, "_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL, desktop);
    }
    void setActiveWindow(uint32_t window) {
        setCardinal(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, window);
    }
    void makeFullScreen(uint32_t window) {
        setCardinal(window, "_NET_WM_STATE", XCB_ATOM_ATOM, atom("_NET_WM_STATE_FULLSCREEN"));
    }

    xcb_connection_t* connection;
    xcb_window_t root;

  private:
    void xcb_aux_sync() {
        free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
};

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
        wm = std::make_unique<WindowManagerStandIn>(xvfb->display());
        others = std::make_unique<testsupport::TestWindows>(xvfb->display());
    }
    void TearDown() override {
        theViewController = nullptr;
        vc.reset();
    }

    static testsupport::XvfbServer* xvfb;
    ScopedFakeWindowServer server;
    std::unique_ptr<RecordingController> vc;
    std::unique_ptr<WindowManagerStandIn> wm;
    std::unique_ptr<testsupport::TestWindows> others;
};
testsupport::XvfbServer* SpaceChange::xvfb = nullptr;

TEST_F(SpaceChange, ADesktopChangeAndAFullScreenWindowInFrontAreAnnounced) {
    int changes = 0;
    SpaceWatch watch([&changes] { ++changes; });
    ASSERT_TRUE(watch.start(vc->mainWindowNumber()));

    wm->setCurrentDesktop(1);
    EXPECT_TRUE(processEventsUntil([&] { return changes == 1; }));

    // Focus moving between ordinary windows is no change of space.
    const uint32_t plain = others->create({.x = 0, .y = 0, .width = 50, .height = 50});
    wm->setActiveWindow(plain);
    processEventsUntil([] { return false; }, 300);
    EXPECT_EQ(changes, 1);

    const uint32_t video = others->create({.x = 0, .y = 0, .width = 1280, .height = 800});
    wm->makeFullScreen(video);
    wm->setActiveWindow(video);
    EXPECT_TRUE(processEventsUntil([&] { return changes == 2; }));
    wm->setActiveWindow(plain);
    EXPECT_TRUE(processEventsUntil([&] { return changes == 3; }));
}

TEST_F(SpaceChange, TheMainWindowIsOffTheActiveSpaceOnAnotherDesktopOrBehindAFullScreenWindow) {
    const uint32_t ours = vc->mainWindowNumber();
    EXPECT_TRUE(SpaceWatch::isOnActiveSpace(ours));  // no window manager has said otherwise

    wm->setCurrentDesktop(0);
    wm->setCardinal(ours, "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, 1);
    EXPECT_FALSE(SpaceWatch::isOnActiveSpace(ours));
    wm->setCurrentDesktop(1);
    EXPECT_TRUE(SpaceWatch::isOnActiveSpace(ours));
    wm->setCardinal(ours, "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, 0xFFFFFFFF);  // on every desktop
    EXPECT_TRUE(SpaceWatch::isOnActiveSpace(ours));

    const uint32_t video = others->create({.x = 0, .y = 0, .width = 1280, .height = 800});
    wm->makeFullScreen(video);
    wm->setActiveWindow(video);
    EXPECT_FALSE(SpaceWatch::isOnActiveSpace(ours));
    wm->setActiveWindow(ours);
    EXPECT_TRUE(SpaceWatch::isOnActiveSpace(ours));
}

TEST_F(SpaceChange, TheControllerMarksTheCaptureAndRebuildsTheMenuASecondLater) {
    const uint32_t ours = vc->mainWindowNumber();
    vc->loadApplicationMenu();
    ASSERT_EQ(vc->outlets().theApplicationChoice->count(), 1);
    server.fake.windowList.push_back(appWindow(102, "Beta", 12));

    wm->setCurrentDesktop(0);
    wm->setCardinal(ours, "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL, 1);
    vc->activeSpaceDidChange();
    EXPECT_EQ(fullScreenSpaceActive, 1);
    QApplication::processEvents();
    EXPECT_EQ(vc->outlets().theApplicationChoice->count(), 1);  // not yet
    EXPECT_TRUE(
        processEventsUntil([&] { return vc->outlets().theApplicationChoice->count() == 2; }));

    wm->setCurrentDesktop(1);
    vc->activeSpaceDidChange();
    EXPECT_EQ(fullScreenSpaceActive, 0);
}

}  // namespace
