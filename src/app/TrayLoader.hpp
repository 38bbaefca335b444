#pragma once
// Finding and opening the tray module (see ui/TrayModule.hpp). Main thread.
#include <string>

#include "platform/Result.hpp"
#include "ui/TrayModule.hpp"

namespace tavlo {

// False when Qt could not reach any display (no QT_QPA_PLATFORM, DISPLAY or
// WAYLAND_DISPLAY): the tray would say "no tray" anyway, so the module is not
// even opened.
bool mayHaveDisplay();

// Opens libtavlo-ui.so from the lib/tavlo-companion/modules folder beside the
// program's bin folder (found through /proc/self/exe, so build/dev/bin and an
// installed /usr/bin alike). The module stays loaded for the life of the
// process. The error says why it cannot be opened.
Result<const TrayModule*> loadTrayModule();

}  // namespace tavlo
