// Runs on the Qt GUI thread.
#include "ui/MenuLabel.hpp"

#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

// The icons live in this static library; the linker keeps them only when asked.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace tavlo {

void ensureIconResources() {
  static const bool done = (initIconResources(), true);
  (void)done;
}

QString menuIconResource(const std::string& menuSymbol, bool darkPanel) {
  const char* kind = menuSymbol == "computer" ? "up" : menuSymbol == "computer.and.phone" ? "linked" : "down";
  return QStringLiteral(":/icons/tavlo-tray-%1-%2.svg").arg(kind, darkPanel ? "dark" : "light");
}

namespace {

// The glyph in one tone over a halo of the other: no host tells the icon the
// colour of its bar (a StatusNotifierItem host draws our pixels as they are,
// an XEmbed tray shows them over its own background, and a guess from the
// palette fails where the bar's theme differs from the desktop's), so the
// icon carries its own contrast: the light tone reads on a dark bar, the dark
// one on a light bar.
void paintGlyph(QPainter& p, const std::string& menuSymbol, bool darkPanel, int side) {
  QSvgRenderer halo(menuIconResource(menuSymbol, !darkPanel)), glyph(menuIconResource(menuSymbol, darkPanel));
  const qreal w = std::max(1.0, side / 16.0);  // the halo's width
  const QRectF box(w, w, side - 2 * w, side - 2 * w);
  for (int dx = -1; dx <= 1; ++dx)
    for (int dy = -1; dy <= 1; ++dy)
      if (dx || dy) halo.render(&p, box.translated(dx * w, dy * w));
  glyph.render(&p, box);
}

}  // namespace

QIcon menuIcon(const std::string& menuSymbol, std::size_t recentCount, bool darkPanel) {
  ensureIconResources();
  QIcon icon;
  for (int side : {16, 22, 24, 32, 48, 64}) {
    QPixmap pix(side, side);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    paintGlyph(p, menuSymbol, darkPanel, side);
    if (recentCount > 0) {
      const QString text = QString::number(recentCount);
      const qreal d = side * (text.size() > 1 ? 0.62 : 0.5);
      const QRectF badge(side - d, side - d, d, d);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x0a, 0x84, 0xff));
      p.drawEllipse(badge);
      QFont f = p.font();
      f.setPixelSize(std::max(6, static_cast<int>(d * (text.size() > 1 ? 0.6 : 0.75))));
      f.setBold(true);
      p.setFont(f);
      p.setPen(Qt::white);
      p.drawText(badge, Qt::AlignCenter, text);
    }
    p.end();
    icon.addPixmap(pix);
  }
  return icon;
}

QString menuTooltip(const CompanionSnapshot& s) {
  QStringList parts{QStringLiteral("Tavlo")};
  if (s.serverRunning) parts << QStringLiteral("port %1").arg(s.serverPort);
  else if (s.lastError) parts << QStringLiteral("waiting for port %1").arg(s.serverPort);  // tried again shortly
  else parts << QStringLiteral("server stopped");
  switch (s.tailscaleStatus.kind) {
    case TailscaleStatus::Kind::connected:
      parts << QStringLiteral("Tailscale %1").arg(QString::fromStdString(s.tailscaleStatus.ip));
      break;
    case TailscaleStatus::Kind::stopped: parts << QStringLiteral("Tailscale off"); break;
    case TailscaleStatus::Kind::notInstalled: parts << QStringLiteral("no Tailscale"); break;
    case TailscaleStatus::Kind::unknown: break;
  }
  if (!s.runningRequests.empty()) parts << QStringLiteral("Generating\u2026");
  if (const auto n = s.recentRequests.size())
    parts << (n == 1 ? QStringLiteral("1 recent request") : QStringLiteral("%1 recent requests").arg(n));
  return parts.join(QStringLiteral(" \u2013 "));
}

bool desktopIsDark() {
  const QPalette p = QGuiApplication::palette();
  return p.color(QPalette::Window).lightness() < p.color(QPalette::WindowText).lightness();
}

}  // namespace tavlo
