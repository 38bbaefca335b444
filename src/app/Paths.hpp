#pragma once
// Where the companion keeps its files, from the environment. Pure apart from
// reading the environment and the user database; any thread.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Result.hpp"

namespace tavlo {

// The staging folder: `chosen` (a command's --staging) when given, else
// TAVLO_STAGING when set and not empty, else "TavloStaging" in the home folder;
// a leading "~" (ours) or "~name" (that user's home) expanded. None when HOME
// is needed and not set; a failure, saying why, when "~name" names no user.
Result<std::optional<std::filesystem::path>> resolveStagingDir(const std::optional<std::string>& chosen = std::nullopt);

// An absolute HOME, or none: a store is never put under a relative or root path.
std::optional<std::filesystem::path> homeDir();

// $XDG_STATE_HOME/tavlo/defaults.sqlite3 (default ~/.local/state); none without either.
std::optional<std::filesystem::path> defaultsStorePath();

}  // namespace tavlo
