// The main window controller: owns every control of the main window, brings
// the system up when the window loads, and keeps the controls and the
// settings record in line with one another.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/capture.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class SpaceWatch;

namespace Ui {
class MainWindow;
}

// It is also what the capture asks about the program's own windows.
class ViewController : public QMainWindow, public CaptureSurroundings {
    Q_OBJECT

  public:
    // Only builds the widgets from the window description, so that tests can
    // make a controller without starting anything.
    explicit ViewController(QWidget* parent = nullptr);
    ~ViewController() override;

    // Start-up, in the order main calls them: awakeFromNib lists the audio
    // input devices once per process, viewDidLoad runs the whole start-up
    // sequence (settings, controls, application list, crop window, frame
    // clock, update check, audio).
    void awakeFromNib();
    void viewDidLoad();

    // Rebuilds theAppList and the application menu and selects the saved
    // application again by name. Main thread only.
    void loadApplicationMenu();
    // The active desktop changed or a full-screen window took the front.
    void activeSpaceDidChange();

    // Level meter and channel indicator, queued by the frame clock.
    void updateMetering();
    void updateChannelCount();
    // A modal warning with one "OK" button; holds the main thread until
    // dismissed.
    void myErrorAlert(const QString& text);

    // Audio capture start and stop (the capture run reads the device id from
    // the settings record when it begins). Virtual so that tests can watch
    // them.
    virtual void start();
    virtual void stop();
    // Audio on: start, after listing the devices again (off the main thread)
    // when the last listing could not reach the sound server.
    void startWithListedDevices();
    // The new device table is in: the menu again, and the start it waited for.
    void devicesRelisted();

    // Every control from thePrefs, and frameRateCode and liveOutputMode from
    // the saved choices, so that the first frame already goes out the way the
    // window shows. Public so that tests can set the controls from settings
    // without the rest of start-up.
    void setControlsFromPrefs();

    // Raises the main window above every other window of the program (the
    // crop window included).
    void bringMainWindowToFront();
    // The user closed the crop window: as unchecking the crop option, so
    // that no cropping is left with no window to see or move.
    void cropWindowClosed();
    // The window server's number of the main window (its X window id).
    uint32_t mainWindowNumber() override;
    // The crop window's frame and number, and its drag, for the capture.
    FrameRect cropWindowFrame() override;
    uint32_t cropWindowNumber() override;
    bool cropWindowMoving() override;
    FrameRect getCurrentFrameDuringMove() override;

    // The widgets, named as the outlets (for the capture and for tests).
    Ui::MainWindow& outlets() { return *ui; }

    // The device ids behind the output-device menu's items, one per item.
    // Nothing builds such a list (the program plays no sound), so the menu
    // stays empty; the caller keeps the list alive while it is set.
    void setOutputDeviceList(const std::vector<uint32_t>* list) { mOutputDeviceList = list; }
    // The device id last chosen in the output-device menu.
    uint32_t outputDevice = 0;

  public slots:
    // Control actions; each control sends exactly one of them.
    void userTunedRadioButtons(QAbstractButton* sender);
    void resetCropBoundaries();
    void userChangedOutputLive(QComboBox* sender);
    void userChangedBigMouse(QCheckBox* sender);
    void userChangedShowMouse(QCheckBox* sender);
    void userChangedAllChannelsOption(QCheckBox* sender);
    void userChangedAudioInputOption(QCheckBox* sender);
    void userChangedMuteOption(QCheckBox* sender);
    void userChangedPreScaleOption(QCheckBox* sender);
    void userChangedCropOption(QCheckBox* sender);
    void userChangedFrameRateMode(QComboBox* sender);
    void userChangedBitRateMode(QComboBox* sender);
    void userChangedScalingMode(QComboBox* sender);
    void userChangedBackgroundMode(QComboBox* sender);
    void userChangedRefreshSelection(QCheckBox* sender);
    void userChangedScreenSelection(QComboBox* sender);
    void userChangedApplicationSelection(QComboBox* sender);
    void inputDeviceSelected();
    void outputDeviceSelected();

    // Link buttons: each opens one web page in the user's browser.
    void userPressedGetAudioOut();
    void userSelectedNewTek();
    void userPressedCloudLogo();
    void userPressedTwitterURL();
    void userPressedYoutubeURL();
    void userPressedCorvelLogo();

    // Sets the window's title; runs every time the window appears.
    void viewDidAppear();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void connectActions();
    void listScreens();
    void watchSpaceChanges();
    void fillInputDeviceMenu();
    // Groups of effects the control rules share.
    void cropOff();
    void cursorOff();
    void setCursorBoxesEnabled(bool enabled);
    void nativeScaling();
    void displaySource();
    void applicationSource();
    void setCropWindowVisible(bool visible);

    Ui::MainWindow* ui;
    std::unique_ptr<SpaceWatch> spaceWatch;
    const std::vector<uint32_t>* mOutputDeviceList = nullptr;
    // Devices are being listed again for a start that waits for them.
    bool relistingDevices = false;
};

// The one main window controller, set first thing in viewDidLoad; reached by
// the frame clock, the crop window and the application delegate.
extern ViewController* theViewController;

// Frame-rate menu index to frame-rate table code: 2, 3, 5, 7 for 25, 29.97,
// 50 and 60 frames per second; any other index gives 7.
inline constexpr int32_t frameRateCodes[4] = {2, 3, 5, 7};
int32_t frameRateCodeForMode(uint32_t mode);

// The controller has sent start and no stop since.
extern int32_t audioStarted;
// The audio input devices have been listed (once per process).
extern int32_t audioDevicesListed;
// An input device's name contains "BlackHole" (any case).
extern int32_t blackHolePresent;
