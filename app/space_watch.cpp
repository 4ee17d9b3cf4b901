#include "app/space_watch.h"

#include <QSocketNotifier>

#include "platform/windowserver/window_server.h"

SpaceWatch::SpaceWatch(std::function<void()> onChange) : onChange(std::move(onChange)) {}

SpaceWatch::~SpaceWatch() = default;

bool SpaceWatch::start(uint32_t window) {
    if (notifier) return false;
    const int fd = windowServer().watchSpaces();
    if (fd < 0) return false;
    ownWindow = window;
    fullScreenInFront = windowServer().otherFullScreenActive(ownWindow);
    notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { noticesArrived(); });
    return true;
}

void SpaceWatch::noticesArrived() {
    const uint32_t notices = windowServer().takeSpaceNotices();
    if (notices & kDesktopChanged) onChange();
    if (notices & kActiveWindowChanged) {
        // Focus moves all the time; only a full-screen window taking or
        // leaving the front counts as a change of what is in front.
        const bool now = windowServer().otherFullScreenActive(ownWindow);
        if (now != fullScreenInFront) {
            fullScreenInFront = now;
            onChange();
        }
    }
}

bool SpaceWatch::isOnActiveSpace(uint32_t window) { return windowServer().isOnActiveSpace(window); }
