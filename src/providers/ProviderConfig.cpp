// Any thread: plain functions of the environment and the interface list.
#include "providers/ProviderConfig.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/HttpClient.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo {
namespace {

std::string_view trimmed(std::string_view s, std::string_view chars) {
  const auto first = s.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(chars) - first + 1);
}

bool isIPv6(const std::string& host) {
  in6_addr a{};
  return ::inet_pton(AF_INET6, host.c_str(), &a) == 1;
}

// A DNS name or an IPv4 address: letters, digits, '-', '_' and '.', not led by '-' or '.'.
bool isHostName(std::string_view host) {
  if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.') return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

struct HostPort {
  std::string host, port;
};

// "[v6]:port", "[v6]", a bare IPv6 address, "host:port" or "host"; none when the brackets do not close.
std::optional<HostPort> splitHostPort(std::string_view hostport) {
  if (hostport.starts_with('[')) {
    const auto close = hostport.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view rest = hostport.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
    return HostPort{std::string(hostport.substr(1, close - 1)), std::string(rest.empty() ? rest : rest.substr(1))};
  }
  const auto colon = hostport.find(':');
  if (colon == std::string_view::npos || hostport.find(':', colon + 1) != std::string_view::npos)
    return HostPort{std::string(hostport), ""};
  return HostPort{std::string(hostport.substr(0, colon)), std::string(hostport.substr(colon + 1))};
}

// The port as written, or `fallback` when none is written; 0 when it is not one.
std::uint16_t portNumber(const std::string& port, std::uint16_t fallback) {
  if (port.empty()) return fallback;
  if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return 0;
  const long n = std::strtol(port.c_str(), nullptr, 10);
  return n >= 1 && n <= 65535 ? static_cast<std::uint16_t>(n) : 0;
}

bool isLoopbackAddress(const std::string& host) {
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return host == "::1";
}

// The raw bytes of an IPv4 or IPv6 socket address; empty for other families.
std::string_view addressBytes(const sockaddr* a) {
  if (a->sa_family == AF_INET) return {reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr), 4};
  if (a->sa_family == AF_INET6)
    return {reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr), 16};
  return {};
}

bool isInterfaceAddress(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* wanted = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &wanted) != 0) return false;
  const std::string_view bytes = addressBytes(wanted->ai_addr);
  ifaddrs* list = nullptr;
  bool found = false;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs* i = list; i && !found; i = i->ifa_next)
      found = i->ifa_addr && !bytes.empty() && addressBytes(i->ifa_addr) == bytes;
    ::freeifaddrs(list);
  }
  ::freeaddrinfo(wanted);
  return found;
}

}  // namespace

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

bool isThisComputer(const std::string& host) {
  const std::string name = lowerASCII(host);
  if (name.empty() || name == "0.0.0.0" || name == "::" || name == "localhost" || name.ends_with(".localhost") ||
      isLoopbackAddress(name))
    return true;
  char own[256] = {};
  if (::gethostname(own, sizeof own - 1) == 0 && *own) {
    const std::string ownName = lowerASCII(own);
    if (name == ownName || name == ownName.substr(0, ownName.find('.')) || name == ownName + ".local") return true;
  }
  return isInterfaceAddress(host);
}

Result<ServerAddress> parseServerAddress(std::string_view value, std::uint16_t defaultPort) {
  const std::string_view text = trimmed(trimmed(value, " \t\r\n"), "\"'");
  if (text.empty()) return ServerAddress{"http://127.0.0.1:" + std::to_string(defaultPort), ""};
  std::string scheme = "http";
  std::string_view rest = text;
  if (const auto sep = text.find("://"); sep != std::string_view::npos) {
    scheme = lowerASCII(text.substr(0, sep));
    if (scheme != "http" && scheme != "https") return fail("the scheme must be http or https");
    defaultPort = scheme == "http" ? 80 : 443;
    rest = text.substr(sep + 3);
  }
  const auto slash = rest.find('/');
  std::string path = slash == std::string_view::npos ? "" : std::string(rest.substr(slash));
  while (path.ends_with('/')) path.pop_back();
  const auto hostPort = splitHostPort(rest.substr(0, slash));
  if (!hostPort) return fail("an IPv6 address goes in brackets: [ADDRESS]:PORT");
  const std::uint16_t port = portNumber(hostPort->port, defaultPort);
  if (port == 0) return fail("the port must be a number from 1 to 65535");
  const std::string& host = hostPort->host;
  const bool v6 = isIPv6(host);
  if (!host.empty() && !v6 && !isHostName(host)) return fail("'" + host + "' is not a host name or address");
  const auto invalid = [](unsigned char c) { return c <= ' ' || c == 0x7f || c == '?' || c == '#' || c == '\\'; };
  if (std::any_of(path.begin(), path.end(), invalid)) return fail("the path may not hold blanks, '?', '#' or '\\'");
  // What the Ollama tool reaches for "no host", 0.0.0.0 and ::: this computer.
  std::string connect = host.empty() || host == "0.0.0.0" ? "127.0.0.1" : host == "::" ? "::1" : host;
  if (isIPv6(connect)) connect = "[" + connect + "]";
  return ServerAddress{scheme + "://" + connect + ":" + std::to_string(port) + path,
                       isThisComputer(host) ? "" : host};
}

Result<void> ProviderConfig::readServerAddresses() {
  struct Server {
    const char* variable;
    std::uint16_t port;
    std::string *url, *host;
  };
  for (const Server& s : {Server{"OLLAMA_HOST", 11434, &ollamaURL, &ollamaHost},
                          Server{"TAVLO_LMSTUDIO_URL", 1234, &lmStudioURL, &lmStudioHost}}) {
    const char* value = std::getenv(s.variable);
    if (!value || !*value) continue;
    auto address = parseServerAddress(value, s.port);
    if (!address)
      return fail(std::string(s.variable) + "='" + value + "' is not a server address: " + address.error().message);
    *s.url = address->url;
    *s.host = address->remoteHost;
  }
  // LM Studio shows its address with the API's "/v1"; the requests add it themselves.
  if (lmStudioURL.ends_with("/v1")) lmStudioURL.resize(lmStudioURL.size() - 3);
  return {};
}

}  // namespace tavlo
