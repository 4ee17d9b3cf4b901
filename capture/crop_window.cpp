#include "capture/crop_window.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPalette>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ui_cropWindow.h"

cropWindow* theCropWindow = nullptr;
std::atomic<int32_t> cropWindowMoving{0};

namespace {

// Values outside the 32-bit range (a frame far off any screen) are clamped
// rather than left to an undefined conversion.
int32_t truncToInt32(double value) {
    if (!(value == value)) return 0;
    double t = std::trunc(value);
    if (t >= 2147483647.0) return INT32_MAX;
    if (t <= -2147483648.0) return INT32_MIN;
    return int32_t(t);
}

double mainHeight() { return windowServer().mainScreenHeight(); }

FramePoint mouseLocation() { return windowServer().mouseLocation(); }

// The application-wide watch for left mouse-ups: it ends a drag wherever the
// button is released and lets the event go on to its usual target.
class MouseUpMonitor : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            cropWindowMoving.store(0);
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

CropBox cropBoxFromFrame(const FrameRect& frame, double mainHeight) {
    return CropBox{truncToInt32(frame.width), truncToInt32(frame.height),
                   truncToInt32(mainHeight - (frame.y + frame.height)), truncToInt32(frame.x)};
}

FrameRect frameFromCropBox(const CropBox& box, double mainHeight) {
    return FrameRect{double(box.left), mainHeight - double(box.top) - double(box.height),
                     double(box.width), double(box.height)};
}

namespace {

FrameRect boundsOfScreens(const std::vector<ScreenInfo>& screens) {
    double left = screens[0].frame.x, bottom = screens[0].frame.y;
    double right = left + screens[0].frame.width, top = bottom + screens[0].frame.height;
    for (const ScreenInfo& s : screens) {
        left = std::min(left, s.frame.x);
        bottom = std::min(bottom, s.frame.y);
        right = std::max(right, s.frame.x + s.frame.width);
        top = std::max(top, s.frame.y + s.frame.height);
    }
    return {left, bottom, right - left, top - bottom};
}

bool overlaps(const FrameRect& a, const FrameRect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

}  // namespace

bool usableOnScreens(const FrameRect& frame, const std::vector<ScreenInfo>& screens) {
    if (screens.empty()) return true;
    const FrameRect all = boundsOfScreens(screens);
    // Written so that a NaN anywhere makes the frame unusable.
    if (!(frame.width >= 1.0 && frame.height >= 1.0 && frame.width <= all.width &&
          frame.height <= all.height))
        return false;
    return std::any_of(screens.begin(), screens.end(),
                       [&frame](const ScreenInfo& s) { return overlaps(frame, s.frame); });
}

FrameRect placeInsideScreens(FrameRect frame, const std::vector<ScreenInfo>& screens) {
    if (screens.empty()) return frame;
    const FrameRect all = boundsOfScreens(screens);
    auto within = [](double value, double low, double high) {
        return value == value ? std::clamp(value, low, std::max(low, high)) : low;
    };
    frame.width = within(frame.width, 1.0, all.width);
    frame.height = within(frame.height, 1.0, all.height);
    frame.x = within(frame.x, all.x, all.x + all.width - frame.width);
    frame.y = within(frame.y, all.y, all.y + all.height - frame.height);
    return frame;
}

cropWindow::cropWindow(const char* windowNibName) : nibName(windowNibName) {}

cropWindow::~cropWindow() { delete theWindow; }

void cropWindow::setBringMainWindowToFront(std::function<void()> bring) {
    bringMainWindowForward = std::move(bring);
}

void cropWindow::setWhenClosedByUser(std::function<void()> closed) {
    whenClosedByUser = std::move(closed);
}

void cropWindow::windowDidResize(QObject* object) {
    if (bringMainWindowForward) bringMainWindowForward();
    if (thePrefs.cropWindow != 0 && object != nullptr && object == theWindow)
        storeFrameIntoCropBox();
}

void cropWindow::pleaseResetCropBoundaries() {
    printCropBox("Resetting Crop");
    thePrefs.cropBoxWidth = defaultCropBox.width;
    thePrefs.cropBoxHeight = defaultCropBox.height;
    thePrefs.cropBoxTop = defaultCropBox.top;
    thePrefs.cropBoxLeft = defaultCropBox.left;
    placeFromCropBox();
}

void cropWindow::pleaseInitCropWindow() {
    printCropBox("Starting Crop");
    placeFromCropBox();
}

void cropWindow::windowDidMove(QObject* object) {
    if (thePrefs.cropWindow != 0 && object != nullptr && object == theWindow)
        storeFrameIntoCropBox();
}

void cropWindow::windowWillMove() {
    startFrame = frame();
    currentFrame = startFrame;
    eventOri = mouseLocation();
    cropWindowMoving.store(1);
}

// The mouse is asked once per coordinate, as the two may come from
// different moments of a drag.
FrameRect cropWindow::getCurrentFrameDuringMove() {
    currentFrame.x = mouseLocation().x + startFrame.x - eventOri.x;
    currentFrame.y = mouseLocation().y + startFrame.y - eventOri.y;
    return currentFrame;
}

void cropWindow::awakeFromNib() {
    if (monitorInstalled || QCoreApplication::instance() == nullptr) return;
    QCoreApplication::instance()->installEventFilter(new MouseUpMonitor(this));
    monitorInstalled = true;
}

void cropWindow::mouseDown() {
    if (bringMainWindowForward) bringMainWindowForward();
}

// Closing the main window ends the program even while this window shows;
// the crop option shows and hides it.
void cropWindow::windowDidLoad() {
    if (theWindow == nullptr) return;
    QPalette palette = theWindow->palette();
    palette.setColor(QPalette::Window, Qt::red);
    theWindow->setPalette(palette);
    theWindow->setAutoFillBackground(true);
    theWindow->setWindowOpacity(0.2);
    theWindow->setAttribute(Qt::WA_QuitOnClose, false);
    theWindow->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    placeFromCropBox();
}

void cropWindow::showWindow() {
    if (theWindow == nullptr && strcmp(nibName, "cropWindow") != 0) {
        fprintf(stderr, "cropWindow: no window description named \"%s\"\n", nibName);
        return;
    }
    if (theWindow == nullptr) {
        theWindow = new QWidget;
        Ui::cropWindow description;
        description.setupUi(theWindow);
        theWindow->installEventFilter(this);
        awakeFromNib();
        windowDidLoad();
    }
    theWindow->show();
}

QWidget* cropWindow::window() const { return theWindow; }

FrameRect cropWindow::frame() const {
    if (theWindow == nullptr) return FrameRect{};
    QRect g = theWindow->geometry();
    return FrameRect{double(g.x()), mainHeight() - double(g.y() + g.height()), double(g.width()),
                     double(g.height())};
}

uint32_t cropWindow::windowNumber() const {
    return theWindow == nullptr ? 0 : uint32_t(theWindow->winId());
}

void cropWindow::setIsVisible(bool visible) {
    if (theWindow != nullptr) theWindow->setVisible(visible);
}

// A press on the window starts a drag of the whole window, which follows the
// mouse from here on; the release anywhere in the program ends it.
bool cropWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != theWindow) return QObject::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::Move:
            windowDidMove(watched);
            break;
        case QEvent::Resize:
            windowDidResize(watched);
            break;
        // Only a close from outside (the window manager's button) is the
        // user's; the program's own closes at quit are not.
        case QEvent::Close:
            if (event->spontaneous() && whenClosedByUser) whenClosedByUser();
            break;
        case QEvent::MouseButtonPress:
            if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) break;
            mouseDown();
            windowWillMove();
            return true;
        case QEvent::MouseMove:
            if (cropWindowMoving.load() == 0 ||
                !(static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton))
                break;
            setFrame(getCurrentFrameDuringMove());
            return true;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

// A box the user could not see or grab is brought onto the screens, and
// then stored as shown, so that the window and the box stay one rectangle.
void cropWindow::placeFromCropBox() {
    CropBox box{thePrefs.cropBoxWidth, thePrefs.cropBoxHeight, thePrefs.cropBoxTop,
                thePrefs.cropBoxLeft};
    const FrameRect frame = frameFromCropBox(box, mainHeight());
    const std::vector<ScreenInfo> screens = windowServer().screens();
    if (usableOnScreens(frame, screens)) return setFrame(frame);
    setFrame(placeInsideScreens(frame, screens));
    storeFrameIntoCropBox();
}

void cropWindow::storeFrameIntoCropBox() {
    CropBox box = cropBoxFromFrame(frame(), mainHeight());
    thePrefs.cropBoxWidth = box.width;
    thePrefs.cropBoxHeight = box.height;
    thePrefs.cropBoxTop = box.top;
    thePrefs.cropBoxLeft = box.left;
}

// Qt places windows by their top-left corner, y downwards.
void cropWindow::setFrame(const FrameRect& frame) {
    if (theWindow == nullptr) return;
    auto toWindowInt = [](double value) {
        return int(
            std::lround(std::clamp(value, double(-QWIDGETSIZE_MAX), double(QWIDGETSIZE_MAX))));
    };
    double top = mainHeight() - (frame.y + frame.height);
    theWindow->setGeometry(toWindowInt(frame.x), toWindowInt(top), toWindowInt(frame.width),
                           toWindowInt(frame.height));
}

void cropWindow::printCropBox(const char* what) const {
    printf("%s : existing Crop is %dx%d @ %d,%d\n", what, int(thePrefs.cropBoxWidth),
           int(thePrefs.cropBoxHeight), int(thePrefs.cropBoxTop), int(thePrefs.cropBoxLeft));
    fflush(stdout);
}
