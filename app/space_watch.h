// Tells the main window controller when the desktop in front changes: another
// virtual desktop becomes current, or a full-screen window of another program
// takes or leaves the front. The window server announces both; this watch
// turns its notices into calls on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

class SpaceWatch {
  public:
    // onChange runs on the main thread for every change of the desktop in
    // front, and once more whenever a full-screen window starts or stops
    // being the active one.
    explicit SpaceWatch(std::function<void()> onChange);
    ~SpaceWatch();

    // Starts watching on behalf of ownWindow (a window number of ours, whose
    // own full-screen state does not count); false (and nothing watched)
    // when the window server announces no such changes.
    bool start(uint32_t ownWindow);

    // Whether window (a window number of ours) is on the desktop in front
    // and no other program's full-screen window is the active one. True when
    // the window server cannot tell.
    static bool isOnActiveSpace(uint32_t window);

  private:
    void noticesArrived();

    std::function<void()> onChange;
    std::unique_ptr<QSocketNotifier> notifier;
    uint32_t ownWindow = 0;
    bool fullScreenInFront = false;
};
