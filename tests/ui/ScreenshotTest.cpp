// Renders the panel in three states to PNG files, the pictures the README
// shows. TAVLO_SCREENSHOT_DIR chooses where they go (default: a temp folder).
#include <QDir>
#include <QImage>
#include <QSet>

#include "UITestSupport.hpp"
#include "ui/MenuContent.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

TEST(Screenshot, PanelInThreeStates) {
  test::offscreenApp();
  const QString dir = qEnvironmentVariable("TAVLO_SCREENSHOT_DIR", QDir::tempPath());
  const auto now = std::chrono::system_clock::now();
  CompanionSnapshot connected, noModels;
  connected.serverRunning = noModels.serverRunning = true;
  connected.menuSymbol = "macbook.and.iphone";
  connected.tailscaleStatus = TailscaleStatus::connected("100.101.102.103", "studio.tail1234.ts.net");
  connected.allModels = {
      {"claude:cli", LLMModel::Provider::claude, "Claude Code", "CLI"},
      {"ollama:qwen3-coder:30b", LLMModel::Provider::ollama, "qwen3-coder:30b", "18.6 GB"},
      {"ollama:llama3.2", LLMModel::Provider::ollama, "llama3.2", "2.0 GB"},
      {"lmstudio:google/gemma-3-12b", LLMModel::Provider::lmstudio, "google/gemma-3-12b", std::nullopt}};
  connected.selectedModelID = "ollama:qwen3-coder:30b";
  connected.recentRequests = {
      {"1", "Button that turns the selection into a bulleted list", "ollama:qwen3-coder:30b", now - 40s},
      {"2", "Hide cookie banners on news sites", "ollama:qwen3-coder:30b", now - 9min},
      {"3", "Copy the page title and URL as Markdown", "claude:cli", now - 2h}};
  noModels.tailscaleStatus = TailscaleStatus::notInstalled();
  MenuActions actions;
  actions.pairingJSON = [] { return std::string(); };
  for (const auto& [name, snapshot] : {std::pair{"panel-starting", CompanionSnapshot{}},
                                       {"panel-connected", connected}, {"panel-no-models", noModels}}) {
    MenuContent panel(actions);
    panel.setSnapshot(snapshot);
    panel.adjustSize();
    const QImage shot = panel.grab().toImage();
    SCOPED_TRACE(name);
    EXPECT_EQ(shot.width(), 340);
    EXPECT_TRUE(shot.height() > 250 && shot.height() < 900) << shot.height();
    QSet<QRgb> colours;
    for (int y = 0; y < shot.height(); y += 3)
      for (int x = 0; x < shot.width(); x += 3) colours.insert(shot.pixel(x, y));
    EXPECT_GT(colours.size(), 12) << "blank picture";
    EXPECT_TRUE(shot.save(QDir(dir).filePath(QString(name) + ".png")));
  }
}

}  // namespace
}  // namespace tavlo
