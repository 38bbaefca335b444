#pragma once
// Qt GUI thread only. The tray icon: one of three glyphs for the state's menu symbol, with the
// number of recent requests drawn into it.
#include <QIcon>
#include <QString>

#include <string>

#include "core/CompanionState.hpp"

namespace tavlo {

// Registers the icons compiled into this library (idempotent).
void ensureIconResources();

// ":/icons/tavlo-tray-{down,linked,up}-{light,dark}.svg" for a menu symbol;
// `darkPanel` picks the light glyph drawn for dark panels.
QString menuIconResource(const std::string& menuSymbol, bool darkPanel);

// The icon at the usual tray sizes, with a badge for 1 to 12 recent requests (0: none):
// the glyph outlined in the other tone, so that it reads on a light and on a dark
// bar alike; `darkPanel` makes the glyph light and its outline dark.
QIcon menuIcon(const std::string& menuSymbol, std::size_t recentCount, bool darkPanel);

// "Tavlo – port 18765 – Tailscale 100.64.0.1 – Generating… – 3 recent requests"
// ("Generating…" while a request runs or waits).
QString menuTooltip(const CompanionSnapshot& snapshot);

// True when the desktop's palette is dark.
bool desktopIsDark();

}  // namespace tavlo
