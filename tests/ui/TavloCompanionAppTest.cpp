// The tray shell against a real X server (Xvfb) and a private session bus
// with a stand-in tray host, driving a CompanionState with fake services.
#include "ui/TavloCompanionApp.hpp"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "core/CompanionState.hpp"
#include "ui/ElidedLabel.hpp"
#include "ui/MenuContent.hpp"

namespace tavlo {
namespace {

// Stands in for the desktop's tray host: records which item registered.
class FakeTrayWatcher : public QDBusVirtualObject {
 public:
  std::atomic<bool> registered{false};
  QString item;  // written before `registered`
  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.kde.StatusNotifierWatcher\">"
        "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
        "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
        "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
        "</interface>");
  }
  bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
    if (m.member() == QLatin1String("RegisterStatusNotifierItem")) {
      item = m.arguments().value(0).toString();
      registered = true;
      c.send(m.createReply());
    } else if (m.member() == QLatin1String("Get")) {
      const bool host = m.arguments().value(1).toString() == QLatin1String("IsStatusNotifierHostRegistered");
      c.send(m.createReply(QVariant::fromValue(QDBusVariant(host ? QVariant(true) : QVariant(0)))));
    } else if (m.member() == QLatin1String("Introspect")) {
      c.send(m.createReply(QStringLiteral("<node>") + introspect({}) + QStringLiteral("</node>")));
    } else {
      c.send(m.createReply());
    }
    return true;
  }
};

struct NullServer : ServerHandle {
  void stop() override {}
};

CompanionServices fakeServices() {
  CompanionServices s;
  s.tailscaleProbe = []() -> asio::awaitable<TailscaleStatus> {
    co_return TailscaleStatus::connected("100.64.0.7", "box.tail.ts.net");
  };
  s.ollamaProbe = []() -> asio::awaitable<std::vector<LLMModel>> {
    co_return std::vector<LLMModel>{{"ollama:qwen3-coder", LLMModel::Provider::ollama, "qwen3-coder", "18.6 GB"},
                                    {"ollama:llama3.2", LLMModel::Provider::ollama, "llama3.2", std::nullopt}};
  };
  s.lmstudioProbe = s.cliProbe = []() -> asio::awaitable<std::vector<LLMModel>> { co_return std::vector<LLMModel>{}; };
  s.lanIP = [] { return std::optional<std::string>("192.168.1.20"); };
  s.hostName = [] { return std::string("box"); };
  s.open = [](std::string) {};
  s.startServer = [](std::uint16_t, RequestHandler) { return std::make_unique<NullServer>(); };
  s.refreshInterval = std::chrono::milliseconds(60000);
  return s;
}

class TavloCompanionAppTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() || QStandardPaths::findExecutable("dbus-daemon").isEmpty())
      return;
    xvfb = new QProcess;
    xvfb->start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    if (!xvfb->waitForReadyRead(10000)) return;
    display = ":" + QString::fromUtf8(xvfb->readLine()).trimmed();
    bus = new QProcess;
    bus->start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus->waitForReadyRead(5000)) return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus->readLine().trimmed());
    qunsetenv("QT_QPA_PLATFORM");
    qunsetenv("WAYLAND_DISPLAY");
  }
  static void TearDownTestSuite() {
    for (QProcess* p : {bus, xvfb})
      if (p) p->kill(), p->waitForFinished(), delete p;
  }
  void SetUp() override {
    if (display.isEmpty()) GTEST_SKIP() << "needs Xvfb and dbus-daemon";
    state = std::make_shared<CompanionState>(io.get_executor(), fakeServices(), "/tmp/tavlo-ui-test-staging");
    asio::post(io, [s = state] { s->start(); });
    worker = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    if (!worker.joinable()) return;
    asio::post(io, [this] { state->shutdown(), work.reset(); });
    worker.join();
  }
  int run(bool showPanel) {
    int argc = 1;
    static char name[] = "tavlo-companion";
    char* argv[] = {name, nullptr};
    return runTrayApp(argc, argv, state, [this] { ++quitCalls; }, showPanel);
  }
  static bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }
  static MenuContent* panel() {
    for (auto* w : QApplication::topLevelWidgets())
      if (auto* p = qobject_cast<MenuContent*>(w)) return p;
    return nullptr;
  }

  static inline QProcess *xvfb = nullptr, *bus = nullptr;
  static inline QString display;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::shared_ptr<CompanionState> state;
  std::thread worker;
  int quitCalls = 0;
};

// Runs first: no QApplication exists yet.
TEST_F(TavloCompanionAppTest, WithoutUsableDisplayOrTrayTheCallerGoesHeadless) {
  qunsetenv("DISPLAY");
  EXPECT_EQ(run(false), -1);
  qputenv("DISPLAY", ":4321");  // nobody there: must not end the process
  EXPECT_EQ(run(true), -1);
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
  EXPECT_EQ(quitCalls, 0);
}

TEST_F(TavloCompanionAppTest, TrayShowsPanelWithStateAndQuitsCleanly) {
  qputenv("DISPLAY", display.toUtf8());
  static int argc = 1;
  static char name[] = "tavlo-companion";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QDBusConnection host = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS")), "host");
  // The shell asks the host synchronously, so the host answers from its own thread.
  QThread hostThread;
  hostThread.start();
  FakeTrayWatcher watcher;
  watcher.moveToThread(&hostThread);
  auto stopHost = qScopeGuard([&] { hostThread.quit(), hostThread.wait(); });
  ASSERT_TRUE(host.registerVirtualObject("/StatusNotifierWatcher", &watcher));
  ASSERT_TRUE(host.registerService("org.kde.StatusNotifierWatcher"));

  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(waitFor([&] { return watcher.registered.load(); })) << "the icon never registered";
    // A click on the icon opens the panel; the item answers from this very thread.
    QDBusMessage click = QDBusMessage::createMethodCall(watcher.item.section('/', 0, 0), "/StatusNotifierItem",
                                                       "org.kde.StatusNotifierItem", "Activate");
    host.send(click << 10 << 10);
    ASSERT_TRUE(waitFor([&] { return panel() && panel()->isVisible(); })) << "no panel";
    auto* p = panel();
    auto rows = [p] { return p->findChildren<QPushButton*>("modelRow"); };
    ASSERT_TRUE(waitFor([&] {
      auto* d = p->findChild<QWidget*>("tailscaleRow")->findChild<ElidedLabel*>("detail");
      return d->fullText() == "100.64.0.7" && rows().size() == 2;
    })) << "the state's snapshot never reached the panel";
    EXPECT_EQ(p->width(), 340);
    // Choosing a model reaches the state on its own thread.
    rows()[1]->click();
    ASSERT_TRUE(waitFor([&] { return rows()[1]->property("selected").toBool(); }));
    for (auto* b : p->findChildren<QPushButton*>("quitButton")) b->click();
  });
  EXPECT_EQ(run(false), 0);
  EXPECT_EQ(quitCalls, 1);
  std::promise<std::string> id;
  asio::post(io, [&] { id.set_value(state->selectedModelID()); });
  EXPECT_EQ(id.get_future().get(), "ollama:llama3.2");
  QDBusConnection::disconnectFromBus("host");
}

}  // namespace
}  // namespace tavlo
