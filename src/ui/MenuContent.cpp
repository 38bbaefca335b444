// Runs on the Qt GUI thread; the actions it calls post their work to the state thread.
#include "ui/MenuContent.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <nlohmann/json.hpp>

#include "pairing/PreferredHost.hpp"
#include "platform/Cancellation.hpp"
#include "ui/ElidedLabel.hpp"
#include "ui/MenuLabel.hpp"
#include "ui/TerminalQR.hpp"

namespace tavlo {

MenuContent::MenuContent(MenuActions actions, QWidget* parent)
    : QWidget(parent), actions_(std::move(actions)), now_([] { return std::chrono::system_clock::now(); }) {
  setObjectName("menuContent");
  ensureIconResources();
  setFixedWidth(kWidth);
  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(0);
  addHeader(stack);
  addStatus(stack);
  addModels(stack);
  if (actions_.pairingJSON) addPairing(stack);
  addActions(stack);
  startTimers();
  setSnapshot(CompanionSnapshot{});
  haveSnapshot_ = false;
}

// The icon, the title and the "live" tag.
void MenuContent::addHeader(QVBoxLayout* stack) {
  auto* header = new QWidget;
  auto* h = new QHBoxLayout(header);
  h->setContentsMargins(12, 12, 12, 12);
  h->setSpacing(10);
  auto* icon = new QLabel;
  icon->setPixmap(QIcon(QStringLiteral(":/icons/tavlo-companion.svg")).pixmap(22, 22));
  h->addWidget(icon);
  auto* titles = new QVBoxLayout;
  titles->setSpacing(1);
  titles->addWidget(label(QStringLiteral("Tavlo"), Role::headline, 1, "title"));
  titles->addWidget(label(QStringLiteral("Desktop companion"), Role::caption, kSecondary, "subtitle"));
  h->addLayout(titles);
  h->addStretch(1);
  liveTag_ = tag(QStringLiteral("\u25c9"), QStringLiteral("live"), "liveTag");
  h->addWidget(liveTag_);
  stack->addWidget(header);
  stack->addWidget(divider());
}

// The HTTP server and Tailscale rows.
void MenuContent::addStatus(QVBoxLayout* stack) {
  auto* status = new QWidget;
  auto* s = new QVBoxLayout(status);
  s->setContentsMargins(12, 12, 12, 12);
  s->setSpacing(8);
  serverRow_ = new StatusRow(QStringLiteral("HTTP server"), status);
  serverRow_->setObjectName("serverRow");
  tailscaleRow_ = new StatusRow(QStringLiteral("Tailscale"), status);
  tailscaleRow_->setObjectName("tailscaleRow");
  s->addWidget(serverRow_);
  s->addWidget(tailscaleRow_);
  stack->addWidget(status);
  stack->addWidget(divider());
}

// The model list, or the hint when there is none.
void MenuContent::addModels(QVBoxLayout* stack) {
  auto* models = new QWidget;
  auto* m = new QVBoxLayout(models);
  m->setContentsMargins(12, 12, 12, 12);
  m->setSpacing(8);
  auto* mh = new QHBoxLayout;
  mh->addWidget(label(QStringLiteral("MODEL"), Role::caption, kSecondary, "modelHeader"));
  mh->addStretch(1);
  auto* refresh = new QToolButton;
  refresh->setObjectName("refreshButton");
  refresh->setAutoRaise(true);
  refresh->setIcon(themed(QStringLiteral("view-refresh"), QStyle::SP_BrowserReload));
  refresh->setIconSize({12, 12});
  refresh->setToolTip(QStringLiteral("Refresh"));
  connect(refresh, &QToolButton::clicked, this, [this] {
    if (actions_.refresh) actions_.refresh();
  });
  mh->addWidget(refresh);
  m->addLayout(mh);

  emptyHint_ = new QWidget;
  emptyHint_->setObjectName("emptyModelsHint");
  auto* e = new QVBoxLayout(emptyHint_);
  e->setContentsMargins(0, 0, 0, 0);
  e->setSpacing(6);
  e->addWidget(label(QStringLiteral("No local models detected."), Role::subheadline));
  e->addWidget(label(QStringLiteral("Install Ollama and pull a model:"), Role::caption, kSecondary));
  auto* cmd = label(QStringLiteral("ollama pull qwen3-coder"), Role::caption, 1, "pullCommand");
  cmd->setFont(roleFont(Role::caption, true));
  cmd->setTextInteractionFlags(Qt::TextSelectableByMouse);
  cmd->setStyleSheet(QStringLiteral("QLabel { background: rgba(128,128,128,40); border-radius: 4px; padding: 6px; }"));
  e->addWidget(cmd, 0, Qt::AlignLeft);
  auto* install = new QPushButton(QStringLiteral("Install Ollama"));
  install->setObjectName("installOllama");
  connect(install, &QPushButton::clicked, this, [this] {
    if (actions_.openOllamaWebsite) actions_.openOllamaWebsite();
  });
  e->addWidget(install, 0, Qt::AlignLeft);
  m->addWidget(emptyHint_);

  modelScroll_ = new QScrollArea;
  modelScroll_->setObjectName("modelList");
  modelScroll_->setFrameShape(QFrame::NoFrame);
  modelScroll_->setWidgetResizable(true);
  modelScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  modelScroll_->setBackgroundRole(QPalette::Window);
  modelList_ = new QWidget;
  auto* ml = new QVBoxLayout(modelList_);
  ml->setContentsMargins(0, 0, 0, 0);
  ml->setSpacing(4);
  modelScroll_->setWidget(modelList_);
  m->addWidget(modelScroll_);
  stack->addWidget(models);
  stack->addWidget(divider());
}

// "Pair phone": the pairing record as a QR code, folded away until asked for.
void MenuContent::addPairing(QVBoxLayout* stack) {
  auto* pair = new QWidget;
  auto* p = new QVBoxLayout(pair);
  p->setContentsMargins(12, 6, 12, 6);
  pairToggle_ = new QToolButton;
  pairToggle_->setObjectName("pairToggle");
  pairToggle_->setText(QStringLiteral("Pair phone"));
  pairToggle_->setCheckable(true);
  pairToggle_->setAutoRaise(true);
  pairToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  pairToggle_->setArrowType(Qt::RightArrow);
  p->addWidget(pairToggle_);
  pairBox_ = new QWidget;
  pairBox_->setObjectName("pairBox");
  auto* pb = new QVBoxLayout(pairBox_);
  pb->setContentsMargins(0, 0, 0, 0);
  pairQR_ = new QLabel;
  pairQR_->setObjectName("pairQR");
  pb->addWidget(pairQR_, 0, Qt::AlignHCenter);
  pairDetails_ = label(QString(), Role::caption, kSecondary, "pairDetails");
  pb->addWidget(pairDetails_);
  pairBox_->hide();
  p->addWidget(pairBox_);
  connect(pairToggle_, &QToolButton::toggled, this, [this](bool open) {
    pairToggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    pairBox_->setVisible(open);
    if (open) refreshPairing();
    if (isWindow()) adjustSize();
  });
  stack->addWidget(pair);
  stack->addWidget(divider());
}

// The site and staging folder buttons, the running and recent requests, and Quit.
void MenuContent::addActions(QVBoxLayout* stack) {
  auto* acts = new QWidget;
  auto* a = new QVBoxLayout(acts);
  a->setContentsMargins(0, 4, 0, 4);
  a->setSpacing(0);
  a->addWidget(menuButton(QStringLiteral("Open Tavlo site"), QStringLiteral("internet-web-browser"), false,
                          [this] { if (actions_.openTavloSite) actions_.openTavloSite(); }));
  a->addWidget(menuButton(QStringLiteral("Open staging folder"), QStringLiteral("folder"), false,
                          [this] { if (actions_.openStagingFolder) actions_.openStagingFolder(); }));
  // The requests whose model has not answered yet, above the recent ones.
  runningBlock_ = requestBlock("runningBlock", QStringLiteral("RUNNING"), "runningHeading", runningRows_);
  a->addWidget(runningBlock_);
  recentBlock_ = requestBlock("recentBlock", QStringLiteral("RECENT"), "recentHeading", recentRows_);
  recentBlock_->layout()->addWidget(divider(12));
  a->addWidget(recentBlock_);
  a->addWidget(menuButton(QStringLiteral("Quit Tavlo"), QStringLiteral("system-shutdown"), true,
                          [this] { if (actions_.quit) actions_.quit(); }));
  stack->addWidget(acts);
}

void MenuContent::startTimers() {
  // The relative times age while the panel is open; a running request's
  // seconds count up.
  auto* ticker = new QTimer(this);
  ticker->setInterval(30000);
  connect(ticker, &QTimer::timeout, this, [this] { buildRecent(); });
  ticker->start();
  auto* seconds = new QTimer(this);
  seconds->setInterval(1000);
  connect(seconds, &QTimer::timeout, this, [this] {
    if (!snap_.runningRequests.empty()) buildRunning();
  });
  seconds->start();
}

QPushButton* MenuContent::menuButton(const QString& title, const QString& iconName, bool destructive,
                                     std::function<void()> action) {
  auto* b = new QPushButton(title);
  b->setObjectName(destructive ? "quitButton" : "actionButton");
  b->setFlat(true);
  b->setCursor(Qt::PointingHandCursor);
  b->setIcon(themed(iconName, destructive ? QStyle::SP_TitleBarCloseButton
                                          : iconName == "folder" ? QStyle::SP_DirIcon : QStyle::SP_DriveNetIcon));
  b->setIconSize({16, 16});
  b->setStyleSheet(QStringLiteral("QPushButton { border: none; text-align: left; padding: 6px 12px; %1 }"
                                  "QPushButton:hover { background: rgba(128,128,128,40); }")
                       .arg(destructive ? QStringLiteral("color: #d70015;") : QString()));
  connect(b, &QPushButton::clicked, this, std::move(action));
  return b;
}

void MenuContent::setClock(std::function<std::chrono::system_clock::time_point()> now) {
  now_ = std::move(now);
  buildRunning();
  buildRecent();
}

QString MenuContent::relativeTime(std::chrono::system_clock::duration age) {
  using namespace std::chrono;
  const auto secs = duration_cast<seconds>(age).count();
  if (secs < 1) return QStringLiteral("now");
  if (secs < 60) return QStringLiteral("%1s").arg(secs);
  if (secs < 3600) return QStringLiteral("%1m").arg(secs / 60);
  if (secs < 86400) return QStringLiteral("%1h").arg(secs / 3600);
  return QStringLiteral("%1d").arg(secs / 86400);
}

void MenuContent::setSnapshot(const CompanionSnapshot& s) {
  const bool modelsChanged =
      !haveSnapshot_ || s.allModels != snap_.allModels || s.selectedModelID != snap_.selectedModelID;
  const bool recentChanged = !haveSnapshot_ || s.recentRequests != snap_.recentRequests;
  const bool runningChanged = !haveSnapshot_ || s.runningRequests != snap_.runningRequests;
  snap_ = s;
  haveSnapshot_ = true;

  liveTag_->setVisible(s.serverRunning);
  if (s.serverRunning)
    serverRow_->set(Indicator::ok, QStringLiteral("port %1").arg(s.serverPort), QStringLiteral("Staging"),
                    [this] { if (actions_.openStagingFolder) actions_.openStagingFolder(); });
  else if (s.lastError)  // the state tries again every few seconds
    serverRow_->set(Indicator::checking, QStringLiteral("waiting for port %1").arg(s.serverPort), {}, nullptr,
                    QString::fromStdString(*s.lastError));
  else
    serverRow_->set(Indicator::down, QStringLiteral("stopped"), {}, nullptr);

  auto openTailscale = [this] { if (actions_.openTailscaleApp) actions_.openTailscaleApp(); };
  const auto& ts = s.tailscaleStatus;
  switch (ts.kind) {
    case TailscaleStatus::Kind::unknown:
      tailscaleRow_->set(Indicator::checking, QStringLiteral("checking\u2026"), {}, nullptr);
      break;
    case TailscaleStatus::Kind::notInstalled:
      tailscaleRow_->set(Indicator::down, QStringLiteral("not installed"), QStringLiteral("Install"), openTailscale);
      break;
    case TailscaleStatus::Kind::stopped:
      tailscaleRow_->set(Indicator::down, QStringLiteral("turned off"), QStringLiteral("Open"), openTailscale);
      break;
    case TailscaleStatus::Kind::connected:
      tailscaleRow_->set(Indicator::ok, qs(ts.ip), {}, nullptr, ts.hostname ? qs(*ts.hostname) : QString());
      break;
  }
  if (modelsChanged) buildModels();
  if (runningChanged) buildRunning();
  if (recentChanged) buildRecent();
  if (pairBox_ && pairBox_->isVisible()) refreshPairing();
  if (isWindow()) adjustSize();  // the height follows the content
}

void MenuContent::buildModels() {
  const bool empty = snap_.allModels.empty();
  emptyHint_->setVisible(empty);
  modelScroll_->setVisible(!empty);
  auto* list = static_cast<QVBoxLayout*>(modelList_->layout());
  while (auto* item = list->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  int rowHeight = 0;
  for (const auto& model : snap_.allModels) {
    auto* row = modelRow(model, model.id == snap_.selectedModelID, [this, model] {
      if (actions_.selectModel) actions_.selectModel(model);
    });
    rowHeight = std::max(rowHeight, row->sizeHint().height());
    list->addWidget(row);
  }
  list->addStretch(1);
  // Up to ten rows are shown at once; longer lists scroll.
  const int shown = std::min<int>(static_cast<int>(snap_.allModels.size()), kVisibleModelRows);
  modelScroll_->setFixedHeight(shown * rowHeight + std::max(0, shown - 1) * list->spacing());
  modelScroll_->setVerticalScrollBarPolicy(static_cast<int>(snap_.allModels.size()) > kVisibleModelRows
                                               ? Qt::ScrollBarAsNeeded
                                               : Qt::ScrollBarAlwaysOff);
}

void MenuContent::buildRecent() {
  while (auto* item = recentRows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  const auto now = now_();
  const auto count = std::min(snap_.recentRequests.size(), kRecentShown);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& req = snap_.recentRequests[i];
    auto* row = new QWidget;
    row->setObjectName("recentRow");
    row->setProperty("requestID", qs(req.id));
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(12, 0, 12, 0);
    h->setSpacing(6);
    h->addWidget(label(QStringLiteral("\u27a4"), Role::caption2, kSecondary));
    auto* prompt = elided(Role::caption, 1, "prompt");
    prompt->setFullText(qs(req.prompt));
    h->addWidget(prompt, 1);
    h->addWidget(label(relativeTime(now - req.createdAt), Role::caption2, kTertiary, "time"));
    recentRows_->addWidget(row);
  }
  recentBlock_->setVisible(count > 0);
}

void MenuContent::buildRunning() {
  while (auto* item = runningRows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  const auto now = now_();
  for (const auto& req : snap_.runningRequests) {
    auto* row = new QWidget;
    row->setObjectName("runningRow");
    row->setProperty("runID", QVariant::fromValue<qulonglong>(req.id));
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(12, 0, 12, 0);
    h->setSpacing(6);
    h->addWidget(label(QStringLiteral("\u23f3"), Role::caption2, kSecondary));
    auto* text = new QVBoxLayout;
    text->setSpacing(0);
    auto* prompt = elided(Role::caption, 1, "prompt");
    prompt->setFullText(qs(req.prompt));
    text->addWidget(prompt);
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now - req.startedAt).count();
    auto* detail = elided(Role::caption2, kTertiary, "detail");
    QString shown = QStringLiteral("%1 \u00b7 %2").arg(
        qs(req.modelID), req.waiting ? QStringLiteral("waiting, %1 s").arg(std::max<long long>(0, secs))
                                     : QStringLiteral("%1 s").arg(std::max<long long>(0, secs)));
    // What a command-line tool says while it works ("Reconnecting... 3/5").
    if (const auto words = req.progress ? req.progress->lastWords() : std::string(); !words.empty())
      shown += QStringLiteral(" \u00b7 ") + qs(words);
    detail->setFullText(shown);
    text->addWidget(detail);
    h->addLayout(text, 1);
    auto* stop = new QPushButton(QStringLiteral("Stop"));
    stop->setObjectName("stopButton");
    stop->setCursor(Qt::PointingHandCursor);
    connect(stop, &QPushButton::clicked, this, [this, id = req.id] {
      if (actions_.stopRequest) actions_.stopRequest(id);
    });
    h->addWidget(stop);
    runningRows_->addWidget(row);
  }
  runningBlock_->setVisible(!snap_.runningRequests.empty());
}

void MenuContent::refreshPairing() {
  const std::string json = actions_.pairingJSON ? actions_.pairingJSON() : std::string();
  if (json == pairingShown_) return;
  pairingShown_ = json;
  auto qr = json.empty() ? std::nullopt : encodeQR(json);
  if (qr) {
    pairQR_->setPixmap(qrPixmap(*qr, std::max(2, 220 / (qr->size + 8))));
  } else {
    pairQR_->setPixmap({});
  }
  QStringList lines;
  const auto record = nlohmann::json::parse(json, nullptr, false);
  if (record.is_object()) {
    auto text = [&](const char* key) {
      auto it = record.find(key);
      if (it == record.end() || it->is_null() || (it->is_string() && it->get<std::string>().empty()))
        return QStringLiteral("\u2013");
      return it->is_string() ? qs(it->get<std::string>()) : qs(it->dump());
    };
    lines << QStringLiteral("Host: %1").arg(text("mac.hostname"))
          << QStringLiteral("LAN: %1  port %2").arg(text("mac.lan_ip"), text("mac.port"))
          << QStringLiteral("Tailscale: %1 %2").arg(text("mac.tailscale_ip"), text("mac.tailscale_hostname"));
    if (const auto host = preferredHost(record)) lines << qs(host->sentence());
  } else {
    lines << QStringLiteral("The pairing record is not available yet.");
  }
  for (auto& line : lines) line = pairDetails_->fontMetrics().elidedText(line, Qt::ElideRight, kWidth - 24);
  pairDetails_->setText(lines.join(u'\n'));
}

}  // namespace tavlo
