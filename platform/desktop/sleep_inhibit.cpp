#include "platform/desktop/sleep_inhibit.h"

#include <QDBusMessage>

#include "platform/desktop/session_bus.h"

namespace platform {

namespace {

// A screen saver that does not answer must not hold up start-up for long.
constexpr int kReplyTimeoutMs = 2000;

}  // namespace

int32_t inhibitDisplaySleep(const char* applicationName, const char* reason) {
    QDBusConnection bus = sessionBus();
    if (!bus.isConnected()) return -1;
    QDBusMessage inhibit = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.ScreenSaver"),
        QStringLiteral("/org/freedesktop/ScreenSaver"),
        QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("Inhibit"));
    inhibit << QString::fromUtf8(applicationName) << QString::fromUtf8(reason);
    // The cookie in the reply would only serve to lift the inhibit, which is
    // never done: the service drops it when the process's connection closes.
    const QDBusMessage reply = bus.call(inhibit, QDBus::Block, kReplyTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage ? 0 : -1;
}

}  // namespace platform
