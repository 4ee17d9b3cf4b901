// The application delegate's answers to activation, quitting and the last
// window closing.
#include <QComboBox>
#include <QSettings>
#include <QTimer>

#include "app/app_delegate.h"
#include "app/persistence.h"
#include "tests/app/main_window_fixture.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

namespace {

class Delegate : public ::testing::Test {
  protected:
    void SetUp() override {
        twoDisplays(server.fake);
        server.fake.windowList = {appWindow(101, "Alpha", 11), appWindow(102, "Beta", 12)};
        resetPrefs();
    }
    void TearDown() override { theViewController = nullptr; }
    QSettings store() { return {QString::fromStdString(prefsStorePath()), QSettings::IniFormat}; }

    QApplication& app = application();
    TempConfigHome config;
    ScopedFakeWindowServer server;
};

TEST_F(Delegate, ActivationBeforeTheMainWindowExistsChangesNothing) {
    AppDelegate delegate(app);
    theViewController = nullptr;
    free(theAppList);
    theAppList = nullptr;
    theAppCount = 0;
    delegate.applicationDidBecomeActive();
    EXPECT_EQ(theAppList, nullptr);
    EXPECT_EQ(theAppCount, 0);
}

TEST_F(Delegate, ActivationRebuildsTheMenuAndKeepsTheSavedApplication) {
    AppDelegate delegate(app);
    RecordingController vc;
    theViewController = &vc;
    setPrefsText(thePrefs.appName, "Beta");
    vc.loadApplicationMenu();
    ASSERT_EQ(vc.outlets().theApplicationChoice->count(), 2);

    // An application started meanwhile, in front of the others.
    server.fake.windowList.insert(server.fake.windowList.begin(), appWindow(100, "Newcomer", 10));
    delegate.applicationDidBecomeActive();
    ASSERT_EQ(vc.outlets().theApplicationChoice->count(), 3);
    EXPECT_EQ(vc.outlets().theApplicationChoice->itemText(0), "Newcomer");
    EXPECT_EQ(vc.outlets().theApplicationChoice->currentText(), "Beta");
    EXPECT_EQ(thePrefs.whichApp, 2);
}

TEST_F(Delegate, QuittingSavesTheSettingsAndLoadsThemBack) {
    AppDelegate delegate(app);
    thePrefs.scalingMode = 2;
    thePrefs.whichApp = 4;
    setPrefsText(thePrefs.appName, "Beta");
    delegate.applicationWillTerminate();
    EXPECT_EQ(store().value("scalingMode").toInt(), 2);
    EXPECT_EQ(store().value("appName").toString(), "Beta");
    EXPECT_EQ(thePrefs.scalingMode, 2);
    EXPECT_EQ(thePrefs.whichApp, 0);  // not saved, so the load resets it
}

// Runs the event loop until the application quits; false when it did not
// within five seconds, so a loop that never ends fails rather than hangs.
bool runUntilQuit() {
    bool timedOut = false;
    QObject guard;  // ends the timer with this call
    QTimer::singleShot(5000, &guard, [&timedOut] {
        timedOut = true;
        QApplication::exit(1);
    });
    QApplication::exec();
    return !timedOut;
}

TEST_F(Delegate, ClosingTheLastWindowQuitsAndSavesLikeQuitting) {
    AppDelegate delegate(app);
    EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    RecordingController vc;
    vc.show();
    thePrefs.muteSound = 1;
    QTimer::singleShot(0, &vc, [&vc] { vc.close(); });
    EXPECT_TRUE(runUntilQuit());
    EXPECT_EQ(store().value("muteSound").toInt(), 1);
}

TEST_F(Delegate, ClosingTheMainWindowQuitsEvenWithTheCropWindowOpen) {
    AppDelegate delegate(app);
    RecordingController vc;
    theViewController = &vc;
    cropWindow crop("cropWindow");
    crop.showWindow();
    crop.setIsVisible(true);
    vc.show();
    thePrefs.scalingMode = 1;
    bool cropOpenAtClose = false;
    QTimer::singleShot(0, &vc, [&] {
        cropOpenAtClose = crop.window()->isVisible();
        vc.close();
    });
    EXPECT_TRUE(runUntilQuit());
    EXPECT_TRUE(cropOpenAtClose);
    EXPECT_EQ(store().value("scalingMode").toInt(), 1);
}

}  // namespace
