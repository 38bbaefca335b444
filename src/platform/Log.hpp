#pragma once
// Called from any thread: each line is written whole.
#include <functional>
#include <string>
#include <string_view>

namespace tavlo {

// One line to the log (stderr; journald picks it up under systemd). No levels.
void logLine(std::string_view line);

// Tests capture log lines by installing a sink; an empty function restores stderr.
void setLogSink(std::function<void(std::string_view)> sink);

}  // namespace tavlo
