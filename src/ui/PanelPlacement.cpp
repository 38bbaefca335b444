// Pure geometry; called on the Qt GUI thread.
#include "ui/PanelPlacement.hpp"

#include <algorithm>

namespace tavlo {
namespace {

int within(int value, int low, int high) { return std::clamp(value, low, std::max(low, high)); }

}  // namespace

QPoint panelPosition(const QRect& screen, const QRect& available, const QRect& anchor, const QSize& panel) {
  const QRect room = available.isValid() && screen.contains(available) ? available : screen;
  const QPoint c = anchor.center();
  const int maxX = room.right() + 1 - panel.width(), maxY = room.bottom() + 1 - panel.height();
  // Aligned with the icon on the side of the screen it sits on.
  const int alongX = within(c.x() > room.center().x() ? anchor.right() + 1 - panel.width() : anchor.left(),
                            room.left(), maxX);
  const int alongY = within(c.y() > room.center().y() ? anchor.bottom() + 1 - panel.height() : anchor.top(),
                            room.top(), maxY);
  if (c.y() < room.top()) return {alongX, room.top()};  // a bar along the top
  if (c.y() > room.bottom()) return {alongX, maxY};     // along the bottom
  if (c.x() < room.left()) return {room.left(), alongY};
  if (c.x() > room.right()) return {maxX, alongY};
  // Inside the room: below or above the icon, whichever has more space.
  const bool below = room.bottom() - anchor.bottom() >= anchor.top() - room.top();
  return {alongX, within(below ? anchor.bottom() + 1 : anchor.top() - panel.height(), room.top(), maxY)};
}

}  // namespace tavlo
