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

TEST(MenuLabel, TooltipCountsRecentRequests) {
  CompanionSnapshot s;
  EXPECT_FALSE(menuTooltip(s).contains("recent"));
  s.recentRequests.resize(12);
  EXPECT_TRUE(menuTooltip(s).endsWith("12 recent requests"));
}

}  // namespace
}  // namespace tavlo
