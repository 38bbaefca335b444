// Runs on the Qt GUI thread; the actions it calls post their work to the state thread.
#include "ui/MenuContent.hpp"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
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
namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Font roles of the panel, relative to the desktop's font.
enum class Role { headline, subheadline, caption, caption2 };
QFont roleFont(Role role, bool mono = false) {
  QFont f = mono ? QFont("Monospace") : QApplication::font();
  if (mono) f.setStyleHint(QFont::Monospace);
  const qreal base = QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10;
  switch (role) {
    case Role::headline: f.setPointSizeF(base + 1); f.setBold(true); break;
    case Role::subheadline: f.setPointSizeF(base); break;
    case Role::caption: f.setPointSizeF(base - 1); break;
    case Role::caption2: f.setPointSizeF(base - 2); break;
  }
  return f;
}

// Secondary and tertiary text: the text colour, faded.
void fade(QWidget* w, qreal alpha) {
  QPalette p = w->palette();
  QColor c = p.color(QPalette::WindowText);
  c.setAlphaF(alpha);
  p.setColor(QPalette::WindowText, c);
  p.setColor(QPalette::ButtonText, c);
  w->setPalette(p);
}
constexpr qreal kSecondary = 0.62, kTertiary = 0.42;

QLabel* label(const QString& text, Role role, qreal alpha = 1, const char* name = nullptr) {
  auto* l = new QLabel(text);
  l->setTextFormat(Qt::PlainText);
  l->setFont(roleFont(role));
  if (alpha < 1) fade(l, alpha);
  if (name) l->setObjectName(name);
  return l;
}

ElidedLabel* elided(Role role, qreal alpha, const char* name, bool mono = false) {
  auto* l = new ElidedLabel;
  l->setFont(roleFont(role, mono));
  if (alpha < 1) fade(l, alpha);
  l->setObjectName(name);
  return l;
}

QWidget* divider(int inset = 0) {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  fade(line, 0.18);
  if (!inset) return line;
  auto* box = new QWidget;
  auto* l = new QHBoxLayout(box);
  l->setContentsMargins(inset, 0, inset, 0);
  l->addWidget(line);
  return box;
}

// A block of request rows under a divider and a caption ("RUNNING", "RECENT");
// `rows` receives the layout the rows go into.
QWidget* requestBlock(const char* name, const QString& caption, const char* captionName, QVBoxLayout*& rows) {
  auto* block = new QWidget;
  block->setObjectName(name);
  auto* column = new QVBoxLayout(block);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(2);
  column->addWidget(divider(12));
  auto* heading = label(caption, Role::caption, kSecondary, captionName);
  heading->setContentsMargins(12, 4, 12, 0);
  column->addWidget(heading);
  rows = new QVBoxLayout;
  rows->setSpacing(2);
  column->addLayout(rows);
  return block;
}

// A small capsule with a glyph and a text.
QLabel* tag(const QString& glyph, const QString& text, const char* name) {
  auto* t = label(glyph + QStringLiteral(" ") + text, Role::caption2, kSecondary, name);
  t->setStyleSheet(QStringLiteral("QLabel { background: rgba(128,128,128,38); border-radius: 7px; padding: 1px 6px; }"));
  t->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  return t;
}

QString providerGlyph(std::string_view icon) {
  if (icon == "sparkles") return QStringLiteral("\u2726");
  if (icon == "terminal") return QStringLiteral("\u276f");
  if (icon == "diamond") return QStringLiteral("\u25c6");
  return QStringLiteral("\u25a3");  // shippingbox
}

const char* indicatorName(Indicator i) { return i == Indicator::ok ? "ok" : i == Indicator::down ? "down" : "checking"; }
QColor indicatorColour(Indicator i) {
  return i == Indicator::ok ? QColor(0x34, 0xc7, 0x59) : i == Indicator::down ? QColor(0xff, 0x3b, 0x30) : QColor(0xff, 0x95, 0x00);
}

QIcon themed(const QString& name, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(name, QApplication::style()->standardIcon(fallback));
}

// One selectable model: the whole row is the button.
class ModelRow : public QPushButton {
 public:
  ModelRow(const LLMModel& model, bool selected, std::function<void()> onSelect) {
    setObjectName("modelRow");
    setProperty("modelID", qs(model.id));
    setProperty("selected", selected);
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(QStringLiteral("QPushButton { border: none; text-align: left; padding: 0; }"
                                 "QPushButton:hover { background: rgba(128,128,128,30); border-radius: 4px; }"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 2, 0, 2);
    row->setSpacing(8);
    auto* mark = new QLabel(selected ? QStringLiteral("\u25c9") : QStringLiteral("\u25cb"));
    mark->setObjectName("mark");
    mark->setFont(roleFont(Role::headline));
    QPalette p = mark->palette();
    if (selected) p.setColor(QPalette::WindowText, QColor(0x0a, 0x84, 0xff));  // the accent colour
    mark->setPalette(p);
    if (!selected) fade(mark, kSecondary);
    row->addWidget(mark, 0, Qt::AlignVCenter);
    auto* col = new QVBoxLayout;
    col->setSpacing(1);
    auto* name = elided(Role::subheadline, 1, "name");
    QFont f = name->font();
    f.setWeight(QFont::Medium);
    name->setFont(f);
    name->setFullText(qs(model.name));
    col->addWidget(name);
    auto* under = new QHBoxLayout;
    under->setSpacing(6);
    under->addWidget(tag(providerGlyph(model.providerIcon()), qs(std::string(model.providerLabel())), "providerTag"));
    if (const auto subtitle = model.shownSubtitle()) {
      auto* sub = elided(Role::caption2, kTertiary, "subtitle");
      sub->setFullText(qs(*subtitle));
      under->addWidget(sub, 1);
    } else {
      under->addStretch(1);
    }
    col->addLayout(under);
    row->addLayout(col, 1);
    for (auto* child : findChildren<QWidget*>()) child->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(this, &QPushButton::clicked, this, [onSelect = std::move(onSelect)] {
      if (onSelect) onSelect();
    });
  }
  QSize sizeHint() const override { return layout()->sizeHint(); }
  QSize minimumSizeHint() const override { return {0, layout()->minimumSize().height()}; }
};

QPixmap qrPixmap(const QRMatrix& m, int scale) {
  const int quiet = 4, side = (m.size + 2 * quiet) * scale;
  QPixmap pix(side, side);
  pix.fill(Qt::white);
  QPainter p(&pix);
  for (int y = 0; y < m.size; ++y)
    for (int x = 0; x < m.size; ++x)
      if (m.at(x, y)) p.fillRect((x + quiet) * scale, (y + quiet) * scale, scale, scale, Qt::black);
  return pix;
}

}  // namespace

StatusRow::StatusRow(const QString& labelText, QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);
  dot_ = new QLabel;
  dot_->setObjectName("dot");
  dot_->setFixedSize(8, 8);
  row->addWidget(dot_);
  row->addWidget(label(labelText, Role::subheadline, 1, "label"));
  row->addStretch(1);
  trailing_ = elided(Role::caption2, kTertiary, "trailing");
  trailing_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row->addWidget(trailing_, 2);
  detail_ = elided(Role::caption, kSecondary, "detail", true);
  detail_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row->addWidget(detail_, 3);
  action_ = new QPushButton;
  action_->setObjectName("action");
  action_->setFont(roleFont(Role::caption2));
  action_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  action_->setStyleSheet(QStringLiteral("QPushButton { padding: 1px 8px; }"));
  row->addWidget(action_);
  connect(action_, &QPushButton::clicked, this, [this] {
    if (onAction_) onAction_();
  });
}

void StatusRow::set(Indicator indicator, const QString& detail, const QString& actionLabel,
                    std::function<void()> onAction, const QString& trailing) {
  dot_->setProperty("indicator", indicatorName(indicator));
  dot_->setStyleSheet(QStringLiteral("background: %1; border-radius: 4px;").arg(indicatorColour(indicator).name()));
  detail_->setFullText(detail);
  // Short details keep their natural width; long ones are cut.
  detail_->setMinimumWidth(std::min(detail_->fontMetrics().horizontalAdvance(detail_->fullText()) + 2, 170));
  trailing_->setFullText(trailing);
  trailing_->setVisible(!trailing.isEmpty());
  onAction_ = std::move(onAction);
  action_->setText(actionLabel);
  action_->setVisible(!actionLabel.isEmpty() && onAction_);
}

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
    auto* row = new ModelRow(model, model.id == snap_.selectedModelID, [this, model] {
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
