// The display-sleep inhibit against a screen saver service of the test's own
// on a private session bus: taken, refused, and absent.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/app_delegate.h"
#include "tests/app/main_window_fixture.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.ScreenSaver");

class FakeScreenSaver : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

  public:
    std::mutex lock;
    QString application;
    QString reason;
    bool refuse = false;

  public slots:
    uint Inhibit(const QString& applicationName, const QString& reasonText) {
        std::lock_guard<std::mutex> hold(lock);
        application = applicationName;
        reason = reasonText;
        if (refuse) sendErrorReply(QDBusError::AccessDenied, QStringLiteral("not now"));
        return 42;
    }
};

// A session bus daemon of the test's own, for the whole file.
class PrivateBus {
  public:
    PrivateBus() {
        FILE* daemon = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (daemon == nullptr) return;
        char line[512] = {};
        if (fgets(line, sizeof line, daemon)) address = QString::fromUtf8(line).trimmed();
        if (fgets(line, sizeof line, daemon)) pid = atoi(line);
        pclose(daemon);
    }
    ~PrivateBus() {
        if (pid > 0) kill(pid, SIGTERM);
    }
    QString address;
    int pid = 0;
};

class SleepInhibit : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = new PrivateBus;
        setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.toUtf8().constData(), 1);
        mainwindowtest::application();
    }
    static void TearDownTestSuite() { delete bus; }

    void SetUp() override {
        ASSERT_FALSE(bus->address.isEmpty()) << "dbus-daemon did not start";
        serviceThread.start();
        saver.moveToThread(&serviceThread);
        serviceSide = QDBusConnection::connectToBus(bus->address, QStringLiteral("screensaver"));
        ASSERT_TRUE(serviceSide.isConnected());
    }
    void TearDown() override {
        serviceSide.unregisterService(kService);
        serviceSide.unregisterObject(QStringLiteral("/org/freedesktop/ScreenSaver"));
        QDBusConnection::disconnectFromBus(QStringLiteral("screensaver"));
        serviceThread.quit();
        serviceThread.wait();
    }
    void offerService() {
        ASSERT_TRUE(serviceSide.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"),
                                               &saver, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(serviceSide.registerService(kService));
    }

    static PrivateBus* bus;
    QThread serviceThread;
    FakeScreenSaver saver;
    QDBusConnection serviceSide{QStringLiteral("unset")};
};
PrivateBus* SleepInhibit::bus = nullptr;

TEST_F(SleepInhibit, TheServiceTakesItUnderTheProgramsNameAndReason) {
    offerService();
    EXPECT_EQ(preventDisplaySleep(), 0);
    std::lock_guard<std::mutex> hold(saver.lock);
    EXPECT_EQ(saver.application, "NDITabrivo");
    EXPECT_EQ(saver.reason, "NDI Stream Processing Active");
}

TEST_F(SleepInhibit, ARefusalIsReturnedAndNothingElseHappens) {
    {
        std::lock_guard<std::mutex> hold(saver.lock);
        saver.refuse = true;
    }
    offerService();
    EXPECT_EQ(preventDisplaySleep(), -1);
}

TEST_F(SleepInhibit, NoServiceOnTheBusIsReturnedToo) { EXPECT_EQ(preventDisplaySleep(), -1); }

}  // namespace

#include "app_delegate_sleep_inhibit_test.moc"
