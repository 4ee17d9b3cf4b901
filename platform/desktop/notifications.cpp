#include "platform/desktop/notifications.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "platform/desktop/session_bus.h"

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kApplicationName = "NDITabrivo";
// The sound theme's name for a new message: the closest to a "default
// notification sound".
constexpr const char* kDefaultSound = "message-new-instant";
constexpr int kServerDecidesTimeout = -1;

}  // namespace

bool postDesktopNotification(const char* title, const char* body) {
    if (QCoreApplication::instance() == nullptr) return false;
    QDBusConnection bus = platform::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    QVariantMap hints;
    hints.insert(QStringLiteral("sound-name"), QString::fromLatin1(kDefaultSound));
    notify << QString::fromLatin1(kApplicationName) << 0u << QString() << QString::fromUtf8(title)
           << QString::fromUtf8(body) << QStringList() << hints << kServerDecidesTimeout;
    return bus.send(notify);
}
