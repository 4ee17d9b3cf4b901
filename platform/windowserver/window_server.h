// The window server as the capture code sees it: screens, the on-screen
// window list, images of a rectangle, the mouse and synthetic pointer input.
//
// Coordinates: a point is one pixel here. Screen frames and the mouse
// position are global bottom-left coordinates (origin at the lower-left
// corner of the first screen, y upwards); window bounds and capture
// rectangles are global top-left coordinates (origin at the top-left corner
// of the first screen, y downwards).
//
// Two back ends: X11 through XCB (the program) and an in-memory fake that
// lives with the tests. windowServer() reaches the active one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct FrameRect {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
};

struct FramePoint {
    double x = 0.0;
    double y = 0.0;
};

struct ScreenInfo {
    FrameRect frame;  // bottom-left coordinates
};

// One on-screen window, as the list reports it; an absent optional is a
// property the window server could not give for that window.
struct WindowInfo {
    bool onScreen = false;
    std::optional<int32_t> ownerPid;
    bool ownerIsRunningApplication = false;
    std::optional<std::string> ownerName;
    std::optional<std::string> title;
    std::optional<FrameRect> bounds;  // top-left coordinates
    std::optional<int32_t> layer;     // 0 normal, higher above; negative below
    std::optional<uint32_t> windowNumber;
};

// Which windows an image shows.
enum class CaptureFilter {
    includingWindow,      // the given window alone, even where it is covered
    allWindows,           // everything on screen
    onScreenBelowWindow,  // what lies below the given window: it and those above left out
    // The screen as the user sees it without the given windows (the
    // program's own), wherever they stand: what lies below them shows in
    // their place. captureImageWithout names several.
    withoutWindows
};

// 32-bit pixels, bytes B, G, R, A in memory, rows bytesPerRow apart. Screen
// pictures carry no alpha: the fourth byte is whatever the window server
// keeps there (0 on X11), and nothing downstream reads it. The
// bytes stay valid while the image (or a copy of it) lives, or until the
// next capture of the same back end when the image borrows its grabber's
// memory.
struct CapturedImage {
    std::shared_ptr<const uint8_t> pixels;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerRow = 0;
    size_t byteLength = 0;
};

// A display mode's timings as the screen's controller runs it.
struct ModeTimings {
    uint32_t dotClock = 0;  // pixels per second
    uint16_t htotal = 0;    // pixels per line, blanking included
    uint16_t vtotal = 0;    // lines per frame, blanking included
    bool doubleScan = false;
    bool interlace = false;
};
// Refreshes per second of a mode: the pixel clock over the pixels of one
// refresh (a double-scanned line is sent twice, an interlaced refresh
// carries half the lines); 0 when the timings give none.
double refreshRateOfMode(const ModeTimings& mode);

// What the space watch hears: the desktop in front or the active window
// changed (a bit each).
inline constexpr uint32_t kDesktopChanged = 1;
inline constexpr uint32_t kActiveWindowChanged = 2;

// A cursor picture: premultiplied B, G, R, A pixels, rows packed.
struct CursorImage {
    std::vector<uint8_t> pixels;
    int32_t width = 0;
    int32_t height = 0;
};

class WindowServer {
  public:
    virtual ~WindowServer() = default;

    // Screens in the platform's order, the first one holding the origin.
    virtual std::vector<ScreenInfo> screens() = 0;
    // Height of the first screen's frame, 0 when there is none.
    virtual double mainScreenHeight() = 0;
    // On-screen windows front to back, without docks and desktop elements.
    // False when the window server gave no list.
    virtual bool listWindows(std::vector<WindowInfo>& windows) = 0;
    // An image of rect (top-left coordinates) showing the windows that the
    // filter selects relative to windowNumber. False when there is none.
    virtual bool captureImage(const FrameRect& rect, CaptureFilter filter, uint32_t windowNumber,
                              CapturedImage& image) = 0;
    // The same, but the picture may be written straight into buffer
    // (capacity bytes, rows packed), when buffer came from
    // allocateSharedPixels: image.pixels is then buffer. Otherwise image
    // holds the back end's own pixels, as from captureImage, and buffer is
    // not touched. A capture into buffer that fails may have written part
    // of a picture there.
    virtual bool captureImageInto(const FrameRect& rect, CaptureFilter filter,
                                  uint32_t windowNumber, uint8_t* buffer, size_t capacity,
                                  CapturedImage& image) {
        (void)buffer;
        (void)capacity;
        return captureImage(rect, filter, windowNumber, image);
    }
    // A picture with the filter withoutWindows that leaves out every window
    // in leftOut (0 entries name none), written as by captureImageInto.
    virtual bool captureImageWithout(const FrameRect& rect, std::span<const uint32_t> leftOut,
                                     uint8_t* buffer, size_t capacity, CapturedImage& image) = 0;
    // A block of bytes for pictures, kept for the life of the process, that
    // the window server can write into without a copy where it is able to;
    // ordinary memory otherwise. Null when there is no memory.
    virtual uint8_t* allocateSharedPixels(size_t bytes);
    // Says that a block of allocateSharedPixels was written by someone else
    // (a cursor drawn in, a black fill) since its last picture: the next
    // picture there is then written whole, not only where the screen changed.
    virtual void sharedPixelsChanged(const uint8_t* block) { (void)block; }
    // The first screen's refresh rate in Hz, 0 when the window server gives
    // none.
    virtual double refreshRate() { return 0.0; }
    // The mouse position, bottom-left coordinates; (0, 0) when unknown.
    virtual FramePoint mouseLocation() = 0;
    // The cursor the system shows now and its hot spot from the picture's
    // top-left corner. False when there is none.
    virtual bool currentCursor(CursorImage& picture, FramePoint& hotSpot) = 0;
    // Synthetic pointer input: a move to a top-left global position, and a
    // press or release of button 1 (left), 2 (middle) or 3 (right) where the
    // pointer is.
    virtual void postPointerMove(double x, double y) = 0;
    virtual void postPointerButton(int xButton, bool down) = 0;

    // Whether window (one of ours) is on the desktop in front and no other
    // program's full-screen window is the active one. True when the window
    // server cannot tell.
    virtual bool isOnActiveSpace(uint32_t window) {
        (void)window;
        return true;
    }
    // Whether the active window is another program's full-screen window.
    virtual bool otherFullScreenActive(uint32_t ownWindow) {
        (void)ownWindow;
        return false;
    }
    // Starts listening for changes of the desktop in front and of the
    // active window; returns a descriptor that becomes readable when some
    // may have come, -1 when there is nothing to listen to.
    virtual int watchSpaces() { return -1; }
    // The changes heard since the last call (kDesktopChanged,
    // kActiveWindowChanged bits); 0 when none.
    virtual uint32_t takeSpaceNotices() { return 0; }
};

// The process's window server: the one installed by setWindowServer, else
// the X11 one, connected on first use.
WindowServer& windowServer();
// Installs a window server (tests install the fake); nullptr goes back to
// the X11 one. The caller keeps ownership.
void setWindowServer(WindowServer* server);
