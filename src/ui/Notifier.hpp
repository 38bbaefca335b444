#pragma once
// Called from any thread (see notifyPackWritten).
#include <string>

namespace tavlo {

// Shows "Pack 'NAME' written" with the pack's summary as a desktop
// notification (org.freedesktop.Notifications on the session bus). Callable
// from any thread; does nothing without a running Qt application, a session
// bus or a notification service. Never blocks and never throws.
void notifyPackWritten(const std::string& name, const std::string& summary);

}  // namespace tavlo
