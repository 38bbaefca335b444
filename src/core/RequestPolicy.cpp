// Runs on the network thread: each server handler holds its own RequestPolicy.
#include "core/RequestPolicy.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <sstream>

#include "text/UnicodeText.hpp"

namespace tavlo {
namespace {

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// `host` is a name under `domain` ("desk.fritz.box" under "fritz.box").
bool under(std::string_view host, std::string_view domain) {
  return !domain.empty() && host.size() > domain.size() && endsWith(host, domain) &&
         host[host.size() - domain.size() - 1] == '.';
}

bool isIPLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The ranges that are local wherever the machine is.
const std::vector<IPPrefix>& fixedLocalRanges() {
  static const std::vector<IPPrefix> ranges = [] {
    std::vector<IPPrefix> out;
    for (auto text : {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
                      "100.64.0.0/10", "::1/128", "fc00::/7", "fe80::/10"})
      out.push_back(*IPPrefix::parse(text));
    return out;
  }();
  return ranges;
}

bool inAny(const std::vector<IPPrefix>& ranges, const IPPrefix& address) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const IPPrefix& r) { return r.contains(address); });
}

HTTPResponse refusal(const char* error) { return HTTPResponse::json({{"ok", false}, {"error", error}}, 403); }

}  // namespace

bool isAllowedHost(std::string_view hostHeader, std::string_view machineHostName,
                   const std::vector<std::string>& searchDomains) {
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
  // A name without a dot is looked up on the local network only ("desk").
  if (host.find('.') == std::string::npos) return true;
  if (isIPLiteral(host) || host == "localhost" || endsWith(host, ".localhost")) return true;
  std::string machine = lowerASCII(machineHostName);
  if (!machine.empty() && (host == machine || host == machine.substr(0, machine.find('.')))) return true;
  static constexpr std::array<std::string_view, 6> kLocalSuffixes = {".local",    ".lan",    ".home.arpa",
                                                                      ".internal", ".ts.net", ".localdomain"};
  if (std::any_of(kLocalSuffixes.begin(), kLocalSuffixes.end(), [&](std::string_view s) { return endsWith(host, s); }))
    return true;
  // Names the home router hands out ("desk.fritz.box", "desk.home") sit under the search domains.
  return std::any_of(searchDomains.begin(), searchDomains.end(), [&](const std::string& d) { return under(host, d); });
}

bool isLocalClient(std::string_view address, const std::vector<IPPrefix>& onLink) {
  // A link-local peer's address carries its interface ("fe80::1%eth0").
  if (auto zone = address.find('%'); zone != std::string_view::npos && address.find(':') < zone)
    address = address.substr(0, zone);
  auto parsed = IPPrefix::parse(address);
  if (!parsed || address.find('/') != std::string_view::npos) return false;
  return inAny(fixedLocalRanges(), *parsed) || inAny(onLink, *parsed);
}

std::vector<std::string> resolverSearchDomains(const std::filesystem::path& file) {
  std::vector<std::string> domains;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, domain;
    words >> keyword;
    if (keyword != "search" && keyword != "domain") continue;
    while (words >> domain) {
      if (domain.front() == '#' || domain.front() == ';') break;
      domain = lowerASCII(domain);
      while (!domain.empty() && domain.back() == '.') domain.pop_back();
      if (!domain.empty() && std::find(domains.begin(), domains.end(), domain) == domains.end())
        domains.push_back(domain);
    }
  }
  return domains;
}

void RequestPolicy::readPrefixes() {
  prefixes_ = settings_.onLinkPrefixes ? settings_.onLinkPrefixes() : std::vector<IPPrefix>{};
  readAt_ = settings_.now();
}

bool RequestPolicy::clientAllowed(std::string_view address) {
  if (settings_.allowAnyClient || isLocalClient(address, {})) return true;
  if (!readAt_ || settings_.now() - *readAt_ >= kMaxAge) readPrefixes();
  if (isLocalClient(address, prefixes_)) return true;
  if (settings_.now() - *readAt_ < kRecheckAge) return false;
  readPrefixes();
  return isLocalClient(address, prefixes_);
}

std::optional<HTTPResponse> RequestPolicy::check(const HTTPRequest& request) {
  if (!clientAllowed(request.peerAddress)) return refusal("client address not allowed");
  if (auto it = request.headers.find("host"); it != request.headers.end() && !it->second.empty()) {
    if (!isAllowedHost(it->second, settings_.machineHostName, settings_.searchDomains))
      return refusal("host not allowed");
  }
  // Only browsers send an Origin, and the phone never does: a page must not read the replies either.
  if (request.headers.count("origin")) return refusal("cross-origin request refused");
  return std::nullopt;
}

}  // namespace tavlo
