// Tells the main window controller when the desktop in front changes: another
// virtual desktop becomes current, or a full-screen window of another program
// takes or leaves the front. X11 announces both as property changes on the
// root window (_NET_CURRENT_DESKTOP, _NET_ACTIVE_WINDOW), which arrive through
// Qt's native event filter.
#pragma once

#include <QAbstractNativeEventFilter>
#include <cstdint>
#include <functional>

class SpaceWatch : public QAbstractNativeEventFilter {
  public:
    // onChange runs on the main thread for every change of the desktop in
    // front, and once more whenever a full-screen window starts or stops
    // being the active one.
    explicit SpaceWatch(std::function<void()> onChange);
    ~SpaceWatch() override;

    // Starts watching on behalf of ownWindow (an X window id of ours, whose
    // own full-screen state does not count); false (and nothing watched) when
    // the program does not run on an X server.
    bool start(uint32_t ownWindow);

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    // Whether window (an X window id of ours) is on the desktop in front and
    // no other program's full-screen window is the active one. True when the
    // X server or the window manager cannot tell.
    static bool isOnActiveSpace(uint32_t window);

  private:
    std::function<void()> onChange;
    uint32_t currentDesktopAtom = 0;
    uint32_t activeWindowAtom = 0;
    uint32_t rootWindow = 0;
    uint32_t ownWindow = 0;
    bool fullScreenInFront = false;
    bool started = false;
};
