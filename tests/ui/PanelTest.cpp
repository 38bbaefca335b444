// The panel, the icon, where the panel opens, and the shell with a running CompanionState, offscreen
// (the real tray hosts and notification server are in tests/e2e/test_desktop.py).
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include "platform/Cancellation.hpp"
#include "support/TestSupport.hpp"
#include "ui/ElidedLabel.hpp"
#include "ui/MenuContent.hpp"
#include "ui/MenuLabel.hpp"
#include "ui/PanelPlacement.hpp"
#include "ui/TavloCompanionApp.hpp"

namespace tavlo {
namespace {

using Log = std::vector<std::string>;
const auto kNow = std::chrono::system_clock::time_point(1767225600s);

class MenuContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MenuActions a;
    auto record = [this](std::string what) { return [this, what] { log.push_back(what); }; };
    a.openStagingFolder = record("staging"), a.openTailscaleApp = record("tailscale"), a.refresh = record("refresh");
    a.openOllamaWebsite = record("ollama"), a.quit = record("quit");
    a.selectModel = [this](const LLMModel& m) { log.push_back("select " + m.id); };
    a.stopRequest = [this](std::uint64_t id) { log.push_back("stop " + std::to_string(id)); };
    a.pairingJSON = [this] { return pairing; };
    panel = std::make_unique<MenuContent>(a);
    panel->setClock([] { return kNow; });
    panel->show();
  }
  void show(const CompanionSnapshot& s) { panel->setSnapshot(s), QApplication::processEvents(); }
  template <class W = QWidget>
  W* child(const char* name, QWidget* in = nullptr) { return (in ? in : panel.get())->findChild<W*>(name); }
  QList<QPushButton*> rows() { return panel->findChildren<QPushButton*>("modelRow"); }
  void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }

  Log log;
  std::string pairing;
  std::unique_ptr<MenuContent> panel;
};

// Each status row: its dot, and the button that shows and what it calls.
TEST_F(MenuContentTest, StatusRowsInEachState) {
  using TS = TailscaleStatus;
  auto snap = [](bool running, TS t, std::optional<std::string> error = {}) {
    CompanionSnapshot s;
    s.serverRunning = running, s.tailscaleStatus = t, s.lastError = error;
    return s;
  };
  const struct { const char* row; CompanionSnapshot s; const char* dot; Log click; } cases[] = {
      {"serverRow", snap(false, {}), "down", {}},
      {"serverRow", snap(true, {}), "ok", {"staging"}},
      {"serverRow", snap(false, {}, "Address already in use"), "checking", {}},
      {"tailscaleRow", snap(true, TS::notInstalled()), "down", {"tailscale"}},
      {"tailscaleRow", snap(true, TS::connected("100.64.0.1", "box.ts.net")), "ok", {}},
  };
  for (const auto& c : cases) {
    show(c.s);
    SCOPED_TRACE(std::string(c.row) + " " + c.dot);
    QWidget* row = child(c.row);
    EXPECT_EQ(child("dot", row)->property("indicator").toString(), c.dot);
    log.clear();
    if (auto* b = child<QPushButton>("action", row); b->isVisible()) click(b);
    EXPECT_EQ(log, c.click);
  }
}

// The pair section shows the record as a QR code once it is published.
TEST_F(MenuContentTest, EmptyListHintThenRowsSelectOnClickAndThePairQRCode) {
  pairing = R"({"mac.hostname":"studio","mac.lan_ip":"192.168.1.20","mac.port":18765})";
  CompanionSnapshot s;
  show(s);
  EXPECT_TRUE(child("emptyModelsHint")->isVisible());
  click(child<QToolButton>("pairToggle"));
  auto* qr = child<QLabel>("pairQR");
  EXPECT_TRUE(!qr->pixmap().isNull() && child<QLabel>("pairDetails")->text().contains("192.168.1.20  port 18765"));
  EXPECT_TRUE(child<QLabel>("pairDetails")->text().endsWith("phone connects to 192.168.1.20:18765 (LAN)"));
  click(child<QPushButton>("installOllama"));
  click(child<QToolButton>("refreshButton"));
  s.allModels = {{"claude:cli", LLMModel::Provider::claude, "Claude Code", "CLI"},
                 {"lmstudio:gemma", LLMModel::Provider::lmstudio, "gemma", std::nullopt}};
  s.selectedModelID = "claude:cli";
  pairing = "";  // not published yet
  show(s);
  EXPECT_TRUE(qr->pixmap().isNull());
  ASSERT_EQ(rows().size(), 2);
  EXPECT_TRUE(rows()[0]->property("selected").toBool() && !rows()[1]->property("selected").toBool());
  click(rows()[1]);
  EXPECT_EQ(log, (Log{"ollama", "refresh", "select lmstudio:gemma"}));
}

// Long texts are cut and long lists scroll.
TEST_F(MenuContentTest, RequestListsWithStopAndQuitAndLongTexts) {
  CompanionSnapshot s;
  for (int i = 0; i < 200; ++i)
    s.allModels.push_back({"ollama:m" + std::to_string(i), LLMModel::Provider::ollama, std::string(300, 'n'), "s"});
  s.tailscaleStatus = TailscaleStatus::connected("100.64.0.1", std::string(250, 'h') + ".ts.net");
  auto talking = std::make_shared<Cancellation>();  // a tool's last words show in its row
  talking->setLastWords("Reconnecting... 3/5");
  s.runningRequests = {{7, "hide banners", "claude:cli", kNow - 12s, false, talking}, {9, "dark", "claude:cli", kNow, true}};
  for (int i = 0; i < 5; ++i)
    s.recentRequests.push_back({"id" + std::to_string(i), "prompt " + std::to_string(i), "ollama:x", kNow - i * 2min});
  s.recentRequests[0].prompt = "first line\nsecond line";
  show(s);
  auto running = panel->findChildren<QWidget*>("runningRow");
  ASSERT_EQ(running.size(), 2);
  EXPECT_EQ(child<ElidedLabel>("detail", running[0])->fullText(), "claude:cli \u00b7 12 s \u00b7 Reconnecting... 3/5");
  click(child<QPushButton>("stopButton", running[1]));
  EXPECT_LT(child("runningBlock")->geometry().top(), child("recentBlock")->geometry().top());
  auto recent = panel->findChildren<QWidget*>("recentRow");
  ASSERT_EQ(recent.size(), 3);
  EXPECT_EQ(child<ElidedLabel>("prompt", recent[0])->fullText(), "first line second line");
  click(child<QPushButton>("quitButton"));
  EXPECT_EQ(log, (Log{"stop 9", "quit"}));
  panel->adjustSize(), QApplication::processEvents();
  EXPECT_TRUE(child<ElidedLabel>("name", rows()[0])->text().endsWith(QChar(0x2026)));
  EXPECT_GT(child<QScrollArea>("modelList")->verticalScrollBar()->maximum(), 0);
  // The host name never pushes the IP address out of the row.
  auto *r = child("tailscaleRow"), *ip = child("detail", r);
  EXPECT_EQ(static_cast<QLabel*>(ip)->text(), "100.64.0.1");
  EXPECT_LE(child("trailing", r)->geometry().right(), ip->geometry().left());
}

QImage image(const char* symbol, std::size_t count = 0, bool dark = false) {
  return menuIcon(symbol, count, dark).pixmap(32, 32).toImage();
}

TEST(MenuLabel, EachStateItsIconWithTheCountDrawnInAndItsTooltip) {
  const QImage down = image("computer.and.phone.slash"), linked = image("computer.and.phone"), up = image("computer");
  EXPECT_TRUE(down != linked && linked != up && up != down && up != image("computer", 0, true));
  EXPECT_EQ(image(""), down);  // an unexpected symbol shows "server down" rather than nothing
  // The badge sits in the lower right corner and leaves the top left alone.
  const QImage one = image("computer", 1);
  EXPECT_TRUE(one != image("computer", 12) && up.pixel(4, 4) == one.pixel(4, 4));
  EXPECT_NE(up.pixel(28, 28), one.pixel(28, 28));
  // The tooltip says "Generating…" while a request runs or waits.
  CompanionSnapshot s;
  s.serverRunning = true;
  EXPECT_FALSE(menuTooltip(s).contains(QString::fromUtf8("Generating")));
  s.runningRequests.push_back({1, "p", "ollama:x", {}, true});
  EXPECT_TRUE(menuTooltip(s).contains(QString::fromUtf8("Generating\u2026")));
}

// An 800x600 screen; the bar's strut is what `available` leaves out (a top bar:
// the end-to-end desktop tests).
TEST(PanelPlacement, BesideTheTrayNeverOverTheBar) {
  const QRect screen(0, 0, 800, 600), click(700, 15, 1, 1);
  const QSize panel(340, 400);
  const struct { const char* what; QRect screen, available, anchor; QSize panel; QPoint at; } cases[] = {
      {"bottom bar", screen, {0, 0, 800, 570}, {700, 585, 1, 1}, panel, {361, 170}},
      {"left bar, low click", screen, {40, 0, 760, 600}, {20, 500, 1, 1}, panel, {40, 101}},
      {"right bar, high click", screen, {0, 0, 760, 600}, {780, 10, 1, 1}, panel, {420, 10}},
      {"icon in a bar that reserves nothing: below it", screen, screen, {760, 0, 24, 24}, panel, {444, 24}},
      {"icon low on the screen: above it", screen, screen, {10, 576, 24, 24}, panel, {10, 176}},
      {"taller than the room: from its top", screen, {0, 31, 800, 569}, click, {340, 700}, {361, 31}},
      {"no usable work area: the screen", screen, {}, {700, 599, 1, 1}, panel, {361, 199}},
      {"second screen", {800, 0, 1024, 768}, {800, 30, 1024, 738}, {1800, 10, 1, 1}, panel, {1461, 30}},
  };
  for (const auto& c : cases) {
    const QPoint at = panelPosition(c.screen, c.available, c.anchor, c.panel);
    EXPECT_EQ(at, c.at) << c.what << ": " << at.x() << "," << at.y();
    EXPECT_FALSE(QRect(at, c.panel).intersects(c.anchor)) << c.what;
  }
}

// No server, no other models. The toolkit's word of a broken display stops the companion once; Quit ends the loop.
TEST(TavloCompanionApp, PanelFollowsTheStateAndALostDisplayStopsIt) {
  CompanionServices s;
  using Models = std::vector<LLMModel>;
  s.ollamaProbe = []() -> asio::awaitable<Models> {
    co_return Models{{"ollama:qwen3-coder", LLMModel::Provider::ollama, "qwen3-coder", "18.6 GB"},
                     {"ollama:llama3.2", LLMModel::Provider::ollama, "llama3.2", std::nullopt}};
  };
  testing::TempDir staging;
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  auto state = std::make_shared<CompanionState>(io.get_executor(), s, staging.path().string());
  asio::post(io, [state] { state->start(); });
  std::thread worker([&] { io.run(); });
  int stops = 0;
  QTimer::singleShot(0, [&] {
    MenuContent* panel = nullptr;
    auto rows = [&] { return panel->findChildren<QPushButton*>("modelRow"); };
    ASSERT_TRUE(testing::waitUntil([&] {
      QApplication::processEvents();
      for (auto* w : QApplication::topLevelWidgets()) panel = panel ? panel : qobject_cast<MenuContent*>(w);
      return panel && rows().size() == 2;
    })) << "the state's snapshot never reached the panel";
    rows()[1]->click();
    ASSERT_TRUE(testing::waitUntil([&] { return QApplication::processEvents(), rows()[1]->property("selected").toBool(); }));
    for (int i = 0; i < 2; ++i) qWarning("The Wayland connection broke. Did the Wayland compositor die?");
    panel->findChild<QPushButton*>("quitButton")->click();
  });
  int argc = 1;
  char name[] = "tavlo-companion", *argv[] = {name, nullptr};
  EXPECT_EQ(runTrayApp(argc, argv, state, [&] { ++stops; }, true), 0);
  EXPECT_EQ(stops, 1);
  std::string selected;  // read on the state's thread: every build checks that
  asio::post(io, [&] { selected = state->selectedModelID(), state->shutdown(), work.reset(); });
  worker.join();
  EXPECT_EQ(selected, "ollama:llama3.2");
}

}  // namespace
}  // namespace tavlo

// One offscreen application for the whole program.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
