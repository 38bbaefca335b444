// Runs on the Qt GUI thread.
#include "ui/ElidedLabel.hpp"

namespace tavlo {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text) {
  QString line = text;
  for (QChar& c : line)
    if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
      c = u' ';
  line = line.simplified();
  if (line == full_) return;
  full_ = line;
  setToolTip(full_.size() > 60 ? full_ : QString());
  elide();
}

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  elide();
}

void ElidedLabel::elide() {
  const int w = width() > 0 ? width() : 300;
  setText(fontMetrics().elidedText(full_, Qt::ElideRight, w));
}

}  // namespace tavlo
