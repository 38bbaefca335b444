// Main thread (before the tray starts) or `doctor`; reads the environment and the file system only.
#include "platform/DisplayPlan.hpp"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace tavlo {
namespace {

const char* const kWaylandPluginFile = "libqwayland-generic.so";

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// In `dir` itself, or in its subfolder `sub`; an empty `dir` names no folder.
bool hasPlugin(const std::string& dir, const char* sub = nullptr) {
  if (dir.empty()) return false;
  std::error_code ec;
  std::filesystem::path folder(dir);
  if (sub) folder /= sub;
  return std::filesystem::exists(folder / kWaylandPluginFile, ec);
}

}  // namespace

DisplayPlan planDisplay(const DisplaySession& s) {
  const std::string plugin = "Qt's Wayland platform plugin", fix = " (" + std::string(kWaylandPluginFix) + ")";
  const std::string missing = plugin + " is missing" + fix;
  if (!s.qpaPlatform.empty()) {
    const bool wantsWayland = s.qpaPlatform.find("wayland") != std::string::npos;
    return {s.qpaPlatform + ";offscreen", wantsWayland && !s.waylandPlugin ? missing : ""};
  }
  const bool x11 = !s.x11Display.empty(), wayland = !s.waylandDisplay.empty();
  if (wayland && s.waylandPlugin) return {x11 ? "wayland;xcb;offscreen" : "wayland;offscreen", ""};
  if (wayland && x11) return {"xcb;offscreen", missing + ": the tray uses Xwayland"};
  if (wayland) return {"", "this Wayland session lacks " + plugin + fix};
  if (x11) return {"xcb;offscreen", ""};
  return {"", "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"};
}

DisplaySession currentDisplaySession(const std::string& pluginsDir) {
  DisplaySession s{variable("QT_QPA_PLATFORM"), variable("DISPLAY"), variable("WAYLAND_DISPLAY"), false};
  s.waylandPlugin = hasPlugin(variable("QT_QPA_PLATFORM_PLUGIN_PATH")) ||
                    hasPlugin(pluginsDir, "platforms");
  std::istringstream paths(variable("QT_PLUGIN_PATH"));
  for (std::string dir; !s.waylandPlugin && std::getline(paths, dir, ':');)
    s.waylandPlugin = hasPlugin(dir, "platforms");
  return s;
}

}  // namespace tavlo
