#pragma once
// The panel under the tray icon; Qt GUI thread only. It owns no data: it is rebuilt from each
// snapshot of the state, and every control calls one of the actions, which
// the shell posts to the state thread.
#include <QWidget>

#include <chrono>
#include <functional>
#include <string>

#include "core/CompanionState.hpp"
#include "ui/PanelWidgets.hpp"

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace tavlo {

class ElidedLabel;

struct MenuActions {
  std::function<void()> openStagingFolder, openTailscaleApp, refresh, openOllamaWebsite, openTavloSite, quit;
  std::function<void(const LLMModel&)> selectModel;
  // Stops a running or waiting request (RunningRequest::id).
  std::function<void(std::uint64_t)> stopRequest;
  // The pairing record as compact JSON, asked for when the "Pair phone"
  // section is open; without it the section is not shown.
  std::function<std::string()> pairingJSON;
};

class MenuContent : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 340;
  static constexpr int kVisibleModelRows = 10;
  static constexpr std::size_t kRecentShown = 3;

  explicit MenuContent(MenuActions actions, QWidget* parent = nullptr);
  void setSnapshot(const CompanionSnapshot& snapshot);
  // The clock for the recent rows' relative times (tests fix it).
  void setClock(std::function<std::chrono::system_clock::time_point()> now);

  // "now", "45s", "2m", "3h", "5d": the age of a request in the narrow style.
  static QString relativeTime(std::chrono::system_clock::duration age);

 private:
  void addHeader(QVBoxLayout* stack);
  void addStatus(QVBoxLayout* stack);
  void addModels(QVBoxLayout* stack);
  void addPairing(QVBoxLayout* stack);
  void addActions(QVBoxLayout* stack);
  void startTimers();
  void buildModels();
  void buildRecent();
  void buildRunning();
  void refreshPairing();
  QPushButton* menuButton(const QString& title, const QString& iconName, bool destructive, std::function<void()> action);

  MenuActions actions_;
  CompanionSnapshot snap_;
  bool haveSnapshot_ = false;
  std::function<std::chrono::system_clock::time_point()> now_;

  QLabel* liveTag_;
  StatusRow* serverRow_;
  StatusRow* tailscaleRow_;
  QScrollArea* modelScroll_;
  QWidget* modelList_;
  QWidget* emptyHint_;
  QToolButton* pairToggle_ = nullptr;
  QWidget* pairBox_ = nullptr;
  QLabel* pairQR_ = nullptr;
  QLabel* pairDetails_ = nullptr;
  std::string pairingShown_;
  QWidget* runningBlock_;
  QVBoxLayout* runningRows_;
  QWidget* recentBlock_;
  QVBoxLayout* recentRows_;
};

}  // namespace tavlo
