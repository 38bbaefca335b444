#pragma once
// Keeps web pages away from the companion. The phone's requests carry no
// Origin header and name the computer by address or by a local name; a web
// page the user opens sends an Origin on its POSTs, and a DNS-rebinding page
// sends its own host name.
#include <optional>
#include <string>
#include <string_view>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"

namespace tavlo {

// True when `host` (a Host header value, port included or not) names this
// computer in a way no public web site can: an IP literal, "localhost", the
// machine's own host name, or a name under a local-only suffix.
bool isAllowedHost(std::string_view host, std::string_view machineHostName);

// The 403 reply for a request that must not be served, or none.
std::optional<HTTPResponse> checkRequestPolicy(const HTTPRequest& request, std::string_view machineHostName);

}  // namespace tavlo
