// Runs on the Qt GUI thread (the program's main thread); snapshots come from the
// state thread through a Bridge, and every action is posted back to it.
#include "ui/TavloCompanionApp.hpp"

#include <QApplication>
#include <QCursor>
#include <QLoggingCategory>
#include <QAction>
#include <QMenu>
#include <QToolButton>
#include <QOpenGLContext>
#include <QScreen>
#include <QSystemTrayIcon>

#include <atomic>
#include <functional>
#include <mutex>

#include "core/CompanionState.hpp"
#include "platform/Async.hpp"
#include "platform/Log.hpp"
#include "ui/MenuContent.hpp"
#include "ui/MenuLabel.hpp"
#include "ui/PanelPlacement.hpp"
#include "ui/TrayMenu.hpp"
#include "ui/TrayModule.hpp"

namespace tavlo {
namespace {

std::function<std::string()>& pairingSource() {
  static std::function<std::string()> source;
  return source;
}

// runTrayApp's loop, ended from another thread once the companion stopped.
struct Loop {
  std::mutex mutex;
  QObject* receiver = nullptr;  // while the loop runs
  bool ended = false;           // the companion stopped: no loop from here on
};
Loop& trayLoop() {
  static Loop loop;
  return loop;
}

// The toolkit ends the process (exit or _exit) right after one of these
// warnings, when the connection to the display broke: the desktop session is
// over. The companion stops first, through its one stop path.
QtMessageHandler previousHandler = nullptr;
std::function<void()> stopOnLostDisplay;
std::atomic<bool> displayLost{false};

void watchForLostDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  previousHandler(type, context, message);
  const bool lost = message.startsWith(QLatin1String("The X11 connection broke")) ||
                    message.startsWith(QLatin1String("The Wayland connection broke")) ||
                    message.startsWith(QLatin1String("The Wayland connection experienced a fatal error"));
  if (!lost || displayLost.exchange(true)) return;
  logLine("Tavlo lost its display; stopping");
  if (stopOnLostDisplay) stopOnLostDisplay();
}

// Watches the toolkit's warnings while it lives; the previous handler gets each one first.
class StopOnLostDisplay {
 public:
  explicit StopOnLostDisplay(std::function<void()> stop) {
    stopOnLostDisplay = std::move(stop);
    previousHandler = qInstallMessageHandler(watchForLostDisplay);  // Qt's default when none was set
  }
  ~StopOnLostDisplay() {
    qInstallMessageHandler(previousHandler);
    stopOnLostDisplay = nullptr;
  }
  StopOnLostDisplay(const StopOnLostDisplay&) = delete;
  StopOnLostDisplay& operator=(const StopOnLostDisplay&) = delete;
};

// Snapshots reach the UI through this: the state thread posts to `receiver`
// while it exists; posted events die with it.
struct Bridge {
  std::mutex mutex;
  QObject* receiver = nullptr;
  std::function<void(const CompanionSnapshot&)> apply;  // UI thread
  bool pending = false;                                 // state thread
};

// A variable the toolkit reads while it starts; the old value (or none) comes
// back after, since children such as xdg-open must pick their own.
class StartupVariable {
 public:
  StartupVariable(const char* name, const QByteArray& value, bool overrideUser)
      : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
    if (overrideUser || !had_) qputenv(name_, value);
  }
  ~StartupVariable() {
    if (had_) qputenv(name_, old_);
    else qunsetenv(name_);
  }
  StartupVariable(const StartupVariable&) = delete;
  StartupVariable& operator=(const StartupVariable&) = delete;

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

// Creates the application on the desktop's display; none when there is no
// usable display (a display that cannot be reached must not end the process).
// Plain widgets draw in shared memory: without these variables the toolkit
// loads the GL driver (Mesa's EGL or GLX, the DRI driver, LLVM: some 50 MB
// resident) for windows that never use it.
std::unique_ptr<QApplication> makeApplication(int& argc, char** argv, const std::string& platforms) {
  if (platforms.empty()) return nullptr;
  StartupVariable platform("QT_QPA_PLATFORM", QByteArray::fromStdString(platforms), true);
  StartupVariable xcbGL("QT_XCB_GL_INTEGRATION", "none", false);
  StartupVariable waylandGL("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", "none", false);
  auto app = std::make_unique<QApplication>(argc, argv);
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) return nullptr;
  if (QGuiApplication::platformName() == QLatin1String("wayland")) {
    // The Wayland plugin reads its variable when first asked about GL: ask now,
    // and without its warning that "none" names no integration.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.qpa.wayland.warning=false"));
    (void)QOpenGLContext::supportsThreadedOpenGL();
    QLoggingCategory::setFilterRules(QString());
  }
  return app;
}

// The controls' actions: each runs on the state thread, and nothing it throws reaches the UI.
MenuActions makeActions(const std::shared_ptr<CompanionState>& state) {
  auto onState = [executor = state->executor(), weak = std::weak_ptr<CompanionState>(state)](
                     std::function<void(CompanionState&)> fn) {
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
      asio::co_spawn(s.executor(), [self = s.shared_from_this()]() -> asio::awaitable<void> { co_await self->tick(); },
                     logFailure("refresh failed"));
    });
  };
  actions.quit = [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); };
  actions.pairingJSON = pairingSource();
  return actions;
}

// Whether the panel may be a popup the program places beside the icon: on
// X11. A Wayland compositor places windows itself, and under Xwayland the
// pointer over the bar is unknown (the popup would open far from the icon),
// so there the panel is an ordinary window with a title, which Escape or
// another click on the icon closes.
bool panelIsPopup() {
  return QGuiApplication::platformName() == QLatin1String("xcb") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Opens the panel beside the tray icon, or closes it. XEmbed hosts tell the
// icon's rectangle; StatusNotifierItem hosts only the click, which is where
// the pointer is when the activation arrives.
void togglePanel(MenuContent* panel, const QSystemTrayIcon* tray) {
  if (panel->isVisible()) return panel->hide();
  panel->adjustSize();
  if (panel->windowType() != Qt::Popup) {
    panel->show();
    panel->raise();
    panel->activateWindow();
    return;
  }
  const QRect icon = tray->geometry();
  const QRect anchor = icon.isValid() ? icon : QRect(QCursor::pos(), QSize(1, 1));
  const QScreen* screen = QGuiApplication::screenAt(anchor.center());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) panel->move(panelPosition(screen->geometry(), screen->availableGeometry(), anchor, panel->size()));
  panel->show();
  panel->raise();
  panel->activateWindow();
}

struct Tray {
  std::unique_ptr<QSystemTrayIcon> icon;
  std::unique_ptr<TrayMenu> menu;
};

// The icon, its context menu, and a click that opens the panel.
Tray makeTray(MenuContent* panel, const MenuActions& actions, QObject* receiver) {
  Tray tray{std::make_unique<QSystemTrayIcon>(), nullptr};
  QSystemTrayIcon* icon = tray.icon.get();
  icon->setIcon(menuIcon("computer.and.phone.slash", 0, desktopIsDark()));
  icon->setToolTip(QStringLiteral("Tavlo"));
  auto show = [panel, icon] {
    if (!panel->isVisible()) togglePanel(panel, icon);
  };
  // The panel with its "Pair phone" section open.
  auto pair = [panel, show] {
    if (auto* section = panel->findChild<QToolButton*>(QStringLiteral("pairToggle"))) section->setChecked(true);
    show();
  };
  tray.menu = std::make_unique<TrayMenu>(actions, show, pair);
  icon->setContextMenu(tray.menu.get());
  QObject::connect(icon, &QSystemTrayIcon::activated, receiver, [panel, icon](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) togglePanel(panel, icon);
  });
  icon->show();
  return tray;
}

// The panel and the icon follow the state: the state thread posts a snapshot
// to `receiver` after each burst of changes, while the receiver exists.
std::shared_ptr<Bridge> followState(const std::shared_ptr<CompanionState>& state, QObject* receiver,
                                    MenuContent* panel, const Tray& trayParts) {
  auto bridge = std::make_shared<Bridge>();
  bridge->receiver = receiver;
  bridge->apply = [panel, tray = trayParts.icon.get(), menu = trayParts.menu.get()](const CompanionSnapshot& s) {
    panel->setSnapshot(s);
    if (!tray) return;
    menu->setSnapshot(s);
    tray->setIcon(menuIcon(s.menuSymbol, std::min(s.recentRequests.size(), CompanionState::kMaxRecent),
                           desktopIsDark()));
    tray->setToolTip(menuTooltip(s));
  };
  const auto executor = state->executor();
  std::weak_ptr<CompanionState> weak = state;
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
  return bridge;
}

// Names the application; false when neither a tray nor a window was asked for.
bool prepareApplication(bool haveTray, bool showPanel) {
  if (!haveTray && !showPanel) return false;
  QApplication::setApplicationName(QStringLiteral("Tavlo"));
  QApplication::setDesktopFileName(QStringLiteral("tavlo-companion"));
  QApplication::setQuitOnLastWindowClosed(!haveTray);
  ensureIconResources();
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tavlo-companion.svg")));
  return true;
}

// The event loop, unless the companion stopped before it could start.
int runLoop(QObject* receiver) {
  Loop& loop = trayLoop();
  {
    std::lock_guard lock(loop.mutex);
    if (loop.ended) return 0;
    loop.receiver = receiver;
  }
  const int status = QApplication::exec();
  std::lock_guard lock(loop.mutex);
  loop.receiver = nullptr;
  return status;
}

}  // namespace

void endTrayLoop() {
  Loop& loop = trayLoop();
  std::lock_guard lock(loop.mutex);
  loop.ended = true;
  if (loop.receiver) QMetaObject::invokeMethod(loop.receiver, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

void setPairingSource(std::function<std::string()> source) { pairingSource() = std::move(source); }

int runTrayApp(int& argc, char** argv, std::shared_ptr<CompanionState> state, std::function<void()> stopNow,
               bool showPanel, const std::string& platforms) {
  StopOnLostDisplay lostDisplay(std::move(stopNow));
  std::unique_ptr<QApplication> ownApp;
  if (!QApplication::instance()) {
    ownApp = makeApplication(argc, argv, platforms);
    if (!ownApp) return kNoDisplay;
  }
  const bool haveTray = QSystemTrayIcon::isSystemTrayAvailable();
  if (!prepareApplication(haveTray, showPanel)) return kNoTray;

  const MenuActions actions = makeActions(state);
  auto receiver = std::make_unique<QObject>();
  auto panel = std::make_unique<MenuContent>(actions);
  panel->setWindowTitle(QStringLiteral("Tavlo"));
  if (!showPanel && panelIsPopup()) {
    panel->setWindowFlags(Qt::Popup);
  } else if (!showPanel) {
    auto* close = new QAction(panel.get());
    close->setShortcut(Qt::Key_Escape);
    QObject::connect(close, &QAction::triggered, panel.get(), &QWidget::hide);
    panel->addAction(close);
  }
  Tray tray;
  if (haveTray) tray = makeTray(panel.get(), actions, receiver.get());
  if (showPanel) panel->show();
  auto bridge = followState(state, receiver.get(), panel.get(), tray);

  const int status = runLoop(receiver.get());
  {
    std::lock_guard lock(bridge->mutex);
    bridge->receiver = nullptr;
  }
  receiver.reset();
  tray = {};
  panel.reset();
  return status;
}

}  // namespace tavlo
