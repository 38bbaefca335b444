#include "ui/MenuLabel.hpp"

#include <QImage>
#include <QSvgRenderer>

#include "UITestSupport.hpp"

namespace tavlo {
namespace {

QImage image(const char* symbol, std::size_t count = 0, bool dark = false) {
  return menuIcon(symbol, count, dark).pixmap(32, 32).toImage();
}

TEST(MenuLabel, ThreeDistinctIconsInTwoVariantsWithTheCountDrawnIn) {
  test::offscreenApp();
  ensureIconResources();
  QSet<QString> resources;
  for (const char* symbol : {"macbook.and.iphone.slash", "macbook.and.iphone", "macbook"})
    for (bool dark : {false, true}) {
      resources.insert(menuIconResource(symbol, dark));
      EXPECT_TRUE(QSvgRenderer(menuIconResource(symbol, dark)).isValid()) << symbol << dark;
    }
  EXPECT_EQ(resources.size(), 6);
  // An unexpected symbol shows the "server down" icon rather than nothing.
  EXPECT_EQ(menuIconResource("", false), menuIconResource("macbook.and.iphone.slash", false));
  EXPECT_NE(image("macbook"), image("macbook.and.iphone"));
  EXPECT_NE(image("macbook"), image("macbook", 0, true));
  const QImage none = image("macbook"), one = image("macbook", 1);
  EXPECT_NE(one, image("macbook", 12));
  // The badge sits in the lower right corner and leaves the top left alone.
  EXPECT_EQ(none.pixel(4, 4), one.pixel(4, 4));
  EXPECT_NE(none.pixel(28, 28), one.pixel(28, 28));
}

TEST(MenuLabel, TooltipSumsUpTheState) {
  CompanionSnapshot s;
  EXPECT_EQ(menuTooltip(s), "Tavlo \u2013 server stopped");
  s.lastError = "Address already in use";
  EXPECT_EQ(menuTooltip(s), "Tavlo \u2013 waiting for port 18765");
  s.serverRunning = true, s.serverPort = 18765, s.recentRequests.resize(12);
  s.tailscaleStatus = TailscaleStatus::connected("100.64.0.7", std::nullopt);
  EXPECT_EQ(menuTooltip(s), "Tavlo \u2013 port 18765 \u2013 Tailscale 100.64.0.7 \u2013 12 recent requests");
  s.runningRequests.push_back({1, "p", "ollama:x", {}, true});
  EXPECT_EQ(menuTooltip(s),
            "Tavlo \u2013 port 18765 \u2013 Tailscale 100.64.0.7 \u2013 Generating\u2026 \u2013 12 recent requests");
}

}  // namespace
}  // namespace tavlo
