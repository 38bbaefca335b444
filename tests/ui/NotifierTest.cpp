#include "ui/Notifier.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>

#include "UITestSupport.hpp"

namespace tavlo {
namespace {

// A notification service that records what it is shown.
struct FakeNotifications : QDBusVirtualObject {
  QList<QVariantList> shown;
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Notify")) return false;
    shown.append(message.arguments());
    connection.send(message.createReply(QVariantList{QVariant::fromValue(1u)}));
    return true;
  }
};

TEST(Notifier, ShowsNameAndEscapedSummaryAndDoesNothingWithoutService) {
  QProcess bus;
  bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
  auto stopBus = qScopeGuard([&] { bus.kill(), bus.waitForFinished(); });
  if (!bus.waitForReadyRead(5000)) GTEST_SKIP() << "no dbus-daemon";
  const QString address = QString::fromUtf8(bus.readLine()).trimmed();
  qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
  test::offscreenApp();
  FakeNotifications fake;
  auto pump = [&](int ms) {
    QElapsedTimer t;
    for (t.start(); t.elapsed() < ms && fake.shown.size() < 2;)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  };
  notifyPackWritten("clip-cleaner-120000", "Cleans the clipboard.");  // nobody listens yet: nothing happens
  pump(300);

  QDBusConnection service = QDBusConnection::connectToBus(address, "service");
  ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/Notifications", &fake));
  ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));
  notifyPackWritten("clip-cleaner-120000", "Adds <b>two</b> buttons & a script");
  notifyPackWritten(std::string(300, 'n'), "");
  pump(3000);
  ASSERT_EQ(fake.shown.size(), 2);
  const auto& args = fake.shown[0];
  ASSERT_EQ(args.size(), 8);
  EXPECT_EQ(args[0].toString(), "Tavlo");
  EXPECT_EQ(args[3].toString(), "Pack 'clip-cleaner-120000' written");
  EXPECT_EQ(args[4].toString(), "Adds &lt;b&gt;two&lt;/b&gt; buttons &amp; a script");
  EXPECT_LE(fake.shown[1][3].toString().size(), 140);  // a long name is cut
  QDBusConnection::disconnectFromBus("service");
}

}  // namespace
}  // namespace tavlo
