#include "core/RequestPolicy.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace tavlo {
namespace {

std::string lowerASCII(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool isIPLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

bool isAllowedHost(std::string_view hostHeader, std::string_view machineHostName) {
  std::string host = lowerASCII(hostHeader);
  if (!host.empty() && host.front() == '[') {
    // "[v6]" or "[v6]:port"
    auto close = host.find(']');
    if (close == std::string::npos) return false;
    auto rest = std::string_view(host).substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    return isIPLiteral(host.substr(1, close - 1));
  }
  if (auto colon = host.rfind(':'); colon != std::string::npos) {
    auto port = std::string_view(host).substr(colon + 1);
    if (!std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) return false;
    host.resize(colon);
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return false;
  if (isIPLiteral(host) || host == "localhost" || endsWith(host, ".localhost")) return true;
  std::string machine = lowerASCII(machineHostName);
  if (!machine.empty() && (host == machine || host == machine.substr(0, machine.find('.')))) return true;
  static constexpr std::array<std::string_view, 5> kLocalSuffixes = {".local", ".lan", ".home.arpa", ".internal", ".ts.net"};
  return std::any_of(kLocalSuffixes.begin(), kLocalSuffixes.end(), [&](std::string_view s) { return endsWith(host, s); });
}

std::optional<HTTPResponse> checkRequestPolicy(const HTTPRequest& request, std::string_view machineHostName) {
  if (auto it = request.headers.find("host"); it != request.headers.end() && !it->second.empty()) {
    if (!isAllowedHost(it->second, machineHostName))
      return HTTPResponse::json({{"ok", false}, {"error", "host not allowed"}}, 403);
  }
  if (request.method == "POST" && request.headers.count("origin"))
    return HTTPResponse::json({{"ok", false}, {"error", "cross-origin request refused"}}, 403);
  return std::nullopt;
}

}  // namespace tavlo
