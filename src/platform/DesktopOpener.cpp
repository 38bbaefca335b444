#include "platform/DesktopOpener.hpp"

#include "platform/ProcessRunner.hpp"

namespace tavlo {

void openWithDesktop(const std::string& location) {
  // No xdg-open: nothing visible happens, as with any failed open.
  startDetached("xdg-open", {location});
}

}  // namespace tavlo
