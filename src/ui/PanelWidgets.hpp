#pragma once
// The panel's building blocks: fonts, faded text, rows and capsules. Qt GUI thread only.
#include <QIcon>
#include <QStyle>
#include <QWidget>

#include <functional>
#include <string>
#include <string_view>

#include "providers/LLMModel.hpp"
#include "ui/TerminalQR.hpp"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tavlo {

class ElidedLabel;

inline QString qs(const std::string& s) { return QString::fromStdString(s); }

// Font roles of the panel, relative to the desktop's font.
enum class Role { headline, subheadline, caption, caption2 };
QFont roleFont(Role role, bool mono = false);
// Secondary and tertiary text: the text colour, faded.
void fade(QWidget* w, qreal alpha);
constexpr qreal kSecondary = 0.62, kTertiary = 0.42;

QLabel* label(const QString& text, Role role, qreal alpha = 1, const char* name = nullptr);
ElidedLabel* elided(Role role, qreal alpha, const char* name, bool mono = false);
QWidget* divider(int inset = 0);
// A block of request rows under a divider and a caption ("RUNNING", "RECENT");
// `rows` receives the layout the rows go into.
QWidget* requestBlock(const char* name, const QString& caption, const char* captionName, QVBoxLayout*& rows);
// A small capsule with a glyph and a text.
QLabel* tag(const QString& glyph, const QString& text, const char* name);
QString providerGlyph(std::string_view icon);
QIcon themed(const QString& name, QStyle::StandardPixmap fallback);
QPixmap qrPixmap(const QRMatrix& m, int scale);
// One selectable model: the whole row is the button.
QPushButton* modelRow(const LLMModel& model, bool selected, std::function<void()> onSelect);

enum class Indicator { ok, down, checking };

// One status line: dot, label, trailing text, detail and an optional button.
class StatusRow : public QWidget {
  Q_OBJECT
 public:
  StatusRow(const QString& label, QWidget* parent);
  void set(Indicator indicator, const QString& detail, const QString& actionLabel, std::function<void()> onAction,
           const QString& trailing = {});

 private:
  QLabel* dot_;
  ElidedLabel* detail_;
  ElidedLabel* trailing_;
  QPushButton* action_;
  std::function<void()> onAction_;
};

}  // namespace tavlo
