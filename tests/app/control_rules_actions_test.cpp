// The main window's control actions driven through its real widgets on the
// offscreen platform: settings, control states and the shared globals.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <memory>

#include "app/persistence.h"
#include "capture/capture.h"
#include "common/globals.h"
#include "tests/app/main_window_fixture.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

namespace {

// What a user's choice in a menu does: select, then the menu's action.
void choose(QComboBox* menu, int index) {
    menu->setCurrentIndex(index);
    emit menu->activated(index);
}

// A menu standing in for one that holds more (or other) items than the
// window's own, for indices the window's menu cannot reach.
struct StandInMenu {
    explicit StandInMenu(int items, int selected) {
        for (int i = 0; i < items; ++i) menu.addItem(QString::number(i));
        menu.setCurrentIndex(selected);
    }
    QComboBox menu;
};

class ControlRules : public ::testing::Test {
  protected:
    void SetUp() override {
        twoDisplays(server.fake);
        server.fake.windowList = {appWindow(101, "Alpha", 11), appWindow(102, "Beta", 12)};
        resetPrefs();
        liveOutputMode = 0;
        frameRateCode = 7;
        bitRateChanged = 0;
        cropInitPending = 0;
        audioStarted = 0;
        theViewController = &vc;
        theCropWindow = new cropWindow("cropWindow");
        theCropWindow->showWindow();
        theCropWindow->setIsVisible(false);
        ui().theScreenChoice->addItems({"Screen 1", "Screen 2"});
        vc.loadApplicationMenu();
        vc.setControlsFromPrefs();
        vc.show();
    }
    void TearDown() override {
        delete theCropWindow;
        theCropWindow = nullptr;
        theViewController = nullptr;
    }
    Ui::MainWindow& ui() { return vc.outlets(); }
    bool cropWindowVisible() {
        return theCropWindow->window() && theCropWindow->window()->isVisible();
    }
    // Settings changed after SetUp reach the controls as start-up would.
    void reloadControls() { vc.setControlsFromPrefs(); }

    QApplication& app = application();  // before any widget
    TempConfigHome config;
    ScopedFakeWindowServer server;
    RecordingController vc;
};

TEST_F(ControlRules, CropOnTurnsCursorOffPicksNativeDisplayAndPlacesTheWindow) {
    thePrefs.showMouse = 1;
    thePrefs.screenOrAppMode = 1;
    thePrefs.scalingMode = 2;
    thePrefs.theFrameRateMode = 1;
    reloadControls();
    ui().theFrameRateMode->setCurrentIndex(3);  // shown out of step with the setting
    theCropWindow->window()->activateWindow();

    ui().cropWindowCheck->click();

    EXPECT_EQ(thePrefs.cropWindow, 1);
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_FALSE(ui().showMouse->isChecked());
    EXPECT_FALSE(ui().showMouse->isEnabled());
    EXPECT_FALSE(ui().bigMouse->isEnabled());
    EXPECT_EQ(thePrefs.scalingMode, 0);
    EXPECT_EQ(ui().theScalingMode->currentIndex(), 0);
    EXPECT_EQ(ui().theFrameRateMode->currentIndex(), 1);
    EXPECT_EQ(thePrefs.screenOrAppMode, 0);
    EXPECT_TRUE(ui().showScreen->isChecked());
    EXPECT_FALSE(ui().showApplication->isChecked());
    EXPECT_TRUE(cropWindowVisible());
    // The saved box, the default 1280 x 720 at 100 points from the left and
    // from the top of the 1080-point main screen: bottom-left origin y 260.
    const FrameRect placed = theCropWindow->frame();
    EXPECT_EQ(placed.x, 100.0);
    EXPECT_EQ(placed.y, 260.0);
    EXPECT_EQ(placed.width, 1280.0);
    EXPECT_EQ(placed.height, 720.0);
    EXPECT_EQ(cropInitPending, 1);
    EXPECT_TRUE(processEventsUntil([&] { return QApplication::activeWindow() == &vc; }));
}

TEST_F(ControlRules, CropOffHidesTheWindowEnablesTheCursorBoxesAndRaisesTheMainWindow) {
    ui().cropWindowCheck->click();
    theCropWindow->window()->activateWindow();
    processEventsUntil([] { return QApplication::activeWindow() == theCropWindow->window(); });

    ui().cropWindowCheck->click();

    EXPECT_EQ(thePrefs.cropWindow, 0);
    EXPECT_FALSE(cropWindowVisible());
    EXPECT_TRUE(ui().showMouse->isEnabled());
    EXPECT_TRUE(ui().bigMouse->isEnabled());
    EXPECT_TRUE(processEventsUntil([&] { return QApplication::activeWindow() == &vc; }));

    // Closing the crop window itself is the same as unchecking the option.
    ui().cropWindowCheck->click();
    vc.cropWindowClosed();
    EXPECT_FALSE(ui().cropWindowCheck->isChecked());
    EXPECT_EQ(thePrefs.cropWindow, 0);
    EXPECT_FALSE(cropWindowVisible());
    EXPECT_TRUE(ui().showMouse->isEnabled());
}

TEST_F(ControlRules, CursorOnWithApplicationSourceAndFixedScalingReturnsToNativeDisplay) {
    thePrefs.screenOrAppMode = 1;
    thePrefs.scalingMode = 1;
    reloadControls();

    ui().showMouse->click();

    EXPECT_EQ(thePrefs.showMouse, 1);
    EXPECT_EQ(thePrefs.scalingMode, 0);
    EXPECT_EQ(ui().theScalingMode->currentIndex(), 0);
    EXPECT_EQ(thePrefs.screenOrAppMode, 0);
    EXPECT_TRUE(ui().showScreen->isChecked());
}

TEST_F(ControlRules, CursorOffHidesTheCropWindowButKeepsTheCropSetting) {
    ui().showMouse->click();
    thePrefs.cropWindow = 1;
    theCropWindow->setIsVisible(true);

    ui().showMouse->click();

    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_FALSE(cropWindowVisible());
    EXPECT_EQ(thePrefs.cropWindow, 1);
    EXPECT_TRUE(ui().bigMouse->isEnabled());
}

TEST_F(ControlRules, FixedScalingTurnsCropAndCursorOffAndNativeChangesOnlyTheSetting) {
    ui().cropWindowCheck->click();
    choose(ui().theScalingMode, 1);
    EXPECT_EQ(thePrefs.scalingMode, 1);
    EXPECT_EQ(thePrefs.cropWindow, 0);
    EXPECT_FALSE(ui().cropWindowCheck->isChecked());
    EXPECT_FALSE(cropWindowVisible());
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_TRUE(ui().showMouse->isEnabled());

    ui().showMouse->setEnabled(false);  // a state only the native choice must leave alone
    choose(ui().theScalingMode, 0);
    EXPECT_EQ(thePrefs.scalingMode, 0);
    EXPECT_FALSE(ui().showMouse->isEnabled());
}

TEST_F(ControlRules, ApplicationSourceThroughTheRadioEnablesTheCursorBoxes) {
    ui().cropWindowCheck->click();
    ui().showApplication->click();
    EXPECT_EQ(thePrefs.screenOrAppMode, 1);
    EXPECT_EQ(thePrefs.cropWindow, 0);
    EXPECT_FALSE(cropWindowVisible());
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_TRUE(ui().showMouse->isEnabled());
    EXPECT_TRUE(ui().bigMouse->isEnabled());

    ui().showScreen->click();
    EXPECT_EQ(thePrefs.screenOrAppMode, 0);
}

TEST_F(ControlRules, ApplicationSourceThroughTheMenuCopiesTheNameAndDisablesTheCursorBoxes) {
    ui().showMouse->click();
    choose(ui().theApplicationChoice, 1);
    EXPECT_EQ(thePrefs.whichApp, 1);
    EXPECT_STREQ(thePrefs.appName, "Beta");
    EXPECT_EQ(thePrefs.screenOrAppMode, 1);
    EXPECT_TRUE(ui().showApplication->isChecked());
    EXPECT_FALSE(ui().showScreen->isChecked());
    EXPECT_EQ(thePrefs.showMouse, 0);
    EXPECT_FALSE(ui().showMouse->isEnabled());

    // Already on the application source: only the choice changes.
    ui().showMouse->setEnabled(true);
    choose(ui().theApplicationChoice, 0);
    EXPECT_EQ(thePrefs.whichApp, 0);
    EXPECT_STREQ(thePrefs.appName, "Alpha");
    EXPECT_TRUE(ui().showMouse->isEnabled());
}

TEST_F(ControlRules, ApplicationIndexOutsideTheListChangesNothing) {
    thePrefs.whichApp = 1;
    setPrefsText(thePrefs.appName, "Beta");
    for (int selected : {-1, 2, 7}) {
        StandInMenu standIn(8, selected);
        vc.userChangedApplicationSelection(&standIn.menu);
        EXPECT_EQ(thePrefs.whichApp, 1) << selected;
        EXPECT_STREQ(thePrefs.appName, "Beta") << selected;
        EXPECT_EQ(thePrefs.screenOrAppMode, 0) << selected;
    }
}

TEST_F(ControlRules, AChosenApplicationThatQuitsIsNeverReplacedByAnother) {
    std::unique_ptr<uint8_t, decltype(&free)> buffer(static_cast<uint8_t*>(malloc(kMaxFrameBytes)),
                                                     &free);
    choose(ui().theApplicationChoice, 1);
    ASSERT_TRUE(getTheBitmap(buffer.get(), vc));
    // Beta quits; another application now stands at its place.
    server.fake.windowList = {appWindow(103, "Secret bank statement", 13),
                              appWindow(101, "Alpha", 11)};
    server.fake.captures.clear();
    vc.loadApplicationMenu();
    EXPECT_EQ(ui().theApplicationChoice->currentIndex(), -1);
    EXPECT_EQ(ui().theApplicationChoice->placeholderText(), "Beta (not running)");
    EXPECT_FALSE(getTheBitmap(buffer.get(), vc));
    EXPECT_TRUE(server.fake.captures.empty());
    // Beta is back, elsewhere in the list: it is sent again.
    server.fake.windowList.push_back(appWindow(102, "Beta", 12));
    vc.loadApplicationMenu();
    EXPECT_EQ(ui().theApplicationChoice->currentText(), "Beta");
    EXPECT_TRUE(getTheBitmap(buffer.get(), vc));
    ASSERT_EQ(server.fake.captures.size(), 1u);
    EXPECT_EQ(server.fake.captures[0].windowNumber, 12u);
}

TEST_F(ControlRules, PickingADisplayWhileTheApplicationIsChosenSwitchesToTheDisplay) {
    thePrefs.screenOrAppMode = 1;
    reloadControls();
    ui().showMouse->setEnabled(false);
    choose(ui().theScreenChoice, 1);
    EXPECT_EQ(thePrefs.whichScreen, 1);
    EXPECT_EQ(thePrefs.screenOrAppMode, 0);
    EXPECT_TRUE(ui().showScreen->isChecked());
    EXPECT_TRUE(ui().showMouse->isEnabled());

    // Display source already: only the index changes.
    ui().showMouse->setEnabled(false);
    choose(ui().theScreenChoice, 0);
    EXPECT_EQ(thePrefs.whichScreen, 0);
    EXPECT_FALSE(ui().showMouse->isEnabled());
}

TEST_F(ControlRules, DisplayIndexBeyondTheAttachedDisplaysBecomesZero) {
    thePrefs.whichScreen = 1;
    StandInMenu removed(3, 2);  // three displays at launch, two now
    vc.userChangedScreenSelection(&removed.menu);
    EXPECT_EQ(thePrefs.whichScreen, 0);

    thePrefs.whichScreen = 1;
    StandInMenu none(3, -1);
    vc.userChangedScreenSelection(&none.menu);
    EXPECT_EQ(thePrefs.whichScreen, 0);
}

TEST_F(ControlRules, AudioOnStartsOnceAndDisablesTheDeviceChoices) {
    ui().audioInputCheck->click();
    EXPECT_EQ(thePrefs.audioInput, 1);
    EXPECT_EQ(vc.starts(), 1);
    EXPECT_EQ(audioStarted, 1);
    EXPECT_FALSE(ui().mInputDevices->isEnabled());
    EXPECT_FALSE(ui().mOutputDevices->isEnabled());
    EXPECT_FALSE(ui().allChannelsCheck->isEnabled());

    ui().audioInputCheck->click();
    ASSERT_EQ(vc.audioEvents.size(), 2u);
    EXPECT_FALSE(vc.audioEvents[1].start);
    EXPECT_EQ(audioStarted, 0);
    EXPECT_TRUE(ui().mInputDevices->isEnabled());
    EXPECT_TRUE(ui().mOutputDevices->isEnabled());
    EXPECT_TRUE(ui().allChannelsCheck->isEnabled());
}

TEST_F(ControlRules, AudioOnAfterAFailedListingListsOffTheWindowsThreadThenStarts) {
    // As at a launch while the sound server was down.
    const std::string backEnd = getenv("NDITABRIVO_AUDIO_BACKEND");
    setenv("NDITABRIVO_AUDIO_BACKEND", "jack", 1);
    testing::internal::CaptureStdout();
    listAudioInputDevices();
    setenv("NDITABRIVO_AUDIO_BACKEND", backEnd.c_str(), 1);
    ASSERT_EQ(theInputDeviceCount, 0);
    ui().audioInputCheck->click();
    // The window's thread is free at once; the start waits for the devices.
    EXPECT_EQ(ui().mInputDevices->count(), 0);
    EXPECT_TRUE(vc.audioEvents.empty());
    EXPECT_TRUE(processEventsUntil([&] { return !vc.audioEvents.empty(); }, 20000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ui().mInputDevices->count(), 1);
    EXPECT_EQ(ui().mInputDevices->currentIndex(), 0);
    ASSERT_EQ(vc.starts(), 1);
    EXPECT_EQ(vc.audioEvents[0].device, "dummy-in");
}

TEST_F(ControlRules, AudioCheckboxAtItsOwnValueOnlyAppliesTheEnabling) {
    // Any non-zero flag is on, as a stored 2 is.
    for (int32_t on : {1, 2}) {
        thePrefs.audioInput = on;
        thePrefs.allChannels = on;
        reloadControls();
        ui().mInputDevices->setEnabled(true);
        vc.userChangedAudioInputOption(ui().audioInputCheck);
        vc.userChangedAllChannelsOption(ui().allChannelsCheck);
        EXPECT_TRUE(vc.audioEvents.empty()) << on;
        EXPECT_FALSE(ui().mInputDevices->isEnabled()) << on;
    }
}

TEST_F(ControlRules, AllChannelsChangeWhileAudioIsOnRestartsAfterAPause) {
    thePrefs.audioInput = 1;
    reloadControls();
    ui().allChannelsCheck->click();
    EXPECT_EQ(thePrefs.allChannels, 1);
    ASSERT_EQ(vc.audioEvents.size(), 2u);
    EXPECT_FALSE(vc.audioEvents[0].start);
    EXPECT_TRUE(vc.audioEvents[1].start);
    EXPECT_GE(vc.audioEvents[1].when - vc.audioEvents[0].when, std::chrono::seconds(1));
    EXPECT_EQ(audioStarted, 1);
}

TEST_F(ControlRules, AllChannelsChangeWhileAudioIsOffOnlyChangesTheSetting) {
    ui().allChannelsCheck->click();
    EXPECT_EQ(thePrefs.allChannels, 1);
    EXPECT_TRUE(vc.audioEvents.empty());
}

TEST_F(ControlRules, BlackFramesDisableMuteAndUnknownOutputIndicesKeepTheLiveMode) {
    choose(ui().outputMode, 2);
    EXPECT_EQ(thePrefs.outputMode, 2);
    EXPECT_EQ(liveOutputMode, 2);
    EXPECT_FALSE(ui().muteCheck->isEnabled());

    StandInMenu fourth(4, 3);
    vc.userChangedOutputLive(&fourth.menu);
    EXPECT_EQ(thePrefs.outputMode, 3);
    EXPECT_EQ(liveOutputMode, 2);
    EXPECT_TRUE(ui().muteCheck->isEnabled());

    choose(ui().outputMode, 1);
    EXPECT_EQ(liveOutputMode, 1);
    choose(ui().outputMode, -1);
    EXPECT_EQ(thePrefs.outputMode, -1);
    EXPECT_EQ(liveOutputMode, 1);
    EXPECT_TRUE(ui().muteCheck->isEnabled());
}

TEST_F(ControlRules, FrameRateIndicesMapToCodesAndAnythingElseToSixty) {
    const int32_t expected[] = {2, 3, 5, 7};
    for (int i = 0; i < 4; ++i) {
        choose(ui().theFrameRateMode, i);
        EXPECT_EQ(thePrefs.theFrameRateMode, i);
        EXPECT_EQ(frameRateCode, expected[i]);
    }
    choose(ui().theFrameRateMode, 0);
    choose(ui().theFrameRateMode, -1);
    EXPECT_EQ(thePrefs.theFrameRateMode, -1);
    EXPECT_EQ(frameRateCode, 7);
    EXPECT_EQ(frameRateCodeForMode(4), 7);
    EXPECT_EQ(frameRateCodeForMode(0xFFFFFFFFu), 7);
}

TEST_F(ControlRules, BitRateChangeSavesEverySettingAtOnceAndAsksForNewEncoders) {
    thePrefs.whichScreen = 1;
    thePrefs.muteSound = 1;
    setPrefsText(thePrefs.appName, "Beta");
    choose(ui().theBitRateMode, 4);
    EXPECT_EQ(thePrefs.theBitRateMode, 4);
    EXPECT_EQ(bitRateChanged, 1);

    QSettings saved(QString::fromStdString(prefsStorePath()), QSettings::IniFormat);
    EXPECT_EQ(saved.value("theBitRateMode").toInt(), 4);
    EXPECT_EQ(saved.value("whichScreen").toInt(), 1);
    EXPECT_EQ(saved.value("muteSound").toInt(), 1);
    EXPECT_EQ(saved.value("appName").toString(), "Beta");
    EXPECT_EQ(saved.value("cropBoxWidth").toInt(), 1280);
}

TEST_F(ControlRules, OtherSettingsWaitForQuitAndCheckboxesStoreOneOrZero) {
    ui().muteCheck->click();
    ui().prescaleCheck->click();
    ui().autoRefreshCheck->click();
    ui().bigMouse->click();
    choose(ui().theBackgroundStyle, 2);
    EXPECT_EQ(thePrefs.muteSound, 1);
    EXPECT_EQ(thePrefs.prescaleIt, 1);
    EXPECT_EQ(thePrefs.autoRefresh, 1);
    EXPECT_EQ(thePrefs.bigMouse, 1);
    EXPECT_EQ(thePrefs.backgroundMode, 2);
    EXPECT_FALSE(QSettings(QString::fromStdString(prefsStorePath()), QSettings::IniFormat)
                     .contains("muteSound"));

    ui().muteCheck->setTristate(true);
    ui().muteCheck->setCheckState(Qt::PartiallyChecked);
    vc.userChangedMuteOption(ui().muteCheck);
    EXPECT_EQ(thePrefs.muteSound, 0);
}

TEST_F(ControlRules, DeviceChoiceCopiesTheIdBoundedAndIgnoresIndicesOutsideTheTable) {
    const std::string longId(300, 'x');
    InputDeviceTable devices({{"Built-in", "builtin-id"}, {"Long", longId}});
    ui().mInputDevices->addItems({"Built-in", "Long", "Stale entry"});
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "saved-id");

    choose(ui().mInputDevices, 2);
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "saved-id");
    choose(ui().mInputDevices, -1);
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "saved-id");

    choose(ui().mInputDevices, 0);
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "builtin-id");
    choose(ui().mInputDevices, 1);
    EXPECT_EQ(std::string(thePrefs.audioInputDeviceSIOUID), longId.substr(0, 255));
    EXPECT_TRUE(vc.audioEvents.empty());
}

TEST_F(ControlRules, ResetButtonRestoresTheDefaultCropBox) {
    thePrefs.cropBoxWidth = 320;
    thePrefs.cropBoxLeft = 7;
    ui().resetCropButton->click();
    EXPECT_EQ(thePrefs.cropBoxWidth, 1280);
    EXPECT_EQ(thePrefs.cropBoxLeft, 100);
}

TEST_F(ControlRules, OutputDeviceChoiceStoresTheListedIdAndNothingWithoutAList) {
    thePrefs.audioOutputDevice = 3;
    ui().mOutputDevices->addItems({"speakers", "headphones", "unlisted"});
    choose(ui().mOutputDevices, 1);
    EXPECT_EQ(thePrefs.audioOutputDevice, 3) << "no list: nothing to name";

    const std::vector<uint32_t> deviceIds = {7, 12};
    vc.setOutputDeviceList(&deviceIds);
    choose(ui().mOutputDevices, 1);
    EXPECT_EQ(thePrefs.audioOutputDevice, 12);
    EXPECT_EQ(vc.outputDevice, 12u);
    choose(ui().mOutputDevices, 2);  // beyond the list
    EXPECT_EQ(thePrefs.audioOutputDevice, 12);
    choose(ui().mOutputDevices, 0);
    EXPECT_EQ(thePrefs.audioOutputDevice, 7);
    vc.setOutputDeviceList(nullptr);
}

}  // namespace
