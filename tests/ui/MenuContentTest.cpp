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
const auto kNow = std::chrono::system_clock::time_point(1767225600s);

LLMModel model(std::string id, LLMModel::Provider p, std::string name, std::optional<std::string> subtitle = {}) {
  return {std::move(id), p, std::move(name), std::move(subtitle)};
}

std::vector<LLMModel> someModels() {
  return {model("claude:cli", LLMModel::Provider::claude, "Claude Code", "CLI"),
          model("ollama:qwen3-coder", LLMModel::Provider::ollama, "qwen3-coder", "18.6 GB"),
          model("lmstudio:gemma", LLMModel::Provider::lmstudio, "gemma")};
}

struct Calls {
  std::vector<std::string> log;
};

class MenuContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::offscreenApp();
    MenuActions a;
    auto record = [this](std::string what) { return [this, what] { calls.log.push_back(what); }; };
    a.openStagingFolder = record("staging");
    a.openTailscaleApp = record("tailscale");
    a.refresh = record("refresh");
    a.openOllamaWebsite = record("ollama");
    a.openTavloSite = record("site");
    a.quit = record("quit");
    a.selectModel = [this](const LLMModel& m) { calls.log.push_back("select " + m.id); };
    a.pairingJSON = [this] { return pairing; };
    panel = std::make_unique<MenuContent>(a);
    panel->setClock([] { return kNow; });
    panel->show();
  }

  void show(const CompanionSnapshot& s) {
    panel->setSnapshot(s);
    QApplication::processEvents();
  }

  QWidget* row(const char* name) { return panel->findChild<QWidget*>(name); }
  static QString detail(QWidget* row) { return row->findChild<ElidedLabel*>("detail")->fullText(); }
  static QString dot(QWidget* row) { return row->findChild<QLabel*>("dot")->property("indicator").toString(); }
  static QPushButton* button(QWidget* row) {
    auto* b = row->findChild<QPushButton*>("action");
    return b->isVisible() ? b : nullptr;
  }
  QList<QPushButton*> modelRows() { return panel->findChildren<QPushButton*>("modelRow"); }
  QPushButton* buttonTitled(const QString& title) {
    for (auto* b : panel->findChildren<QPushButton*>())
      if (b->text() == title) return b;
    return nullptr;
  }

  Calls calls;
  std::string pairing;
  std::unique_ptr<MenuContent> panel;
};

TEST_F(MenuContentTest, ServerRowFollowsTheServer) {
  CompanionSnapshot s;
  show(s);
  EXPECT_FALSE(panel->findChild<QLabel*>("liveTag")->isVisible());
  EXPECT_EQ(dot(row("serverRow")), "down");
  EXPECT_EQ(detail(row("serverRow")), "stopped");
  EXPECT_EQ(button(row("serverRow")), nullptr);

  s.serverRunning = true;
  s.serverPort = 18765;
  show(s);
  EXPECT_TRUE(panel->findChild<QLabel*>("liveTag")->isVisible());
  EXPECT_EQ(dot(row("serverRow")), "ok");
  EXPECT_EQ(detail(row("serverRow")), "port 18765");
  ASSERT_NE(button(row("serverRow")), nullptr);
  EXPECT_EQ(button(row("serverRow"))->text(), "Staging");
  QTest::mouseClick(button(row("serverRow")), Qt::LeftButton);
  EXPECT_EQ(calls.log, std::vector<std::string>{"staging"});
  EXPECT_EQ(panel->width(), 340);
  EXPECT_EQ(panel->findChild<QLabel*>("title")->text(), "Tavlo");
  EXPECT_EQ(panel->findChild<QLabel*>("subtitle")->text(), "Desktop companion");
}

TEST_F(MenuContentTest, TailscaleRowInEachState) {
  struct Case {
    TailscaleStatus status;
    const char* indicator;
    QString detail, button, trailing;
  };
  const std::vector<Case> cases{
      {TailscaleStatus::unknown(), "checking", QString::fromUtf8("checking\u2026"), "", ""},
      {TailscaleStatus::notInstalled(), "down", "not installed", "Install", ""},
      {TailscaleStatus::stopped(), "down", "turned off", "Open", ""},
      {TailscaleStatus::connected("100.101.102.103", std::nullopt), "ok", "100.101.102.103", "", ""},
      {TailscaleStatus::connected("100.101.102.103", "studio.tail1234.ts.net"), "ok", "100.101.102.103", "",
       "studio.tail1234.ts.net"},
  };
  for (const auto& c : cases) {
    CompanionSnapshot s;
    s.tailscaleStatus = c.status;
    show(s);
    auto* r = row("tailscaleRow");
    SCOPED_TRACE(c.detail.toStdString());
    EXPECT_EQ(dot(r), c.indicator);
    EXPECT_EQ(detail(r), c.detail);
    EXPECT_EQ(button(r) ? button(r)->text() : QString(), c.button);
    auto* trailing = r->findChild<ElidedLabel*>("trailing");
    EXPECT_EQ(trailing->isVisible() ? trailing->fullText() : QString(), c.trailing);
    if (button(r)) {
      calls.log.clear();
      QTest::mouseClick(button(r), Qt::LeftButton);
      EXPECT_EQ(calls.log, std::vector<std::string>{"tailscale"});
    }
  }
}

TEST_F(MenuContentTest, NoModelsShowsTheHint) {
  show(CompanionSnapshot{});
  auto* hint = panel->findChild<QWidget*>("emptyModelsHint");
  EXPECT_TRUE(hint->isVisible());
  EXPECT_EQ(panel->findChild<QLabel*>("pullCommand")->text(), "ollama pull qwen3-coder");
  EXPECT_TRUE(panel->findChild<QLabel*>("modelHeader")->isVisible());
  EXPECT_TRUE(panel->findChild<QToolButton*>("refreshButton")->isVisible());
  EXPECT_TRUE(modelRows().isEmpty());
  QTest::mouseClick(panel->findChild<QPushButton*>("installOllama"), Qt::LeftButton);
  QTest::mouseClick(panel->findChild<QToolButton*>("refreshButton"), Qt::LeftButton);
  EXPECT_EQ(calls.log, (std::vector<std::string>{"ollama", "refresh"}));
}

TEST_F(MenuContentTest, ModelRowsMarkTheSelectionAndSelectOnClick) {
  CompanionSnapshot s;
  s.allModels = someModels();
  s.selectedModelID = "ollama:qwen3-coder";
  show(s);
  EXPECT_FALSE(panel->findChild<QWidget*>("emptyModelsHint")->isVisible());
  auto rows = modelRows();
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0]->property("modelID").toString(), "claude:cli");
  EXPECT_FALSE(rows[0]->property("selected").toBool());
  EXPECT_TRUE(rows[1]->property("selected").toBool());
  EXPECT_EQ(rows[1]->findChild<ElidedLabel*>("name")->fullText(), "qwen3-coder");
  EXPECT_TRUE(rows[1]->findChild<QLabel*>("providerTag")->text().endsWith("Ollama"));
  EXPECT_EQ(rows[1]->findChild<ElidedLabel*>("subtitle")->fullText(), "18.6 GB");
  // No subtitle: only the provider tag under the name.
  EXPECT_EQ(rows[2]->findChild<ElidedLabel*>("subtitle"), nullptr);
  EXPECT_TRUE(rows[2]->findChild<QLabel*>("providerTag")->text().endsWith("LM Studio"));

  QTest::mouseClick(rows[2], Qt::LeftButton, {}, rows[2]->rect().center());
  EXPECT_EQ(calls.log, std::vector<std::string>{"select lmstudio:gemma"});

  s.selectedModelID = "ollama:gone";
  show(s);
  for (auto* r : modelRows()) EXPECT_FALSE(r->property("selected").toBool());
}

TEST_F(MenuContentTest, RecentBlockListsTheThreeNewest) {
  CompanionSnapshot s;
  show(s);
  EXPECT_FALSE(panel->findChild<QWidget*>("recentBlock")->isVisible());

  for (int i = 0; i < 5; ++i)
    s.recentRequests.push_back({"id" + std::to_string(i), "prompt " + std::to_string(i), "ollama:x", kNow - i * 2min});
  s.recentRequests[0].prompt = "first line\nsecond line";
  show(s);
  EXPECT_TRUE(panel->findChild<QWidget*>("recentBlock")->isVisible());
  EXPECT_EQ(panel->findChild<QLabel*>("recentHeading")->text(), "RECENT");
  auto rows = panel->findChildren<QWidget*>("recentRow");
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0]->findChild<ElidedLabel*>("prompt")->fullText(), "first line second line");
  EXPECT_EQ(rows[1]->findChild<ElidedLabel*>("prompt")->fullText(), "prompt 1");
  EXPECT_EQ(rows[0]->findChild<QLabel*>("time")->text(), "now");
  EXPECT_EQ(rows[2]->findChild<QLabel*>("time")->text(), "4m");
}

TEST_F(MenuContentTest, ActionRowsAndQuit) {
  show(CompanionSnapshot{});
  QTest::mouseClick(buttonTitled("Open Tavlo site"), Qt::LeftButton);
  QTest::mouseClick(buttonTitled("Open staging folder"), Qt::LeftButton);
  QTest::mouseClick(buttonTitled("Quit Tavlo"), Qt::LeftButton);
  EXPECT_EQ(calls.log, (std::vector<std::string>{"site", "staging", "quit"}));
}

TEST_F(MenuContentTest, LongTextsAreCutAndLongListsScroll) {
  CompanionSnapshot s;
  s.serverRunning = true;
  for (int i = 0; i < 200; ++i)
    s.allModels.push_back(model("ollama:m" + std::to_string(i), LLMModel::Provider::ollama,
                                i == 0 ? std::string(300, 'n') : "m" + std::to_string(i), std::string(120, 's')));
  s.tailscaleStatus = TailscaleStatus::connected("100.64.0.1", std::string(250, 'h') + ".ts.net");
  s.recentRequests.push_back({"r", "\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd " + std::string(400, 'x'),
                              "ollama:m0", kNow});
  show(s);
  panel->adjustSize();
  QApplication::processEvents();
  EXPECT_EQ(panel->width(), 340);
  EXPECT_LT(panel->height(), 1000);
  auto* name = modelRows()[0]->findChild<ElidedLabel*>("name");
  EXPECT_LT(name->text().size(), 300);
  EXPECT_TRUE(name->text().endsWith(QChar(0x2026)));
  auto* scroll = panel->findChild<QScrollArea*>("modelList");
  EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
  // The host name never pushes the IP address out of the row.
  auto* r = row("tailscaleRow");
  auto* ip = r->findChild<ElidedLabel*>("detail");
  EXPECT_EQ(ip->text(), "100.64.0.1");
  EXPECT_LE(r->findChild<ElidedLabel*>("trailing")->geometry().right(), ip->geometry().left());
  EXPECT_LE(ip->geometry().right(), r->width());
}

TEST_F(MenuContentTest, PairSectionShowsTheRecordAsQRCode) {
  pairing = R"({"mac.hostname":"studio","mac.lan_ip":"192.168.1.20","mac.port":18765,)"
            R"("mac.tailscale_hostname":null,"mac.tailscale_ip":null,"mac.updated_at":1767225600.0})";
  show(CompanionSnapshot{});
  auto* box = panel->findChild<QWidget*>("pairBox");
  EXPECT_FALSE(box->isVisible());
  QTest::mouseClick(panel->findChild<QToolButton*>("pairToggle"), Qt::LeftButton);
  EXPECT_TRUE(box->isVisible());
  auto* qr = panel->findChild<QLabel*>("pairQR");
  EXPECT_FALSE(qr->pixmap().isNull());
  EXPECT_LE(qr->pixmap().width(), 316);
  const QString details = panel->findChild<QLabel*>("pairDetails")->text();
  EXPECT_TRUE(details.contains("studio"));
  EXPECT_TRUE(details.contains("192.168.1.20"));
  EXPECT_TRUE(details.contains("18765"));

  pairing = "";  // not published yet
  show(CompanionSnapshot{});
  EXPECT_TRUE(qr->pixmap().isNull());
}

TEST(MenuContentRelativeTime, NarrowUnits) {
  using namespace std::chrono;
  EXPECT_EQ(MenuContent::relativeTime(-5s), "now");
  EXPECT_EQ(MenuContent::relativeTime(45s), "45s");
  EXPECT_EQ(MenuContent::relativeTime(2min + 59s), "2m");
  EXPECT_EQ(MenuContent::relativeTime(3h), "3h");
  EXPECT_EQ(MenuContent::relativeTime(49h), "2d");
}

}  // namespace
}  // namespace tavlo
