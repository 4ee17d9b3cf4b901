// Application-level events: launch finished, the application became active,
// it is about to quit, and its last window closed.
#pragma once

#include <QObject>
#include <cstdint>

class QApplication;

// Keeps the display from sleeping for idleness for the life of the process;
// 0 when the desktop took the request. A refusal changes nothing else.
int32_t preventDisplaySleep();

class AppDelegate : public QObject {
    Q_OBJECT

  public:
    // Follows app's activation and quit notices; closing the last window
    // quits (applicationShouldTerminateAfterLastWindowClosed).
    explicit AppDelegate(QApplication& app);

    // Logs the process name to the system log.
    void applicationDidFinishLaunching();
    // Saves the settings and loads them back.
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // Rebuilds the application menu; nothing before the main window exists.
    void applicationDidBecomeActive();
};
