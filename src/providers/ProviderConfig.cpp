#include "providers/ProviderConfig.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/HttpClient.hpp"

namespace tavlo {

std::string ProviderConfig::home() const {
  if (homeDirectory) return *homeDirectory;
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "";
}

std::string ProviderConfig::path() const {
  if (searchPath) return *searchPath;
  const char* p = std::getenv("PATH");
  return p ? p : "";
}

HttpClient& ProviderConfig::client() const { return http ? *http : HttpClient::shared(); }

}  // namespace tavlo
