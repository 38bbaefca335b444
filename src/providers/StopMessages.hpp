#pragma once
// Why a model run ended early, in the words the phone shows after "failed: ".
// Constants only; used from any thread.

namespace tavlo {

// The companion (or a one-shot command) is stopping.
inline constexpr const char* kStoppedMessage = "stopped: the companion is shutting down";
// Someone stopped the run from the panel.
inline constexpr const char* kCancelledMessage = "stopped on the computer";

}  // namespace tavlo
