#include "app/app_delegate.h"

#include <syslog.h>

#include <QApplication>
#include <QTimer>
#include <exception>

#include "app/persistence.h"
#include "app/view_controller.h"
#include "common/diagnostics.h"
#include "platform/desktop/sleep_inhibit.h"

int32_t preventDisplaySleep() {
    return platform::inhibitDisplaySleep("NDITabrivo", "NDI Stream Processing Active");
}

AppDelegate::AppDelegate(QApplication& app) : QObject(&app) {
    app.setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    connect(&app, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive) applicationDidBecomeActive();
            });
    connect(&app, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
    // Launching is complete once the event loop runs.
    QTimer::singleShot(0, this, &AppDelegate::applicationDidFinishLaunching);
}

void AppDelegate::applicationDidFinishLaunching() {
    syslog(LOG_NOTICE, "Current process name: %s", qPrintable(QCoreApplication::applicationName()));
}

// Runs after the event loop has ended, outside any event: what the save
// throws (memory it cannot get) is caught here, and the quit goes on.
void AppDelegate::applicationWillTerminate() {
    try {
        savePrefs();
        loadPrefs();
    } catch (const std::exception& error) {
        diagnosticLine("settings: the save at quit failed: %s", error.what());
    }
}

void AppDelegate::applicationDidBecomeActive() {
    if (theViewController != nullptr) theViewController->loadApplicationMenu();
}
