// Runs on the Qt GUI thread: the panel's building blocks.
#include "ui/PanelWidgets.hpp"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/ElidedLabel.hpp"

namespace tavlo {
namespace {

const char* indicatorName(Indicator i) { return i == Indicator::ok ? "ok" : i == Indicator::down ? "down" : "checking"; }

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

}  // namespace

QFont roleFont(Role role, bool mono) {
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

QLabel* label(const QString& text, Role role, qreal alpha, const char* name) {
  auto* l = new QLabel(text);
  l->setTextFormat(Qt::PlainText);
  l->setFont(roleFont(role));
  if (alpha < 1) fade(l, alpha);
  if (name) l->setObjectName(name);
  return l;
}

ElidedLabel* elided(Role role, qreal alpha, const char* name, bool mono) {
  auto* l = new ElidedLabel;
  l->setFont(roleFont(role, mono));
  if (alpha < 1) fade(l, alpha);
  l->setObjectName(name);
  return l;
}

QWidget* divider(int inset) {
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

QColor indicatorColour(Indicator i) {
  return i == Indicator::ok ? QColor(0x34, 0xc7, 0x59) : i == Indicator::down ? QColor(0xff, 0x3b, 0x30) : QColor(0xff, 0x95, 0x00);
}

QIcon themed(const QString& name, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(name, QApplication::style()->standardIcon(fallback));
}

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

QPushButton* modelRow(const LLMModel& model, bool selected, std::function<void()> onSelect) {
  return new ModelRow(model, selected, std::move(onSelect));
}

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

}  // namespace tavlo
