#include "platform/desktop/sleep_inhibit.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>

namespace platform {

int32_t inhibitDisplaySleep(const char* applicationName, const char* reason) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return -1;
    QDBusInterface screenSaver(QStringLiteral("org.freedesktop.ScreenSaver"),
                               QStringLiteral("/org/freedesktop/ScreenSaver"),
                               QStringLiteral("org.freedesktop.ScreenSaver"), bus);
    if (!screenSaver.isValid()) return -1;
    // The cookie would only serve to lift the inhibit, which is never done.
    const QDBusReply<uint32_t> cookie = screenSaver.call(
        QStringLiteral("Inhibit"), QString::fromUtf8(applicationName), QString::fromUtf8(reason));
    return cookie.isValid() ? 0 : -1;
}

}  // namespace platform
