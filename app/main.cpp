// Process entry: keeps the display awake for the life of the process, makes
// the main window and runs the event loop. There is no command line.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <exception>

#include "app/app_delegate.h"
#include "app/view_controller.h"
#include "common/diagnostics.h"
#include "platform/desktop/quit_signals.h"
#include "platform/desktop/session_bus.h"
#include "platform/windowserver/x_display.h"

namespace {

constexpr const char* kProgramName = "NDITabrivo";

// Started with a standard stream closed (`>&-`), the next file opened would
// take its number, and every line meant for that stream would be written
// into it: into the quit pipe, a settings file, a socket. /dev/null takes the
// number instead.
void fillClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// Before any thread exists: these change the process's environment and
// signal dispositions, which later threads inherit.
bool prepareProcess() {
    // No write to standard output or error may hold up a thread of the
    // program; a line written is a line kept, also when the output goes to a
    // file and the program is killed.
    if (!boundStandardStreams()) std::setvbuf(stdout, nullptr, _IOLBF, 0);
    platform::ignoreBrokenPipes();
    if (!platform::xDisplayCanBeOpened(kProgramName)) return false;
    platform::neverAutolaunchSessionBus(kProgramName);
    platform::catchQuitSignals();
    return true;
}

// What an event's work throws (memory or a thread it cannot get) costs that
// event only: the event loop goes on, and with it the frames, the quit and
// its save.
class Application : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        static RepeatedLine eventFailed;
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& error) {
            eventFailed.write("%s: an event's work failed: %s", kProgramName, error.what());
            return false;
        }
    }
};

int runApplication(int argc, char** argv) {
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    Application app(argc, argv);
    // SIGTERM and SIGHUP quit like closing the window: settings saved.
    platform::quitOnCaughtSignals();
    // Refused or absent, the program runs on without it.
    preventDisplaySleep();
    AppDelegate delegate(app);
    // Kept for the life of the process: the frame clock reaches it to the end.
    auto* controller = new ViewController;
    controller->awakeFromNib();
    controller->viewDidLoad();
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    fillClosedStandardDescriptors();
    int status = 1;
    if (prepareProcess()) {
        // Start-up without the memory or threads it needs ends the program
        // with one line instead of an abort.
        try {
            status = runApplication(argc, argv);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s: cannot run: %s\n", kProgramName, error.what());
        }
    }
    reportRepeatedLines();
    // Lines still queued for a slow reader get a moment, never more: a
    // reader that stopped must not hold up the quit.
    flushDiagnostics(250);
    return status;
}
