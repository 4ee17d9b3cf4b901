#include "app/view_controller.h"

#include "ui_MainWindow.h"

ViewController* theViewController = nullptr;
int32_t audioStarted = 0;
int32_t audioDevicesListed = 0;
int32_t blackHolePresent = 0;

ViewController::ViewController(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    ui->setupUi(this);
}

ViewController::~ViewController() { delete ui; }

void ViewController::awakeFromNib() {}
void ViewController::viewDidLoad() { theViewController = this; }
void ViewController::loadApplicationMenu() {}
void ViewController::activeSpaceDidChange() {}
void ViewController::start() {}
void ViewController::stop() {}
void ViewController::bringMainWindowToFront() {
    show();
    raise();
    activateWindow();
}
uint32_t ViewController::mainWindowNumber() { return 0; }
FrameRect ViewController::cropWindowFrame() { return {}; }
uint32_t ViewController::cropWindowNumber() { return 0; }
bool ViewController::cropWindowMoving() { return false; }
FrameRect ViewController::getCurrentFrameDuringMove() { return {}; }
void ViewController::showEvent(QShowEvent* event) { QMainWindow::showEvent(event); }
void ViewController::connectActions() {}
void ViewController::listScreens() {}
void ViewController::setControlsFromPrefs() {}
void ViewController::watchSpaceChanges() {}
void ViewController::fillInputDeviceMenu() {}

int32_t frameRateCodeForMode(uint32_t mode) { return mode > 3 ? 7 : frameRateCodes[mode]; }
