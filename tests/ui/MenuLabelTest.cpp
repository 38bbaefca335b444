#include "ui/MenuLabel.hpp"

#include <QImage>
#include <QSvgRenderer>

#include "UITestSupport.hpp"

namespace tavlo {
namespace {

QImage image(const QIcon& icon, int side = 32) { return icon.pixmap(side, side).toImage(); }

TEST(MenuLabel, ThreeDistinctIconsInTwoVariants) {
  test::offscreenApp();
  QSet<QString> resources;
  for (const char* symbol : {"macbook.and.iphone.slash", "macbook.and.iphone", "macbook"})
    for (bool dark : {false, true}) {
      const QString r = menuIconResource(symbol, dark);
      ensureIconResources();
      EXPECT_TRUE(QSvgRenderer(r).isValid()) << r.toStdString();
      resources.insert(r);
    }
  EXPECT_EQ(resources.size(), 6);
  // An unexpected symbol shows the "server down" icon rather than nothing.
  EXPECT_EQ(menuIconResource("", false), menuIconResource("macbook.and.iphone.slash", false));
  EXPECT_NE(image(menuIcon("macbook", 0, false)), image(menuIcon("macbook.and.iphone", 0, false)));
  EXPECT_NE(image(menuIcon("macbook", 0, false)), image(menuIcon("macbook", 0, true)));
}

TEST(MenuLabel, CountIsDrawnIntoTheIcon) {
  test::offscreenApp();
  const QImage none = image(menuIcon("macbook", 0, false)), one = image(menuIcon("macbook", 1, false)),
               twelve = image(menuIcon("macbook", 12, false));
  EXPECT_NE(none, one);
  EXPECT_NE(one, twelve);
  // The badge sits in the lower right corner and leaves the top left alone.
  EXPECT_EQ(none.pixel(4, 4), one.pixel(4, 4));
  EXPECT_NE(none.pixel(28, 28), one.pixel(28, 28));
}

TEST(MenuLabel, TooltipNamesStateAndCount) {
  CompanionSnapshot s;
  EXPECT_EQ(menuTooltip(s), "Tavlo \u2013 server stopped");
  s.serverRunning = true;
  s.tailscaleStatus = TailscaleStatus::connected("100.64.0.1", std::nullopt);
  s.recentRequests.resize(1);
  EXPECT_EQ(menuTooltip(s), "Tavlo \u2013 port 18765 \u2013 Tailscale 100.64.0.1 \u2013 1 recent request");
  s.recentRequests.resize(12);
  s.tailscaleStatus = TailscaleStatus::stopped();
  EXPECT_EQ(menuTooltip(s), "Tavlo \u2013 port 18765 \u2013 Tailscale off \u2013 12 recent requests");
}

}  // namespace
}  // namespace tavlo
