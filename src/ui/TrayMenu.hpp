#pragma once
// Qt GUI thread only. The tray icon's own menu, which every host opens beside
// the icon: where the program cannot place its panel (Wayland), everything a
// user needs is one click from the icon here too.
#include <QMenu>

#include <functional>
#include <string>
#include <vector>

#include "core/CompanionState.hpp"
#include "ui/MenuContent.hpp"

class QActionGroup;

namespace tavlo {

// "Port 18765 · Tailscale 100.64.0.1 · Model qwen3-coder": the first line of the menu.
QString trayStateLine(const CompanionSnapshot& snapshot);

// The state line, a "Model" submenu with one checkable entry per model,
// "Show panel", "Pair phone…" (only with a pairing source), "Open staging
// folder" and "Quit Tavlo".
class TrayMenu : public QMenu {
 public:
  TrayMenu(const MenuActions& actions, std::function<void()> showPanel, std::function<void()> pairPhone);
  void setSnapshot(const CompanionSnapshot& snapshot);

 private:
  MenuActions actions_;
  QAction* stateLine_;
  QMenu* models_;
  QActionGroup* modelGroup_;
  std::vector<std::string> shownModels_;  // the ids, then the selection: rebuilt when they change
};

}  // namespace tavlo
