#include "platform/DesktopOpener.hpp"

#include "platform/Log.hpp"
#include "platform/ProcessRunner.hpp"

namespace tavlo {

void openWithDesktop(const std::string& location) {
  // No xdg-open: nothing visible happens, as with any failed open; the log says why.
  if (!startDetached("xdg-open", {location}).ok()) logLine("Tavlo could not start xdg-open to open " + location);
}

}  // namespace tavlo
