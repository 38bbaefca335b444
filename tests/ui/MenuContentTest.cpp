#include "ui/MenuContent.hpp"

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include "UITestSupport.hpp"
#include "ui/ElidedLabel.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::string>;
const auto kNow = std::chrono::system_clock::time_point(1767225600s);

class MenuContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::offscreenApp();
    MenuActions a;
    auto record = [this](std::string what) { return [this, what] { log.push_back(what); }; };
    a.openStagingFolder = record("staging"), a.openTailscaleApp = record("tailscale"), a.refresh = record("refresh");
    a.openOllamaWebsite = record("ollama"), a.openTavloSite = record("site"), a.quit = record("quit");
    a.selectModel = [this](const LLMModel& m) { log.push_back("select " + m.id); };
    a.stopRequest = [this](std::uint64_t id) { log.push_back("stop " + std::to_string(id)); };
    a.pairingJSON = [this] { return pairing; };
    panel = std::make_unique<MenuContent>(a);
    panel->setClock([] { return kNow; });
    panel->show();
  }
  void show(const CompanionSnapshot& s) {
    panel->setSnapshot(s);
    QApplication::processEvents();
  }
  template <class W = QWidget>
  W* child(const char* name, QWidget* in = nullptr) { return (in ? in : panel.get())->findChild<W*>(name); }
  QString text(const char* name, QWidget* in) { return child<ElidedLabel>(name, in)->fullText(); }
  QList<QPushButton*> modelRows() { return panel->findChildren<QPushButton*>("modelRow"); }

  Log log;
  std::string pairing;
  std::unique_ptr<MenuContent> panel;
};

// Each status row: its dot, detail text, trailing text, and the button that shows (and what it calls).
TEST_F(MenuContentTest, StatusRowsInEachState) {
  using TS = TailscaleStatus;
  auto snap = [](bool running, TS t) {
    CompanionSnapshot s;
    s.serverRunning = running, s.serverPort = 18765, s.tailscaleStatus = t;
    return s;
  };
  const QString ip = "100.101.102.103", host = "studio.tail1234.ts.net";
  auto connected = [&](std::optional<std::string> h) { return TS::connected(ip.toStdString(), h); };
  auto waiting = snap(false, {});
  waiting.lastError = "Address already in use";
  const struct { const char* row; CompanionSnapshot s; const char* dot; QString detail, button, trailing; Log click; }
  cases[] = {
      {"serverRow", snap(false, {}), "down", "stopped", "", "", {}},
      {"serverRow", snap(true, {}), "ok", "port 18765", "Staging", "", {"staging"}},
      {"serverRow", waiting, "checking", "waiting for port 18765", "", "Address already in use", {}},
      {"tailscaleRow", snap(true, TS::unknown()), "checking", QString::fromUtf8("checking\u2026"), "", "", {}},
      {"tailscaleRow", snap(true, TS::notInstalled()), "down", "not installed", "Install", "", {"tailscale"}},
      {"tailscaleRow", snap(true, TS::stopped()), "down", "turned off", "Open", "", {"tailscale"}},
      {"tailscaleRow", snap(true, connected(std::nullopt)), "ok", ip, "", "", {}},
      {"tailscaleRow", snap(true, connected(host.toStdString())), "ok", ip, "", host, {}},
  };
  for (const auto& c : cases) {
    show(c.s);
    SCOPED_TRACE(std::string(c.row) + " " + c.detail.toStdString());
    QWidget* row = child(c.row);
    EXPECT_EQ(child("liveTag")->isVisible(), c.s.serverRunning);
    EXPECT_EQ(child("dot", row)->property("indicator").toString(), c.dot);
    EXPECT_EQ(text("detail", row), c.detail);
    EXPECT_EQ(child("trailing", row)->isVisible() ? text("trailing", row) : QString(), c.trailing);
    auto* b = child<QPushButton>("action", row);
    EXPECT_EQ(b->isVisible() ? b->text() : QString(), c.button);
    log.clear();
    if (b->isVisible()) QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_EQ(log, c.click);
  }
}

TEST_F(MenuContentTest, NoModelsShowsTheHintThenRowsSelectOnClick) {
  CompanionSnapshot s;
  show(s);  // no models
  EXPECT_TRUE(child("emptyModelsHint")->isVisible());
  EXPECT_EQ(child<QLabel>("pullCommand")->text(), "ollama pull qwen3-coder");
  EXPECT_TRUE(modelRows().isEmpty());
  QTest::mouseClick(child<QPushButton>("installOllama"), Qt::LeftButton);
  QTest::mouseClick(child<QToolButton>("refreshButton"), Qt::LeftButton);
  EXPECT_EQ(log, (Log{"ollama", "refresh"}));

  log.clear();
  s.allModels = {{"claude:cli", LLMModel::Provider::claude, "Claude Code", "CLI"},
                 {"ollama:qwen3-coder", LLMModel::Provider::ollama, "qwen3-coder", "18.6 GB"},
                 {"lmstudio:gemma", LLMModel::Provider::lmstudio, "gemma", std::nullopt}};
  s.selectedModelID = "ollama:qwen3-coder";
  show(s);
  EXPECT_FALSE(child("emptyModelsHint")->isVisible());
  auto rows = modelRows();
  ASSERT_EQ(rows.size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rows[i]->property("selected").toBool(), i == 1) << i;
  EXPECT_EQ(text("name", rows[1]), "qwen3-coder");
  EXPECT_EQ(text("subtitle", rows[1]), "18.6 GB");
  EXPECT_TRUE(child<QLabel>("providerTag", rows[1])->text().endsWith("Ollama"));
  EXPECT_EQ(child("subtitle", rows[2]), nullptr);  // only the provider tag
  EXPECT_TRUE(child<QLabel>("providerTag", rows[2])->text().endsWith("LM Studio"));
  QTest::mouseClick(rows[2], Qt::LeftButton, {}, rows[2]->rect().center());
  EXPECT_EQ(log, Log{"select lmstudio:gemma"});

  s.selectedModelID = "ollama:gone";  // matches nothing: no row is marked
  show(s);
  for (auto* r : modelRows()) EXPECT_FALSE(r->property("selected").toBool());
}

TEST_F(MenuContentTest, RunningRequestsAboveTheRecentOnesWithStopAndQuitQuits) {
  CompanionSnapshot s;
  show(s);
  EXPECT_FALSE(child("recentBlock")->isVisible());
  EXPECT_FALSE(child("runningBlock")->isVisible());
  s.runningRequests = {{7, "hide banners", "claude:cli", kNow - 12s, false}, {9, "dark mode", "claude:cli", kNow, true}};
  show(s);
  auto running = panel->findChildren<QWidget*>("runningRow");
  ASSERT_EQ(running.size(), 2);
  EXPECT_EQ(text("prompt", running[0]), "hide banners");
  EXPECT_EQ(text("detail", running[0]), "claude:cli \u00b7 12 s");
  EXPECT_EQ(text("detail", running[1]), "claude:cli \u00b7 waiting, 0 s");
  QTest::mouseClick(child<QPushButton>("stopButton", running[1]), Qt::LeftButton);
  EXPECT_EQ(log, Log{"stop 9"});
  log.clear();
  for (int i = 0; i < 5; ++i)
    s.recentRequests.push_back({"id" + std::to_string(i), "prompt " + std::to_string(i), "ollama:x", kNow - i * 2min});
  s.recentRequests[0].prompt = "first line\nsecond line";
  show(s);
  EXPECT_TRUE(child("recentBlock")->isVisible());
  EXPECT_LT(child("runningBlock")->geometry().top(), child("recentBlock")->geometry().top());
  EXPECT_EQ(child<QLabel>("recentHeading")->text(), "RECENT");
  auto rows = panel->findChildren<QWidget*>("recentRow");
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(text("prompt", rows[0]), "first line second line");
  EXPECT_EQ(text("prompt", rows[1]), "prompt 1");
  EXPECT_EQ(child<QLabel>("time", rows[0])->text(), "now");
  EXPECT_EQ(child<QLabel>("time", rows[2])->text(), "4m");

  for (auto* b : panel->findChildren<QPushButton*>())
    if (b->text() == "Quit Tavlo") QTest::mouseClick(b, Qt::LeftButton);
  EXPECT_EQ(log, Log{"quit"});
}

TEST_F(MenuContentTest, LongTextsAreCutAndLongListsScroll) {
  CompanionSnapshot s;
  s.serverRunning = true;
  for (int i = 0; i < 200; ++i)
    s.allModels.push_back({"ollama:m" + std::to_string(i), LLMModel::Provider::ollama,
                           i == 0 ? std::string(300, 'n') : "m" + std::to_string(i), std::string(120, 's')});
  s.tailscaleStatus = TailscaleStatus::connected("100.64.0.1", std::string(250, 'h') + ".ts.net");
  s.recentRequests.push_back({"r", "\u05e9\u05dc\u05d5\u05dd " + std::string(400, 'x'), "ollama:m0", kNow});
  show(s);
  panel->adjustSize();
  QApplication::processEvents();
  EXPECT_EQ(panel->width(), 340);
  EXPECT_LT(panel->height(), 1000);
  const QString name = child<ElidedLabel>("name", modelRows()[0])->text();
  EXPECT_TRUE(name.size() < 300 && name.endsWith(QChar(0x2026))) << name.toStdString();
  EXPECT_GT(child<QScrollArea>("modelList")->verticalScrollBar()->maximum(), 0);
  // The host name never pushes the IP address out of the row.
  auto* r = child("tailscaleRow");
  auto* ip = child<ElidedLabel>("detail", r);
  EXPECT_EQ(ip->text(), "100.64.0.1");
  EXPECT_LE(child("trailing", r)->geometry().right(), ip->geometry().left());
  EXPECT_LE(ip->geometry().right(), r->width());
}

TEST_F(MenuContentTest, PairSectionShowsTheRecordAsQRCode) {
  pairing = R"({"mac.hostname":"studio","mac.lan_ip":"192.168.1.20","mac.port":18765})";
  show(CompanionSnapshot{});
  EXPECT_FALSE(child("pairBox")->isVisible());
  QTest::mouseClick(child<QToolButton>("pairToggle"), Qt::LeftButton);
  EXPECT_TRUE(child("pairBox")->isVisible());
  auto* qr = child<QLabel>("pairQR");
  EXPECT_TRUE(!qr->pixmap().isNull() && qr->pixmap().width() <= 316);
  EXPECT_EQ(child<QLabel>("pairDetails")->text(), QString::fromUtf8("Host: studio\nLAN: 192.168.1.20  port 18765\n"
                                                                     "Tailscale: \u2013 \u2013"));
  pairing = "";  // not published yet
  show(CompanionSnapshot{});
  EXPECT_TRUE(qr->pixmap().isNull());
}

TEST(MenuContentRelativeTime, NarrowUnits) {
  for (auto [age, text] : {std::pair<std::chrono::seconds, const char*>{-5s, "now"}, {45s, "45s"}, {179s, "2m"},
                           {3h, "3h"}, {49h, "2d"}})
    EXPECT_EQ(MenuContent::relativeTime(age), text) << text;
}

}  // namespace
}  // namespace tavlo
