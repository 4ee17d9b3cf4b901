// Process entry: keeps the display awake for the life of the process, makes
// the main window and runs the event loop. There is no command line.
#include <QApplication>
#include <cstdio>

#include "app/app_delegate.h"
#include "app/view_controller.h"
#include "common/diagnostics.h"
#include "platform/desktop/quit_signals.h"
#include "platform/desktop/session_bus.h"
#include "platform/windowserver/x_display.h"

namespace {

constexpr const char* kProgramName = "NDITabrivo";

// Before any thread exists: these change the process's environment and
// signal dispositions, which later threads inherit.
bool prepareProcess() {
    // A line written is a line kept, also when the output goes to a file and
    // the program is killed, and it stays in order with standard error.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!platform::xDisplayCanBeOpened(kProgramName)) return false;
    platform::neverAutolaunchSessionBus(kProgramName);
    platform::catchQuitSignals();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!prepareProcess()) return 1;
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QApplication app(argc, argv);
    // SIGTERM and SIGHUP quit like closing the window: settings saved.
    platform::quitOnCaughtSignals();
    // Refused or absent, the program runs on without it.
    preventDisplaySleep();
    AppDelegate delegate(app);
    // Kept for the life of the process: the frame clock reaches it to the end.
    auto* controller = new ViewController;
    controller->awakeFromNib();
    controller->viewDidLoad();
    const int status = app.exec();
    // Lines still queued for a slow reader of standard error get a moment,
    // never more: a reader that stopped must not hold up the quit.
    flushDiagnostics(250);
    return status;
}
