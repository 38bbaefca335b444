#include "ui/TavloCompanionApp.hpp"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "core/CompanionState.hpp"
#include "platform/Log.hpp"
#include "ui/MenuContent.hpp"
#include "ui/MenuLabel.hpp"

namespace tavlo {
namespace {

std::function<std::string()>& pairingSource() {
  static std::function<std::string()> source;
  return source;
}

// The toolkit calls exit(1) when the X11 or Wayland connection breaks. While
// the tray runs, that exit starts the companion again without any UI.
std::atomic<bool> trayRunning{false};
std::string selfArgv0;
std::vector<std::string> restartArguments;

void restartHeadlessIfTrayDied() {
  if (!trayRunning.exchange(false)) return;
  logLine("Tavlo lost its display; continuing without the tray");
  // The listening socket among them; the new image opens its own.
  if (::close_range(3, ~0U, 0) != 0)
    for (int fd = 3; fd < 65536; ++fd) ::close(fd);
  std::vector<const char*> args = {selfArgv0.c_str(), "--headless"};
  for (const auto& a : restartArguments) args.push_back(a.c_str());
  args.push_back(nullptr);
  ::execv("/proc/self/exe", const_cast<char* const*>(args.data()));
}

// SIGINT and SIGTERM end the event loop like "Quit Tavlo" does.
int signalPipe[2] = {-1, -1};
void onSignal(int) {
  const char b = 1;
  [[maybe_unused]] auto n = ::write(signalPipe[1], &b, 1);
}

// Snapshots reach the UI through this: the state thread posts to `receiver`
// while it exists; posted events die with it.
struct Bridge {
  std::mutex mutex;
  QObject* receiver = nullptr;
  std::function<void(const CompanionSnapshot&)> apply;  // UI thread
  bool pending = false;                                 // state thread
};

// Creates the application on the desktop's display; none when there is no
// usable display (a DISPLAY that cannot be reached must not end the process).
std::unique_ptr<QApplication> makeApplication(int& argc, char** argv) {
  const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
  if (!chosen.isEmpty()) return std::make_unique<QApplication>(argc, argv);
  QByteArray platforms;
  if (!qgetenv("DISPLAY").isEmpty()) platforms += "xcb;";
  if (!qgetenv("WAYLAND_DISPLAY").isEmpty()) platforms += "wayland;";
  if (platforms.isEmpty()) return nullptr;
  qputenv("QT_QPA_PLATFORM", platforms + "offscreen");
  auto app = std::make_unique<QApplication>(argc, argv);
  qunsetenv("QT_QPA_PLATFORM");  // children such as xdg-open pick their own
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) return nullptr;
  return app;
}

}  // namespace

void setRestartArguments(std::vector<std::string> arguments) { restartArguments = std::move(arguments); }

void setPairingSource(std::function<std::string()> source) { pairingSource() = std::move(source); }

int runTrayApp(int& argc, char** argv, std::shared_ptr<CompanionState> state, std::function<void()> quit,
               bool showPanel) {
  // From here on a broken display connection restarts the companion headless.
  static const bool atexitInstalled = (std::atexit(restartHeadlessIfTrayDied), true);
  (void)atexitInstalled;
  selfArgv0 = argc > 0 ? argv[0] : "tavlo-companion";
  trayRunning = true;
  struct TrayDone {
    ~TrayDone() { trayRunning = false; }
  } trayDone;

  std::unique_ptr<QApplication> ownApp;
  if (!QApplication::instance()) {
    ownApp = makeApplication(argc, argv);
    if (!ownApp) return -1;
  }
  const bool haveTray = QSystemTrayIcon::isSystemTrayAvailable();
  if (!haveTray && !showPanel) return -1;
  QApplication::setApplicationName(QStringLiteral("Tavlo"));
  QApplication::setDesktopFileName(QStringLiteral("tavlo-companion"));
  QApplication::setQuitOnLastWindowClosed(!haveTray);
  ensureIconResources();
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tavlo-companion.svg")));

  const auto executor = state->executor();
  std::weak_ptr<CompanionState> weak = state;
  // Every action runs on the state thread; nothing it throws reaches the UI.
  auto onState = [executor, weak](std::function<void(CompanionState&)> fn) {
    asio::post(executor, [weak, fn = std::move(fn)] {
      if (auto s = weak.lock()) try {
          fn(*s);
        } catch (const std::exception& e) {
          logLine(std::string("Tavlo menu action failed: ") + e.what());
        }
    });
  };

  MenuActions actions;
  actions.openStagingFolder = [onState] { onState([](CompanionState& s) { s.openStagingFolder(); }); };
  actions.openTailscaleApp = [onState] { onState([](CompanionState& s) { s.openTailscaleApp(); }); };
  actions.openOllamaWebsite = [onState] { onState([](CompanionState& s) { s.openOllamaWebsite(); }); };
  actions.openTavloSite = [onState] { onState([](CompanionState& s) { s.openTavloSite(); }); };
  actions.selectModel = [onState](const LLMModel& m) { onState([m](CompanionState& s) { s.selectModel(m); }); };
  actions.stopRequest = [onState](std::uint64_t id) { onState([id](CompanionState& s) { s.stopRequest(id); }); };
  actions.refresh = [onState] {
    onState([](CompanionState& s) {
      asio::co_spawn(
          s.executor(),
          [self = s.shared_from_this()]() -> asio::awaitable<void> {
            try {
              co_await self->tick();
            } catch (...) {
            }
          },
          asio::detached);
    });
  };
  actions.quit = [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); };
  actions.pairingJSON = pairingSource();

  auto* receiver = new QObject;
  auto* panel = new MenuContent(actions);
  if (showPanel) {
    panel->setWindowTitle(QStringLiteral("Tavlo"));
  } else {
    panel->setWindowFlags(Qt::Popup);
  }
  std::unique_ptr<QSystemTrayIcon> tray;
  std::unique_ptr<QMenu> trayMenu;
  if (haveTray) {
    tray = std::make_unique<QSystemTrayIcon>();
    tray->setIcon(menuIcon("macbook.and.iphone.slash", 0, desktopIsDark()));
    tray->setToolTip(QStringLiteral("Tavlo"));
    trayMenu = std::make_unique<QMenu>();
    auto togglePanel = [panel, t = tray.get()] {
      if (panel->isVisible()) return panel->hide();
      panel->adjustSize();
      QRect at = t->geometry();
      QPoint pos = at.isValid() ? at.bottomLeft() : QCursor::pos();
      if (auto* screen = QGuiApplication::screenAt(pos)) {
        const QRect room = screen->availableGeometry();
        pos.setX(std::clamp(pos.x(), room.left(), room.right() - panel->width()));
        pos.setY(pos.y() + panel->height() > room.bottom() ? std::max(room.top(), pos.y() - panel->height())
                                                            : pos.y());
      }
      panel->move(pos);
      panel->show();
      panel->raise();
      panel->activateWindow();
    };
    trayMenu->addAction(QStringLiteral("Show panel"), togglePanel);
    trayMenu->addAction(QStringLiteral("Quit Tavlo"), actions.quit);
    tray->setContextMenu(trayMenu.get());
    QObject::connect(tray.get(), &QSystemTrayIcon::activated, receiver,
                     [togglePanel](QSystemTrayIcon::ActivationReason why) {
                       if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) togglePanel();
                     });
    tray->show();
  }
  if (showPanel) panel->show();

  auto bridge = std::make_shared<Bridge>();
  bridge->receiver = receiver;
  bridge->apply = [panel, t = tray.get()](const CompanionSnapshot& s) {
    panel->setSnapshot(s);
    if (t) {
      t->setIcon(menuIcon(s.menuSymbol, std::min(s.recentRequests.size(), CompanionState::kMaxRecent),
                          desktopIsDark()));
      t->setToolTip(menuTooltip(s));
    }
  };
  // Observers are told once per assigned field; one snapshot per burst is enough.
  auto deliver = [bridge, weak, executor] {
    if (bridge->pending) return;
    bridge->pending = true;
    asio::post(executor, [bridge, weak] {
      bridge->pending = false;
      auto s = weak.lock();
      if (!s) return;
      auto snap = std::make_shared<CompanionSnapshot>(s->snapshot());
      std::lock_guard lock(bridge->mutex);
      if (bridge->receiver)
        QMetaObject::invokeMethod(
            bridge->receiver, [bridge, snap] { bridge->apply(*snap); }, Qt::QueuedConnection);
    });
  };
  asio::post(executor, [weak, deliver] {
    if (auto s = weak.lock()) {
      s->addObserver([deliver](StateField) { deliver(); });
      deliver();
    }
  });

  struct sigaction act {}, oldInt{}, oldTerm{};
  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
    signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, receiver, [] { QCoreApplication::quit(); });
    act.sa_handler = onSignal;
    ::sigemptyset(&act.sa_mask);
    ::sigaction(SIGINT, &act, &oldInt);
    ::sigaction(SIGTERM, &act, &oldTerm);
  }

  const int status = QApplication::exec();
  trayRunning = false;

  if (signalNotifier) {
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    signalNotifier.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
  }
  {
    std::lock_guard lock(bridge->mutex);
    bridge->receiver = nullptr;
  }
  delete receiver;
  tray.reset();
  trayMenu.reset();
  delete panel;
  if (quit) quit();
  return status;
}

}  // namespace tavlo
