#include "platform/desktop/session_bus.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// libdbus knows no transport of this name, so a connection fails at once:
// no daemon is started and nothing is written.
constexpr const char* kNoBusAddress = "disabled:";

bool isSocket(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

constexpr const char* kWhatIsOff = "desktop notifications and the display-sleep inhibit are off";

// An announced bus that cannot be reached (a socket that is not there) is
// said once, as having none is: a bus that comes later is still used.
void reportUnreachableBusOnce(const std::string& address) {
    static bool reported = false;  // main thread only
    if (reported) return;
    reported = true;
    std::fprintf(stderr, "%s: no session bus at %s; %s\n",
                 QCoreApplication::applicationName().toLocal8Bit().constData(), address.c_str(),
                 kWhatIsOff);
}

}  // namespace

std::string sessionBusAddress() {
    const char* announced = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (announced != nullptr && announced[0] != '\0')
        return std::strncmp(announced, "autolaunch:", 11) == 0 ? std::string() : announced;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir == nullptr || runtimeDir[0] != '/') return {};
    const std::string socket = std::string(runtimeDir) + "/bus";
    return isSocket(socket) ? "unix:path=" + socket : std::string();
}

void neverAutolaunchSessionBus(const char* programName) {
    if (!sessionBusAddress().empty()) return;
    setenv("DBUS_SESSION_BUS_ADDRESS", kNoBusAddress, 1);
    std::fprintf(stderr, "%s: no session bus (DBUS_SESSION_BUS_ADDRESS is not set); %s\n",
                 programName, kWhatIsOff);
}

QDBusConnection sessionBus() {
    const std::string address = sessionBusAddress();
    if (address.empty() || address == kNoBusAddress)
        return QDBusConnection(QStringLiteral("nditabrivo-no-session-bus"));
    // One connection per address, kept while its bus lives; a bus that went
    // away (a test's private daemon, a restarted session) is not asked again
    // through a dead connection.
    const QString name = QStringLiteral("nditabrivo-session ") + QString::fromStdString(address);
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address), name);
    if (bus.isConnected()) return bus;
    QDBusConnection::disconnectFromBus(name);
    bus = QDBusConnection::connectToBus(QString::fromStdString(address), name);
    if (bus.isConnected()) return bus;
    QDBusConnection::disconnectFromBus(name);
    reportUnreachableBusOnce(address);
    return bus;
}

}  // namespace platform
