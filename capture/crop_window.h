// The crop window: a translucent red window that the user drags and sizes
// over the area to publish while the crop option is on. Its controller keeps
// the window's frame and the settings' crop box in step.
//
// Frames and mouse positions are global bottom-left coordinates (origin at
// the lower-left corner of the first screen, y upwards), in points; a frame's
// origin is its lower-left corner. M below is the height of the main screen,
// asked anew at every conversion, 0 when there is none.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/windowserver/window_server.h"
#include "settings/prefs.h"

class QEvent;
class QWidget;

// Frame to box: each value truncated toward zero; top is the distance from
// the top of the main screen down to the frame's upper edge,
// trunc(M - (origin y + height)), so that the default box (1280 x 720, 100
// from the top and left) lies on the screen.
CropBox cropBoxFromFrame(const FrameRect& frame, double mainHeight);
// Box to frame: origin (left, M - top - height), size width x height.
FrameRect frameFromCropBox(const CropBox& box, double mainHeight);

// Whether the user can see and grab a window of this frame (bottom-left
// coordinates): at least 1 x 1, no larger than the screens' bounding box,
// and on some screen, if only in part. True without screens.
bool usableOnScreens(const FrameRect& frame, const std::vector<ScreenInfo>& screens);
// The frame moved and shrunk as little as needed to lie inside the screens'
// bounding box, at least 1 x 1; unchanged without screens. A box from
// damaged settings can hold any 32-bit values.
FrameRect placeInsideScreens(FrameRect frame, const std::vector<ScreenInfo>& screens);

class cropWindow : public QObject {
    Q_OBJECT

  public:
    // Names the window description to load ("cropWindow"); nothing is loaded
    // until showWindow.
    explicit cropWindow(const char* windowNibName);
    ~cropWindow() override;

    // The nine operations of the controller.
    // A size change (object is the window that changed): brings the main
    // window to the front, then stores the frame into the crop box when the
    // crop option is on and object is this controller's window.
    void windowDidResize(QObject* object);
    // Prints the box, resets it to defaultCropBox and places the window.
    void pleaseResetCropBoundaries();
    // Prints the box and places the window from it.
    void pleaseInitCropWindow();
    // A move: stores the frame when the crop option is on and object is this
    // controller's window.
    void windowDidMove(QObject* object);
    // A drag begins: remembers the frame and the mouse, raises
    // cropWindowMoving.
    void windowWillMove();
    // The frame the drag has reached: the start frame shifted by the mouse's
    // travel, with the size the window had when the drag began.
    FrameRect getCurrentFrameDuringMove();
    // Installs the application-wide left mouse-up watch that ends a drag.
    void awakeFromNib();
    // A press in the crop window brings the main window to the front.
    void mouseDown();
    // Gives the loaded window its look and places it from the crop box.
    void windowDidLoad();

    // Loads the window description on first use (running awakeFromNib and
    // windowDidLoad) and shows the window.
    void showWindow();
    // The controller's window, null before showWindow.
    QWidget* window() const;
    // The window's frame, all zero without a window.
    FrameRect frame() const;
    // The window server's number of the window (its X window id), 0 without
    // one.
    uint32_t windowNumber() const;
    // Shows or hides the window (no effect without one).
    void setIsVisible(bool visible);
    // What a press or a resize calls to bring the main window to the front;
    // the application sets it, nothing happens without it.
    void setBringMainWindowToFront(std::function<void()> bring);
    // What closing the window from the window manager's close button calls;
    // the window is hidden either way.
    void setWhenClosedByUser(std::function<void()> closed);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void placeFromCropBox();
    void storeFrameIntoCropBox();
    void setFrame(const FrameRect& frame);
    void printCropBox(const char* what) const;

    const char* nibName;
    QWidget* theWindow = nullptr;
    FrameRect startFrame;
    FrameRect currentFrame;
    FramePoint eventOri;
    bool monitorInstalled = false;
    std::function<void()> bringMainWindowForward;
    std::function<void()> whenClosedByUser;
};

// The one crop window controller, made by the main window's start-up.
extern cropWindow* theCropWindow;
// 1 from the start of a drag of the crop window until the next left mouse-up
// in the application. Main thread only.
extern std::atomic<int32_t> cropWindowMoving;
