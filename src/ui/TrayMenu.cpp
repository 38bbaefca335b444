// Runs on the Qt GUI thread.
#include "ui/TrayMenu.hpp"

#include <QActionGroup>

#include "ui/PanelWidgets.hpp"

namespace tavlo {
namespace {

QString tailscaleText(const TailscaleStatus& t) {
  switch (t.kind) {
    case TailscaleStatus::Kind::connected: return qs(t.ip);
    case TailscaleStatus::Kind::stopped: return QStringLiteral("off");
    case TailscaleStatus::Kind::notInstalled: return QStringLiteral("not installed");
    case TailscaleStatus::Kind::unknown: break;
  }
  return QStringLiteral("checking\u2026");
}

}  // namespace

QString trayStateLine(const CompanionSnapshot& s) {
  const QString server = s.serverRunning ? QStringLiteral("Port %1").arg(s.serverPort)
                         : s.lastError   ? QStringLiteral("Waiting for port %1").arg(s.serverPort)
                                         : QStringLiteral("Server stopped");
  QString model = QStringLiteral("none");
  for (const auto& m : s.allModels)
    if (m.id == s.selectedModelID) model = qs(m.name);
  return QStringLiteral("%1 \u00b7 Tailscale %2 \u00b7 Model %3").arg(server, tailscaleText(s.tailscaleStatus), model);
}

TrayMenu::TrayMenu(const MenuActions& actions, std::function<void()> showPanel, std::function<void()> pairPhone)
    : actions_(actions) {
  stateLine_ = addAction(QStringLiteral("Starting\u2026"));
  stateLine_->setEnabled(false);
  addSeparator();
  models_ = addMenu(QStringLiteral("Model"));
  modelGroup_ = new QActionGroup(models_);
  modelGroup_->setExclusive(true);
  addAction(QStringLiteral("Show panel"), std::move(showPanel));
  if (actions_.pairingJSON) addAction(QStringLiteral("Pair phone\u2026"), std::move(pairPhone));
  addAction(QStringLiteral("Open staging folder"), actions_.openStagingFolder);
  addSeparator();
  addAction(QStringLiteral("Quit Tavlo"), actions_.quit);
  setSnapshot({});
}

void TrayMenu::setSnapshot(const CompanionSnapshot& s) {
  stateLine_->setText(trayStateLine(s));
  std::vector<std::string> shown;
  for (const auto& m : s.allModels) shown.push_back(m.id);
  shown.push_back(s.selectedModelID);
  if (shown == shownModels_) return;
  shownModels_ = std::move(shown);
  models_->clear();  // the group's actions go with the menu's
  for (const auto& m : s.allModels) {
    QAction* entry = models_->addAction(qs(m.name), [select = actions_.selectModel, m] { if (select) select(m); });
    entry->setCheckable(true);
    entry->setChecked(m.id == s.selectedModelID);
    modelGroup_->addAction(entry);
  }
  if (s.allModels.empty()) models_->addAction(QStringLiteral("No models found"))->setEnabled(false);
}

}  // namespace tavlo
