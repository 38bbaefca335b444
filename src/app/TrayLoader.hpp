#pragma once
// Finding and opening the tray module (see ui/TrayModule.hpp). Main thread.
#include <string>

#include "platform/DisplayPlan.hpp"
#include "platform/Result.hpp"
#include "ui/TrayModule.hpp"

namespace tavlo {

// The toolkit's plugin folder (where its platform plugins are looked for),
// as found when the program was built.
std::string qtPluginsFolder();

// Opens libtavlo-ui.so from the lib/tavlo-companion/modules folder beside the
// program's bin folder (found through /proc/self/exe, so build/dev/bin and an
// installed /usr/bin alike). The module stays loaded for the life of the
// process. The error says why it cannot be opened.
Result<const TrayModule*> loadTrayModule();

}  // namespace tavlo
