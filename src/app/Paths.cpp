// Any thread: reads the environment and the user database only.
#include "app/Paths.hpp"

#include <pwd.h>

#include <cstdlib>

namespace tavlo {

std::optional<std::filesystem::path> homeDir() {
  const char* home = std::getenv("HOME");
  if (!home || *home != '/') return std::nullopt;
  return std::filesystem::path(home);
}

namespace {

// "~" or "~/x" is our home; "~name/x" is that user's home. `setting` names
// where the text came from, for the failure.
Result<std::optional<std::string>> expandTilde(const std::string& s, const std::string& setting) {
  const auto slash = s.find('/');
  const std::string user = s.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string base;
  if (user.empty()) {
    const auto home = homeDir();
    if (!home) return std::optional<std::string>();
    base = home->string();
  } else if (const passwd* pw = getpwnam(user.c_str()); pw && pw->pw_dir && *pw->pw_dir == '/') {
    base = pw->pw_dir;
  } else {
    return fail("unknown user \"" + user + "\" in " + setting + s);
  }
  return std::optional<std::string>(base + (slash == std::string::npos ? std::string() : s.substr(slash)));
}

}  // namespace

Result<std::optional<std::filesystem::path>> resolveStagingDir(const std::optional<std::string>& chosen) {
  using Found = std::optional<std::filesystem::path>;
  const char* env = std::getenv("TAVLO_STAGING");
  if (!chosen && !(env && *env)) {
    const auto home = homeDir();
    return home ? Found(*home / "TavloStaging") : Found();
  }
  std::string s = chosen ? *chosen : std::string(env);
  if (!s.empty() && s.front() == '~') {
    auto expanded = expandTilde(s, chosen ? "--staging " : "TAVLO_STAGING=");
    if (!expanded) return expanded.error();
    if (!*expanded) return Found();
    s = std::move(**expanded);
  }
  // A plain path, as the phone is shown it: no "." segments or trailing slash.
  auto path = std::filesystem::absolute(s).lexically_normal();
  if (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
  return Found(path);
}

std::optional<std::filesystem::path> defaultsStorePath() {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg && *xdg == '/') return std::filesystem::path(xdg) / "tavlo" / "defaults.sqlite3";
  if (auto home = homeDir()) return *home / ".local" / "state" / "tavlo" / "defaults.sqlite3";
  return std::nullopt;
}

}  // namespace tavlo
