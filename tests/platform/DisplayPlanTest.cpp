#include "platform/DisplayPlan.hpp"

#include <gtest/gtest.h>

namespace tavlo {
namespace {

TEST(DisplayPlanTest, PrefersNativeWaylandAndNamesAMissingPlugin) {
  const std::string missing = "Qt's Wayland platform plugin is missing (sudo apt install qt6-wayland)";
  const struct { DisplaySession session; DisplayPlan plan; } cases[] = {
      {{"", ":0", "", false}, {"xcb;offscreen", ""}},
      {{"", ":0", "wayland-1", true}, {"wayland;xcb;offscreen", ""}},  // not Xwayland
      {{"", "", "wayland-1", true}, {"wayland;offscreen", ""}},
      {{"", ":0", "wayland-1", false}, {"xcb;offscreen", missing + ": the tray uses Xwayland"}},
      {{"", "", "wayland-1", false}, {"", "this Wayland session lacks Qt's Wayland platform plugin (sudo apt install qt6-wayland)"}},
      {{"", "", "", true}, {"", "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"}},
      {{"xcb", ":0", "wayland-1", true}, {"xcb;offscreen", ""}},  // the user's choice
      {{"wayland", "", "wayland-1", false}, {"wayland;offscreen", missing}},
  };
  for (const auto& c : cases) {
    const auto plan = planDisplay(c.session);
    EXPECT_EQ(std::tie(plan.platforms, plan.problem), std::tie(c.plan.platforms, c.plan.problem))
        << c.session.x11Display << " " << c.session.waylandDisplay;
  }
}

}  // namespace
}  // namespace tavlo
