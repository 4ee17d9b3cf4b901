// The update notification through a real session D-Bus: a private
// dbus-daemon, and a stand-in notification service registered on it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QVariantMap>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>

#include "app/update_check.h"
#include "platform/desktop/notifications.h"
#include "tests/support/http_server.h"

namespace fs = std::filesystem;

namespace {

// Lets the event loop run until done() holds, for at most 10 s.
template <typename Done>
bool processEventsUntil(Done done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A session bus of the test's own; the daemon forks away and is ended by its
// process id.
class PrivateSessionBus {
  public:
    PrivateSessionBus() {
        FILE* out = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (out == nullptr) return;
        char line[512];
        if (fgets(line, sizeof line, out) != nullptr)
            address_ = std::string(line, strcspn(line, "\n"));
        if (fgets(line, sizeof line, out) != nullptr) pid_ = std::atoi(line);
        pclose(out);
    }
    PrivateSessionBus(PrivateSessionBus&& other) noexcept
        : address_(std::move(other.address_)), pid_(std::exchange(other.pid_, 0)) {}
    ~PrivateSessionBus() {
        if (pid_ > 0) kill(pid_, SIGTERM);
    }
    bool ok() const { return !address_.empty() && pid_ > 0; }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    pid_t pid_ = 0;
};

// Answers Notify like a desktop's notification server and keeps the calls.
class StandInNotifications : public QDBusVirtualObject {
  public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QLatin1String("Notify")) return false;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(message.arguments());
        }
        connection.send(message.createReply(QVariant::fromValue(1u)));
        return true;
    }
    std::vector<QVariantList> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<QVariantList> calls_;
};

class NotificationBusTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        setenv("NDITABRIVO_UPDATE_HOST", server_.hostPort().c_str(), 1);
        app_ = std::make_unique<QCoreApplication>(argc_, argv_);
        offerServiceOn(bus_);
    }
    void TearDown() override { withdrawService(); }

    // The stand-in service on bus, which becomes the session bus.
    void offerServiceOn(const PrivateSessionBus& bus) {
        ASSERT_TRUE(bus.ok()) << "dbus-daemon could not be started";
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        service_ = QDBusConnection::connectToBus(QString::fromStdString(bus.address()),
                                                 QStringLiteral("stand-in"));
        ASSERT_TRUE(service_.isConnected());
        ASSERT_TRUE(service_.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"),
                                                   &standIn_));
        ASSERT_TRUE(service_.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    void withdrawService() {
        service_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("stand-in"));
    }

    // The check as start-up runs it, and the wait for its end, which start-up
    // never does.
    void checkAndWait() {
        bool done = false;
        versionControl([&done] { done = true; });
        EXPECT_TRUE(processEventsUntil([&done] { return done; }))
            << "the check's outcome never reached the main thread";
    }
    // Lets the bus deliver until the stand-in holds count calls.
    size_t waitForCalls(size_t count) {
        processEventsUntil([&] { return standIn_.calls().size() >= count; });
        return standIn_.calls().size();
    }

    PrivateSessionBus bus_;
    testsupport::HttpServer server_;
    int argc_ = 1;
    char name_[16] = "dbus_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
    QDBusConnection service_{QStringLiteral("none")};
    StandInNotifications standIn_;
};

TEST_F(NotificationBusTest, NewerVersionReachesTheNotificationService) {
    server_.serve("/ndi/nditabrivoversion.txt", {200, "99.5\n"});
    checkAndWait();
    ASSERT_EQ(waitForCalls(1), 1u);

    const QVariantList args = standIn_.calls()[0];
    ASSERT_EQ(args.size(), 8);
    EXPECT_EQ(args[0].toString(), "NDITabrivo");
    EXPECT_EQ(args[1].toUInt(), 0u);
    EXPECT_EQ(args[3].toString(), "Software Update Available!");
    EXPECT_EQ(args[4].toString(),
              "A new version of NDI Tabrivo is available.\nClick on the Corvel link for details");
    EXPECT_TRUE(args[5].toStringList().isEmpty());
    EXPECT_TRUE(qdbus_cast<QVariantMap>(args[6]).contains("sound-name"));
    EXPECT_EQ(args[7].toInt(), -1);
}

TEST_F(NotificationBusTest, AHostThatNeverAnswersHoldsNothingUp) {
    QElapsedTimer timer;
    bool done = false;
    {
        testsupport::HttpServer silent;
        testsupport::HttpResponse unanswered;
        unanswered.neverAnswer = true;
        silent.serve("/ndi/nditabrivoversion.txt", unanswered);
        setenv("NDITABRIVO_UPDATE_HOST", silent.hostPort().c_str(), 1);
        timer.start();
        versionControl([&done] { done = true; });
        // Well below the request's own time limits.
        EXPECT_LT(timer.elapsed(), 1000);
        QCoreApplication::processEvents();
        EXPECT_FALSE(done);
    }
    // The host goes away: the check ends, with nothing to announce.
    EXPECT_TRUE(processEventsUntil([&done] { return done; }));
    EXPECT_TRUE(standIn_.calls().empty());
}

TEST_F(NotificationBusTest, NoNewerVersionSendsNothing) {
    server_.serve("/ndi/nditabrivoversion.txt", {200, "0.5\n"});
    checkAndWait();
    // Calls on one connection arrive in order: once this marker is in,
    // anything the check had sent would be in too.
    ASSERT_TRUE(postDesktopNotification("marker", "sent after the check"));
    ASSERT_EQ(waitForCalls(1), 1u);
    EXPECT_EQ(standIn_.calls()[0][3].toString(), "marker");
}

TEST_F(NotificationBusTest, AnEmptyHostTurnsTheStartUpCheckOff) {
    server_.serve("/ndi/nditabrivoversion.txt", {200, "99.5\n"});
    setenv("NDITABRIVO_UPDATE_HOST", "", 1);
    testing::internal::CaptureStdout();
    checkAndWait();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Update check off: NDITABRIVO_UPDATE_HOST is empty\n");
    EXPECT_TRUE(server_.requests().empty());
    ASSERT_TRUE(postDesktopNotification("marker", "sent after the check"));
    ASSERT_EQ(waitForCalls(1), 1u);
    EXPECT_EQ(standIn_.calls()[0][3].toString(), "marker");
}

TEST_F(NotificationBusTest, ASessionBusThatWentAwayIsNotAskedAgain) {
    server_.serve("/ndi/nditabrivoversion.txt", {200, "99.5\n"});
    checkAndWait();
    ASSERT_EQ(waitForCalls(1), 1u);
    withdrawService();
    {
        // The session restarts its bus: the first one ends, a new one comes.
        PrivateSessionBus ended(std::move(bus_));
    }
    PrivateSessionBus restarted;
    offerServiceOn(restarted);
    checkAndWait();
    EXPECT_EQ(waitForCalls(2), 2u);
}

TEST(NotificationWithoutBus, FailsQuietly) {
    EXPECT_FALSE(postDesktopNotification("no", "application object yet"));

    std::string runtime = (fs::temp_directory_path() / "nobus-XXXXXX").string();
    ASSERT_NE(mkdtemp(runtime.data()), nullptr);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
    int argc = 1;
    char name[] = "nobus";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    EXPECT_FALSE(postDesktopNotification("no", "bus"));

    testsupport::HttpServer server;
    server.serve("/ndi/nditabrivoversion.txt", {200, "99.0"});
    setenv("NDITABRIVO_UPDATE_HOST", server.hostPort().c_str(), 1);
    bool done = false;
    versionControl([&done] { done = true; });  // would notify; must simply end
    EXPECT_TRUE(processEventsUntil([&done] { return done; }));
    fs::remove_all(runtime);
}

}  // namespace
