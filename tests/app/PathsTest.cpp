// Where the companion's files go, from the environment.
#include <gtest/gtest.h>

#include "app/Paths.hpp"

namespace tavlo {
namespace {

TEST(StagingDir, FromEnvironmentWithTildesAndTidiedPaths) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
  setenv("HOME", "/home/desk", 1);
  for (auto [value, expected] : {std::pair{"", "/home/desk/TavloStaging"}, {"~/packs", "/home/desk/packs"},
                                 {"~", "/home/desk"}, {"/srv/packs/", "/srv/packs"}, {"/srv/./a//b", "/srv/a/b"},
                                 {"~root/packs", "/root/packs"}}) {
    setenv("TAVLO_STAGING", value, 1);
    EXPECT_EQ(resolveStagingDir().value(), std::filesystem::path(expected)) << value;
    EXPECT_EQ(resolveStagingDir(std::string(*value ? value : "~/TavloStaging")).value(),
              std::filesystem::path(expected))
        << value;
  }
  // Without an absolute HOME no store gets a relative or root path.
  unsetenv("TAVLO_STAGING"), unsetenv("XDG_STATE_HOME"), setenv("HOME", "relative/home", 1);
  EXPECT_FALSE(resolveStagingDir().value() || defaultsStorePath());
  setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace tavlo
