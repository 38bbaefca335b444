#include "ui/Notifier.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>

#include "UITestSupport.hpp"

namespace tavlo {
namespace {

// A notification service that records what it is shown.
class FakeNotifications : public QDBusVirtualObject {
 public:
  QList<QVariantList> shown;
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Notify")) return false;
    shown.append(message.arguments());
    connection.send(message.createReply(QVariantList{QVariant::fromValue(1u)}));
    return true;
  }
};

class NotifierTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bus = new QProcess;
    bus->start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus->waitForReadyRead(5000)) return;
    address = QString::fromUtf8(bus->readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    test::offscreenApp();
  }
  static void TearDownTestSuite() {
    bus->kill();
    bus->waitForFinished();
    delete bus;
  }
  void SetUp() override {
    if (address.isEmpty()) GTEST_SKIP() << "no dbus-daemon";
  }
  static void pump(int ms, const std::function<bool()>& done = [] { return false; }) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && !done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  static inline QProcess* bus = nullptr;
  static inline QString address;
};

TEST_F(NotifierTest, WithoutServiceNothingHappens) {
  notifyPackWritten("clip-cleaner-120000", "Cleans the clipboard.");
  pump(300);
  SUCCEED();
}

TEST_F(NotifierTest, ShowsNameAndEscapedSummary) {
  QDBusConnection service = QDBusConnection::connectToBus(address, "service");
  ASSERT_TRUE(service.isConnected());
  FakeNotifications fake;
  ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/Notifications", &fake));
  ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));

  notifyPackWritten("clip-cleaner-120000", "Adds <b>two</b> buttons & a script");
  notifyPackWritten(std::string(300, 'n'), "");
  pump(3000, [&] { return fake.shown.size() == 2; });
  ASSERT_EQ(fake.shown.size(), 2);
  const auto& args = fake.shown[0];
  ASSERT_EQ(args.size(), 8);
  EXPECT_EQ(args[0].toString(), "Tavlo");
  EXPECT_EQ(args[3].toString(), "Pack 'clip-cleaner-120000' written");
  EXPECT_EQ(args[4].toString(), "Adds &lt;b&gt;two&lt;/b&gt; buttons &amp; a script");
  EXPECT_LE(fake.shown[1][3].toString().size(), 140);
  service.unregisterService("org.freedesktop.Notifications");
  QDBusConnection::disconnectFromBus("service");
}

}  // namespace
}  // namespace tavlo
