#include "platform/desktop/quit_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGHUP};

// The self-pipe: written by the handler, read on the main thread. Set once in
// catchQuitSignals before any handler can run.
int quitPipe[2] = {-1, -1};

void writeSignalNumber(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a quit request; losing this one changes
    // nothing.
    [[maybe_unused]] const ssize_t written = write(quitPipe[1], &number, 1);
    errno = savedErrno;
}

void drainPipe() {
    unsigned char numbers[64];
    while (read(quitPipe[0], numbers, sizeof numbers) > 0) {
    }
}

}  // namespace

int32_t catchQuitSignals() {
    if (quitPipe[0] >= 0) return 0;
    if (pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "signals: cannot make the quit pipe: %s\n", std::strerror(errno));
        quitPipe[0] = quitPipe[1] = -1;
        return -1;
    }
    struct sigaction action {};
    action.sa_handler = writeSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kQuitSignals) {
        // A signal ignored by whoever started the program (nohup) stays
        // ignored, as the shells' own rule has it.
        struct sigaction inherited {};
        sigaction(signalNumber, nullptr, &inherited);
        if (inherited.sa_handler != SIG_IGN) sigaction(signalNumber, &action, nullptr);
    }
    return 0;
}

void ignoreBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void quitOnCaughtSignals() {
    if (quitPipe[0] < 0 || QCoreApplication::instance() == nullptr) return;
    auto* notifier =
        new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        drainPipe();
        QCoreApplication::quit();
    });
}

}  // namespace platform
