#pragma once
// Qt GUI thread only.
#include <QLabel>

namespace tavlo {

// A one-line label that cuts its text with an ellipsis to fit its width.
// Line breaks in the text become spaces; the full text stays in the tooltip.
class ElidedLabel : public QLabel {
  Q_OBJECT
  Q_PROPERTY(QString fullText READ fullText)

 public:
  explicit ElidedLabel(QWidget* parent = nullptr);
  void setFullText(const QString& text);
  QString fullText() const { return full_; }
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void elide();
  QString full_;
};

}  // namespace tavlo
