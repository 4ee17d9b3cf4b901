// The main window's start-up on the offscreen platform: the displays it lists
// and prints, the controls and globals it sets from the saved settings, the
// crop window, audio and the input-device menu. A fake window server stands
// in for X, the update check meets a closed loopback port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>

#include "app/persistence.h"
#include "common/globals.h"
#include "tests/app/main_window_fixture.h"
#include "ui_MainWindow.h"

using namespace mainwindowtest;

namespace {

// A loopback port that nothing listens on.
int closedLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class StartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string host = "127.0.0.1:" + std::to_string(closedLoopbackPort());
        setenv("NDITABRIVO_UPDATE_HOST", host.c_str(), 1);
        twoDisplays(server.fake);
        server.fake.windowList = {appWindow(101, "Alpha", 11), appWindow(102, "Beta", 12)};
        blackHolePresent = 0;
        audioStarted = 0;
        liveOutputMode = 0;
        resetPrefs();
        // Nothing to capture while the tests look at start-up itself.
        thePrefs.outputMode = 1;
    }
    void TearDown() override {
        delete theCropWindow;
        theCropWindow = nullptr;
    }
    // Saves the settings as a previous run would have left them, then clears
    // the record the way a fresh process has it.
    void saveAndForget() {
        savePrefs();
        resetPrefs();
        memset(static_cast<void*>(&thePrefs), 0, sizeof thePrefs);
    }
    // Runs the start-up and returns what it printed.
    std::string startUp() {
        testing::internal::CaptureStdout();
        vc.viewDidLoad();
        return testing::internal::GetCapturedStdout();
    }
    Ui::MainWindow& ui() { return vc.outlets(); }

    QApplication& app = application();
    TempConfigHome config;
    ScopedFakeWindowServer server;
    RecordingController vc;
};

TEST_F(StartUp, ListsEveryDisplayAndPrintsTheirPlaces) {
    saveAndForget();
    InputDeviceTable devices({});
    const std::string out = startUp();
    ASSERT_EQ(ui().theScreenChoice->count(), 2);
    EXPECT_EQ(ui().theScreenChoice->itemText(0), "Screen 1");
    EXPECT_EQ(ui().theScreenChoice->itemText(1), "Screen 2");
    EXPECT_NE(out.find("Screen 0 height=1080 Origin = 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Screen 1 height=1080 Origin = -1080\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Screen Array : Top=-1080 TotalHeight = 2160\n"), std::string::npos) << out;
    EXPECT_LT(out.find("Screen 1 height"), out.find("Screen Array"));
    EXPECT_FLOAT_EQ(mainScreenHeight, 1080.0f);
    EXPECT_EQ(theViewController, &vc);
    EXPECT_TRUE(vc.isVisible());
    EXPECT_EQ(vc.windowTitle(), "NDI Wendlor HX");
}

TEST_F(StartUp, SetsEveryControlAndTheLaunchGlobalsFromTheSavedSettings) {
    thePrefs.outputMode = 2;
    thePrefs.theFrameRateMode = 9;
    thePrefs.muteSound = 1;
    thePrefs.showMouse = 1;
    thePrefs.prescaleIt = 1;
    thePrefs.scalingMode = 1;
    thePrefs.theBitRateMode = 5;
    thePrefs.backgroundMode = 1;
    thePrefs.screenOrAppMode = 1;
    thePrefs.whichScreen = 1;
    setPrefsText(thePrefs.appName, "bEtA");
    saveAndForget();
    InputDeviceTable devices({});
    startUp();

    EXPECT_EQ(ui().outputMode->currentIndex(), 2);
    EXPECT_EQ(liveOutputMode, 2);
    EXPECT_FALSE(ui().muteCheck->isEnabled());
    EXPECT_TRUE(ui().muteCheck->isChecked());
    EXPECT_EQ(frameRateCode, 7);
    EXPECT_TRUE(ui().showMouse->isChecked());
    EXPECT_TRUE(ui().prescaleCheck->isChecked());
    EXPECT_FALSE(ui().cropWindowCheck->isChecked());
    EXPECT_EQ(ui().theScalingMode->currentIndex(), 1);
    EXPECT_EQ(ui().theBitRateMode->currentIndex(), 5);
    EXPECT_EQ(ui().theBackgroundStyle->currentIndex(), 1);
    EXPECT_TRUE(ui().showApplication->isChecked());
    EXPECT_FALSE(ui().showScreen->isChecked());
    EXPECT_EQ(ui().theScreenChoice->currentIndex(), 1);
    ASSERT_EQ(ui().theApplicationChoice->count(), 2);
    EXPECT_EQ(ui().theApplicationChoice->currentIndex(), 1);
    EXPECT_EQ(thePrefs.whichApp, 1);
    EXPECT_FALSE(theCropWindow->window()->isVisible());
}

TEST_F(StartUp, ASavedApplicationThatIsNotRunningIsNotShownAsChosen) {
    setPrefsText(thePrefs.appName, "Gone");
    thePrefs.theFrameRateMode = 0;
    saveAndForget();
    InputDeviceTable devices({});
    startUp();
    EXPECT_EQ(ui().theApplicationChoice->currentIndex(), -1);
    EXPECT_EQ(ui().theApplicationChoice->placeholderText(), "Gone (not running)");
    EXPECT_LT(thePrefs.whichApp, 0);
    EXPECT_EQ(frameRateCode, 2);
}

TEST_F(StartUp, CropSavedOnShowsTheCropWindowAndPlacesItTwice) {
    thePrefs.cropWindow = 1;
    thePrefs.cropBoxLeft = 40;
    thePrefs.cropBoxTop = 500;
    saveAndForget();
    InputDeviceTable devices({});
    testing::internal::CaptureStdout();
    vc.viewDidLoad();
    EXPECT_TRUE(theCropWindow->window()->isVisible());
    EXPECT_FALSE(ui().showMouse->isEnabled());
    EXPECT_FALSE(ui().bigMouse->isEnabled());
    // The frame clock's next tick takes the request and places it again.
    const bool taken = processEventsUntil([] { return cropInitPending == 0; });
    processEventsUntil([] { return false; }, 300);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(taken);
    EXPECT_EQ(occurrences(out, "Starting Crop : existing Crop is 1280x720 @ 500,40\n"), 2) << out;
    EXPECT_EQ(theCropWindow->frame().x, 40.0);
}

TEST_F(StartUp, AudioSavedOnStartsOnceAndLocksTheDeviceChoices) {
    thePrefs.audioInput = 1;
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "USB-MIC-2");
    saveAndForget();
    InputDeviceTable devices(
        {{"Built-in", "builtin"}, {"USB mic", "usb-mic-2"}, {"Other", "other"}});
    startUp();
    EXPECT_EQ(vc.starts(), 1);
    EXPECT_EQ(vc.audioEvents.size(), 1u);
    EXPECT_EQ(audioStarted, 1);
    EXPECT_FALSE(ui().mInputDevices->isEnabled());
    EXPECT_FALSE(ui().mOutputDevices->isEnabled());
    EXPECT_FALSE(ui().allChannelsCheck->isEnabled());
    EXPECT_EQ(ui().mInputDevices->count(), 3);
    EXPECT_EQ(ui().mInputDevices->currentIndex(), 1);
    // The run matches ids exactly: it gets the shown device's own spelling.
    EXPECT_EQ(vc.audioEvents[0].device, "usb-mic-2");
    EXPECT_FALSE(ui().getAudioOutButton->isHidden());
}

TEST_F(StartUp, AudioSavedOffStartsNothingAndAMissingDeviceKeepsItsIdAndIsNamed) {
    setPrefsText(thePrefs.audioInputDeviceSIOUID, "unplugged");
    saveAndForget();
    InputDeviceTable devices({{"Built-in", "builtin"}, {"Line in", "line-in"}});
    startUp();
    EXPECT_TRUE(vc.audioEvents.empty());
    EXPECT_TRUE(ui().mInputDevices->isEnabled());
    EXPECT_EQ(ui().mInputDevices->currentIndex(), -1);
    EXPECT_EQ(ui().mInputDevices->placeholderText(), "unplugged (missing)");
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "unplugged");
}

TEST_F(StartUp, WithNoDeviceEverChosenTheFirstCapturableOneIsShownStoredAndStarted) {
    thePrefs.audioInput = 1;
    saveAndForget();
    InputDeviceTable devices({{"Raw card", "hw:0"}, {"Built-in", "builtin"}, {"Line", "line"}});
    devices.records[0].isRaw = 1;
    startUp();
    EXPECT_EQ(ui().mInputDevices->currentIndex(), 1);
    ASSERT_EQ(vc.audioEvents.size(), 1u);
    EXPECT_EQ(vc.audioEvents[0].device, "builtin");
    EXPECT_STREQ(thePrefs.audioInputDeviceSIOUID, "builtin");
}

TEST_F(StartUp, ABlackHoleDeviceInAnyCaseHidesTheAudioOutButton) {
    saveAndForget();
    InputDeviceTable devices({{"Built-in", "builtin"}, {"my BLACKhole 16ch", "bh"}});
    startUp();
    EXPECT_EQ(blackHolePresent, 1);
    EXPECT_TRUE(ui().getAudioOutButton->isHidden());
}

TEST_F(StartUp, NoInputDevicesLeavesTheMenuEmpty) {
    saveAndForget();
    InputDeviceTable devices({});
    startUp();
    EXPECT_EQ(ui().mInputDevices->count(), 0);
    EXPECT_EQ(ui().mInputDevices->currentIndex(), -1);
    EXPECT_FALSE(ui().getAudioOutButton->isHidden());
}

TEST_F(StartUp, TheDevicesAreListedOnlyOnceAProcess) {
    audioDevicesListed = 0;
    vc.awakeFromNib();
    EXPECT_EQ(audioDevicesListed, 1);
    ASSERT_GE(theInputDeviceCount, 1);  // the Dummy back end's input device
    theInputDeviceCount = 0;
    vc.awakeFromNib();
    EXPECT_EQ(theInputDeviceCount, 0);
}

TEST_F(StartUp, ANameThatIsNotUtf8StillGetsItsOwnItem) {
    server.fake.windowList = {appWindow(101, "Alpha", 11), appWindow(102, "Bad\xff\xfe", 12),
                              appWindow(103, "Gamma", 13)};
    setPrefsText(thePrefs.appName, "gamma");
    saveAndForget();
    InputDeviceTable devices({});
    const std::string out = startUp();
    EXPECT_NE(out.find("Failed to convert appname to NSString\n"), std::string::npos);
    ASSERT_EQ(ui().theApplicationChoice->count(), 3);
    EXPECT_EQ(ui().theApplicationChoice->currentIndex(), 2);
    EXPECT_EQ(ui().theApplicationChoice->currentText(), "Gamma");
    EXPECT_EQ(thePrefs.whichApp, 2);
}

}  // namespace
