#include "app/view_controller.h"

#include <syslog.h>

#include <QStringDecoder>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <thread>

#include "app/persistence.h"
#include "app/space_watch.h"
#include "app/update_check.h"
#include "audio/audio.h"
#include "capture/capture.h"
#include "common/diagnostics.h"
#include "common/globals.h"
#include "engine/engine.h"
#include "platform/desktop/main_thread.h"
#include "platform/desktop/screens.h"
#include "platform/displaylink/displaylink.h"
#include "platform/windowserver/window_server.h"
#include "settings/prefs.h"
#include "ui_MainWindow.h"

ViewController* theViewController = nullptr;
int32_t audioStarted = 0;
int32_t audioDevicesListed = 0;
int32_t blackHolePresent = 0;

namespace {

// The frame clock's requests reach the main window controller when they run,
// not when they are made: the window may be gone by then.
FrameClockHooks mainWindowFrameClockHooks() {
    FrameClockHooks hooks = baseFrameClockHooks();
    hooks.capture = [](uint8_t* buffer) {
        return theViewController != nullptr && getTheBitmap(buffer, *theViewController);
    };
    hooks.loadApplicationMenu = [] {
        if (theViewController != nullptr) theViewController->loadApplicationMenu();
    };
    hooks.updateMetering = [] {
        if (theViewController != nullptr) theViewController->updateMetering();
    };
    hooks.updateChannelCount = [] {
        if (theViewController != nullptr) theViewController->updateChannelCount();
    };
    return hooks;
}

void handScreenScaleFactorsToEngine() {
    platform::cacheScreenScaleFactors();
    float factors[platform::kMaxCachedScreens];
    setScreenScaleFactors(factors,
                          platform::copyScreenScaleFactors(factors, platform::kMaxCachedScreens));
}

// The text of a name from the window server or the audio library; invalid
// UTF-8 is shown with replacement characters and reported through ok.
QString textOfName(const char* name, bool& ok) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(QByteArrayView(name, static_cast<qsizetype>(strlen(name))));
    ok = !decoder.hasError();
    return text;
}

bool sameTextIgnoringCase(const char* a, const char* b) {
    return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
}

// What a menu shows while the saved choice is not among its items: the saved
// name and why, or nothing when there is no saved choice.
QString missingText(const char* saved, const char* why) {
    if (saved[0] == '\0') return QString();
    return QStringLiteral("%1 (%2)").arg(QString::fromUtf8(saved), QString::fromLatin1(why));
}

}  // namespace

int32_t frameRateCodeForMode(uint32_t mode) { return mode > 3 ? 7 : frameRateCodes[mode]; }

ViewController::ViewController(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    ui->setupUi(this);
    connectActions();
}

ViewController::~ViewController() {
    if (theViewController == this) theViewController = nullptr;
    delete ui;
}

void ViewController::awakeFromNib() {
    if (audioDevicesListed != 0) return;
    audioDevicesListed = 1;
    listAudioInputDevices();
}

void ViewController::viewDidLoad() {
    theViewController = this;
    loadCursorPicture();
    printNDIVersion();
    listScreens();
    ui->theScreenChoice->setCurrentIndex(thePrefs.whichScreen);
    loadPrefs(ui->theScreenChoice->count());
    setControlsFromPrefs();
    loadApplicationMenu();
    theCropWindow = new cropWindow("cropWindow");
    theCropWindow->setBringMainWindowToFront([] {
        if (theViewController != nullptr) theViewController->bringMainWindowToFront();
    });
    theCropWindow->setWhenClosedByUser([] {
        if (theViewController != nullptr) theViewController->cropWindowClosed();
    });
    theCropWindow->showWindow();
    theCropWindow->setIsVisible(thePrefs.cropWindow != 0);
    watchSpaceChanges();
    bringMainWindowToFront();
    installFrameClockHooks(mainWindowFrameClockHooks());
    platform::startDisplayLink(displayLinkCallback, nullptr);
    versionControl();
    fillInputDeviceMenu();
    if (thePrefs.audioInput != 0) {
        ui->mInputDevices->setEnabled(false);
        ui->mOutputDevices->setEnabled(false);
        ui->allChannelsCheck->setEnabled(false);
    }
    if (blackHolePresent == 1) ui->getAudioOutButton->setHidden(true);
    if (thePrefs.audioInput != 0 && audioStarted == 0) {
        audioStarted = 1;
        startWithListedDevices();
    }
    if (thePrefs.cropWindow != 0) {
        setCursorBoxesEnabled(false);
        theCropWindow->pleaseInitCropWindow();
        cropInitPending = 1;
    }
}

void ViewController::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    viewDidAppear();
}

void ViewController::viewDidAppear() { setWindowTitle(QStringLiteral("NDI Wendlor HX")); }

// One menu item per display, and the displays' lines. The scale factors are
// handed to the engine here too, before the frame clock can start a sender.
void ViewController::listScreens() {
    ui->theScreenChoice->clear();
    mainScreenHeight = static_cast<float>(windowServer().mainScreenHeight());
    handScreenScaleFactorsToEngine();
    float top = 0.0f;
    float bottom = 0.0f;
    const std::vector<ScreenInfo> screens = windowServer().screens();
    for (size_t k = 0; k < screens.size(); ++k) {
        ui->theScreenChoice->addItem(QStringLiteral("Screen %1").arg(k + 1));
        const float y = static_cast<float>(screens[k].frame.y);
        const float height = static_cast<float>(screens[k].frame.height);
        if (y < top) top = y;
        if (y + height > bottom) bottom = y + height;
        printf("Screen %d height=%d Origin = %d\n", static_cast<int>(k), static_cast<int>(height),
               static_cast<int>(y));
    }
    printf("Screen Array : Top=%d TotalHeight = %d\n", static_cast<int>(top),
           static_cast<int>(bottom - top));
    fflush(stdout);
}

void ViewController::setControlsFromPrefs() {
    ui->muteCheck->setChecked(thePrefs.muteSound != 0);
    ui->showMouse->setChecked(thePrefs.showMouse != 0);
    ui->bigMouse->setChecked(thePrefs.bigMouse != 0);
    ui->cropWindowCheck->setChecked(thePrefs.cropWindow != 0);
    ui->prescaleCheck->setChecked(thePrefs.prescaleIt != 0);
    ui->autoRefreshCheck->setChecked(thePrefs.autoRefresh != 0);
    ui->audioInputCheck->setChecked(thePrefs.audioInput != 0);
    ui->allChannelsCheck->setChecked(thePrefs.allChannels != 0);
    ui->showScreen->setChecked(thePrefs.screenOrAppMode == 0);
    ui->showApplication->setChecked(thePrefs.screenOrAppMode != 0);
    ui->theScreenChoice->setCurrentIndex(thePrefs.whichScreen);
    ui->theBackgroundStyle->setCurrentIndex(thePrefs.backgroundMode);
    ui->theScalingMode->setCurrentIndex(thePrefs.scalingMode);
    ui->theFrameRateMode->setCurrentIndex(thePrefs.theFrameRateMode);
    ui->theBitRateMode->setCurrentIndex(thePrefs.theBitRateMode);
    frameRateCode = frameRateCodeForMode(static_cast<uint32_t>(thePrefs.theFrameRateMode.load()));
    const int32_t output = thePrefs.outputMode;
    ui->outputMode->setCurrentIndex(output);
    if (static_cast<uint32_t>(output) <= 2) liveOutputMode = output;
    ui->muteCheck->setEnabled(output != 2);
}

void ViewController::loadApplicationMenu() {
    if (theAppList != nullptr) {
        free(theAppList);
        theAppList = nullptr;
        theAppCount = 0;
    }
    // Only the saved application is ever the chosen one: while it is not
    // listed nothing is captured and no other item shows as chosen.
    thePrefs.whichApp = -1;
    theAppList = getApplicationWindowList(&theAppCount);
    ui->theApplicationChoice->clear();
    ui->theApplicationChoice->setPlaceholderText(missingText(thePrefs.appName, "not running"));
    if (theAppList == nullptr) return;
    for (int32_t i = 0; i < theAppCount; ++i) {
        const char* ownerName = theAppList[i].ownerName;
        bool ok = true;
        const QString title = textOfName(ownerName, ok);
        if (!ok) printf("Failed to convert appname to NSString\n");
        // Every record keeps an item, so that an item's index stays its
        // record's index for the application action.
        ui->theApplicationChoice->addItem(title);
        if (thePrefs.appName[0] != '\0' && sameTextIgnoringCase(ownerName, thePrefs.appName))
            thePrefs.whichApp = i;
    }
    ui->theApplicationChoice->setCurrentIndex(thePrefs.whichApp);
}

void ViewController::activeSpaceDidChange() {
    const bool onActiveSpace = SpaceWatch::isOnActiveSpace(mainWindowNumber());
    syslog(LOG_NOTICE, "%s", onActiveSpace ? "REGULAR" : "FULL SCREEN");
    fullScreenSpaceActive = onActiveSpace ? 0 : 1;
    QTimer::singleShot(1000, this, [] {
        if (theViewController != nullptr) theViewController->loadApplicationMenu();
    });
}

void ViewController::watchSpaceChanges() {
    spaceWatch = std::make_unique<SpaceWatch>([] {
        if (theViewController != nullptr) theViewController->activeSpaceDidChange();
    });
    spaceWatch->start(mainWindowNumber());
}

// One item per input device, in table order, so that an item's index is its
// record's index for the device action; the saved device is found again by
// its id, since names can repeat and device numbers change between runs. The
// menu always shows the device a start would use: with no device ever
// chosen, the first one that can be captured from is chosen as the user
// would; a saved device that is not listed keeps its id, so that it is used
// again once it is back, and the menu names it as missing.
void ViewController::fillInputDeviceMenu() {
    ui->mInputDevices->clear();
    int shown = -1;
    int firstCapturable = -1;
    for (int32_t i = 0; theInputDevices != nullptr && i < theInputDeviceCount; ++i) {
        const InputDeviceRecord& device = theInputDevices[i];
        bool ok = true;
        const QString name = textOfName(device.name, ok);
        ui->mInputDevices->addItem(name);
        if (name.contains(QStringLiteral("BlackHole"), Qt::CaseInsensitive)) blackHolePresent = 1;
        if (sameTextIgnoringCase(device.id, thePrefs.audioInputDeviceSIOUID)) shown = i;
        if (firstCapturable < 0 && device.isRaw == 0) firstCapturable = i;
    }
    if (shown < 0 && thePrefs.audioInputDeviceSIOUID[0] == '\0' && theInputDeviceCount > 0)
        shown = firstCapturable >= 0 ? firstCapturable : 0;
    // The capture run matches the id exactly, so the shown device's own
    // spelling is the one kept.
    if (shown >= 0) setPrefsText(thePrefs.audioInputDeviceSIOUID, theInputDevices[shown].id);
    ui->mInputDevices->setPlaceholderText(missingText(thePrefs.audioInputDeviceSIOUID, "missing"));
    ui->mInputDevices->setCurrentIndex(shown);
}

void ViewController::start() { startAudioThread(thePrefs.audioInputDeviceSIOUID); }

// When the sound server was down at the last listing, its devices are listed
// again on a thread of their own (the listing waits for the back end for
// more than a second) and the new table reaches the main thread by a queued
// perform; the start follows it, with the device the refilled menu shows.
void ViewController::startWithListedDevices() {
    if (!audioInputDevicesUnreached()) {
        start();
        return;
    }
    if (relistingDevices) return;
    relistingDevices = true;
    try {
        std::thread([] {
            try {
                auto listing = std::make_shared<InputDeviceListing>();
                listAudioInputDevicesInto(*listing);
                platform::performOnMainThread([listing] {
                    installAudioInputDevices(*listing);
                    if (theViewController != nullptr) theViewController->devicesRelisted();
                });
            } catch (const std::exception& error) {
                diagnosticLine("unable to list the audio devices again: %s", error.what());
            }
        }).detach();
    } catch (const std::exception& error) {
        fprintf(stderr, "unable to list the audio devices again: %s\n", error.what());
        relistingDevices = false;
        start();
    }
}

void ViewController::devicesRelisted() {
    relistingDevices = false;
    fillInputDeviceMenu();
    // Audio may have been turned off again meanwhile.
    if (audioStarted != 0) start();
}

void ViewController::stop() { stopAudioCapture(); }

void ViewController::bringMainWindowToFront() {
    show();
    raise();
    activateWindow();
}

// Asking makes the native window when there is none yet, so that the number
// is the one the window keeps once shown.
uint32_t ViewController::mainWindowNumber() { return static_cast<uint32_t>(window()->winId()); }

FrameRect ViewController::cropWindowFrame() {
    return theCropWindow ? theCropWindow->frame() : FrameRect{};
}

uint32_t ViewController::cropWindowNumber() {
    return theCropWindow ? theCropWindow->windowNumber() : 0;
}

bool ViewController::cropWindowMoving() { return ::cropWindowMoving.load() != 0; }

FrameRect ViewController::getCurrentFrameDuringMove() {
    return theCropWindow ? theCropWindow->getCurrentFrameDuringMove() : FrameRect{};
}
