#pragma once
// Where the panel opens. Pure geometry; called on the Qt GUI thread.
#include <QPoint>
#include <QRect>
#include <QSize>

namespace tavlo {

// The panel's top-left corner: beside the tray, inside `available` (the
// screen less the bars' reserved space), never over the bar.
// `anchor` is the tray icon's rectangle (XEmbed hosts tell it) or, where the
// host tells no geometry (StatusNotifierItem), the activation point as a 1x1
// rectangle. An anchor outside `available` lies in a bar: the panel opens
// against that edge of the available area. An anchor inside it (a bar that
// reserves nothing) gets the panel beside it, towards the roomier side.
QPoint panelPosition(const QRect& screen, const QRect& available, const QRect& anchor, const QSize& panel);

}  // namespace tavlo
