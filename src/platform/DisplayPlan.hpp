#pragma once
// Called on the main thread before the tray starts, and by `doctor`; Qt-free,
// so the program decides without loading the toolkit.
#include <string>

namespace tavlo {

// The session as the toolkit would see it.
struct DisplaySession {
  std::string qpaPlatform;     // QT_QPA_PLATFORM: the user's own choice, if any
  std::string x11Display;      // DISPLAY
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  bool waylandPlugin = false;  // Qt's Wayland platform plugin is installed
};

// What the tray asks the toolkit for. `platforms` is a QT_QPA_PLATFORM list
// ending in "offscreen" (so a display nobody answers shows as such instead of
// ending the process), or empty when there is nothing to try; `problem` then
// says why, else it is a note to log before trying (or empty).
struct DisplayPlan {
  std::string platforms;
  std::string problem;
};

// Native Wayland first when the session has it and the plugin is there (under
// Xwayland the tray's windows cannot be placed well); the user's own
// QT_QPA_PLATFORM wins over everything.
DisplayPlan planDisplay(const DisplaySession& session);

// The session from the environment; the plugin is looked for in
// QT_QPA_PLATFORM_PLUGIN_PATH, in the "platforms" folders of QT_PLUGIN_PATH
// and in `pluginsDir`/platforms (the toolkit's own plugin folder).
DisplaySession currentDisplaySession(const std::string& pluginsDir);

// The package that brings the plugin, and the command that installs it.
inline constexpr const char* kWaylandPluginFix = "sudo apt install qt6-wayland";

}  // namespace tavlo
