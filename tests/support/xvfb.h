// A private X server for tests, and X windows of a solid colour to put on it.
//
//   XvfbServer x(1920, 1200);          // Xvfb on a free display number
//   ASSERT_TRUE(x.ok());
//   x.makeDefault();                    // DISPLAY=:N for code under test
//   TestWindows w(x.display());
//   uint32_t id = w.create({.x = 10, .y = 20, .width = 300, .height = 200,
//                           .rgb = 0xff0000, .title = "Red", .wmClass = "RedApp"});
//   w.sync();
//
// Xvfb has no window manager: windows stay where they are created, are not
// reparented, and the last one mapped or raised is in front. A window manager
// started beside (openbox) frames them, but keeps them where they were asked
// for: they say the user placed them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class XvfbServer {
  public:
    // Starts Xvfb with one screen of width x height x depth, with MIT-SHM
    // or without it; waits until it accepts connections. The server keeps
    // its state when the last client leaves (-noreset). It ends when the
    // thread that made it ends (or the process dies), so make it on a
    // thread that outlives it.
    explicit XvfbServer(int width = 1920, int height = 1200, int depth = 24,
                        bool sharedMemory = true);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool ok() const { return !display_.empty(); }
    // ":N", or empty when the server did not start.
    const std::string& display() const { return display_; }
    // Sets DISPLAY for this process to the private server.
    void makeDefault() const;
    // Runs command (a shell command line) with DISPLAY set to this server;
    // true when it exits with 0.
    bool run(const std::string& command) const;

  private:
    pid_t pid_ = -1;
    std::string display_;
};

// A program run in the background with DISPLAY set to a test server, such
// as a compositing manager; ended (SIGTERM) and reaped with the object.
class BackgroundProgram {
  public:
    BackgroundProgram(const std::string& display, const std::vector<std::string>& argv);
    ~BackgroundProgram() { stop(); }
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // False once it has exited (or never started).
    bool running();
    // Ends it and waits until it has.
    void stop();

  private:
    pid_t pid_ = -1;
};

struct TestWindowSpec {
    int x = 0;
    int y = 0;
    int width = 100;
    int height = 100;
    uint32_t rgb = 0x000000;      // 0xRRGGBB
    std::string title = {};       // none when empty
    std::string wmClass = {};     // WM_CLASS class; none when empty
    int32_t pid = -1;             // _NET_WM_PID; the test's own pid when -1, none when 0
    bool above = false;           // _NET_WM_STATE_ABOVE
    std::string windowType = {};  // e.g. "_NET_WM_WINDOW_TYPE_DOCK"; none when empty
};

// A connection of its own to an X server that makes, stacks and removes
// plain windows. Windows are destroyed with the object.
class TestWindows {
  public:
    explicit TestWindows(const std::string& display);
    ~TestWindows();
    TestWindows(const TestWindows&) = delete;
    TestWindows& operator=(const TestWindows&) = delete;

    bool ok() const;
    // Creates and maps a window filled with spec.rgb; returns its id (0 on
    // failure). Each new window goes on top.
    uint32_t create(const TestWindowSpec& spec);
    void raise(uint32_t window);
    void lower(uint32_t window);
    void move(uint32_t window, int x, int y);
    void resize(uint32_t window, int width, int height);
    // Repaints window in one colour, as a client drawing new content would.
    void paint(uint32_t window, uint32_t rgb);
    void unmap(uint32_t window);
    // Asks window to close as a window manager's close button does: a
    // WM_DELETE_WINDOW message, checked by the server. False when it failed.
    bool askToClose(uint32_t window);
    void map(uint32_t window);
    uint32_t root() const;
    // Whether a window manager has put window into a frame of its own.
    bool framed(uint32_t window);
    // Asks again to show every window until the window manager has framed
    // them all (one that starts may miss requests made meanwhile); false
    // after timeoutMs.
    bool frameAll(const std::vector<uint32_t>& windows, int timeoutMs);
    // Sets a 32-bit property of window: value of type (an atom name such as
    // "CARDINAL" or "WINDOW").
    void setCardinal(uint32_t window, const char* property, const char* type, uint32_t value);
    // Sets an ATOM property of window to the atom named value.
    void setAtom(uint32_t window, const char* property, const char* value);
    // Paints the root with one colour, as xsetroot -solid does.
    void setRootBackground(uint32_t rgb);
    // Puts a wallpaper of one colour on the root, as wallpaper setters do:
    // the root's background pixmap, published in _XROOTPMAP_ID.
    void setWallpaper(uint32_t rgb);
    // Sets _NET_CLIENT_LIST_STACKING on the root (bottom to top) as a window
    // manager would.
    void setStackingList(const uint32_t* windows, int count);
    // The window owning the selection named name (0: none), e.g.
    // "_NET_WM_CM_S0", held by the compositing manager of screen 0.
    uint32_t selectionOwner(const char* name);
    // Waits until the server has handled every request made so far.
    void sync();
    // The pointer position in root coordinates.
    bool pointer(int& x, int& y);

  private:
    struct Impl;
    Impl* impl_;
};

}  // namespace testsupport
