#include "platform/desktop/main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <mutex>
#include <utility>

#include "common/diagnostics.h"

namespace platform {

namespace {

// The display link keeps asking after the application object has gone (the
// process is ending), so requests are posted only while the object is known
// to live: its destructor calls the post routine below, under the same lock,
// before the object is taken apart.
struct MainThreadGate {
    std::mutex lock;
    QCoreApplication* watchedApp = nullptr;
    QCoreApplication* endedApp = nullptr;
    bool dropReported = false;
};

MainThreadGate& gate() {
    static MainThreadGate theGate;
    return theGate;
}

// What is posted: the request, which on the main thread first passes through
// the gate's lock. The lock was held while the request was posted, so
// everything the asking thread wrote before posting is visible here even
// where the event queue's own synchronisation is hidden from race checkers.
struct GatedWork {
    std::function<void()> work;
    void operator()() {
        { std::lock_guard<std::mutex> hold(gate().lock); }
        work();
    }
};

void applicationEnding() {
    std::lock_guard<std::mutex> hold(gate().lock);
    gate().endedApp = gate().watchedApp;
    gate().watchedApp = nullptr;
}

// A new application object may be made where the ended one was: from its
// construction on, that address is a live application again.
void applicationStarting() {
    std::lock_guard<std::mutex> hold(gate().lock);
    gate().endedApp = nullptr;
}
Q_COREAPP_STARTUP_FUNCTION(applicationStarting)

}  // namespace

// Queued calls to one receiver are delivered in the order they were posted,
// and each posted call is its own event, so requests are never merged.
int32_t performOnMainThread(std::function<void()> work) {
    MainThreadGate& g = gate();
    std::lock_guard<std::mutex> hold(g.lock);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || app == g.endedApp) {
        // Once the application object has gone the process is quitting: the
        // display link asks on to the end, and nothing is left to do.
        if (g.endedApp == nullptr && !g.dropReported) {
            fprintf(stderr, "performOnMainThread: no application object, requests dropped\n");
            g.dropReported = true;
        }
        return -1;
    }
    // A request that cannot be queued (no memory for it) is dropped, as a
    // request after the application object has gone is.
    static RepeatedLine notQueued;
    try {
        if (app != g.watchedApp) {
            qAddPostRoutine(applicationEnding);
            g.watchedApp = app;
        }
        QMetaObject::invokeMethod(app, GatedWork{std::move(work)}, Qt::QueuedConnection);
    } catch (const std::exception& error) {
        notQueued.write("performOnMainThread: request dropped: %s", error.what());
        return -1;
    }
    notQueued.ended();
    return 0;
}

// The timer is made on the main thread so that it belongs to the main
// thread's event loop whichever thread asked.
int32_t performOnMainThreadAfter(int32_t milliseconds, std::function<void()> work) {
    return performOnMainThread([milliseconds, work = std::move(work)]() mutable {
        QTimer::singleShot(milliseconds < 0 ? 0 : milliseconds, QCoreApplication::instance(),
                           std::move(work));
    });
}

}  // namespace platform
