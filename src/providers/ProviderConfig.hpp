#pragma once
// Where the model back ends live and how long they may take. The defaults are
// the fixed ones the companion uses; OLLAMA_HOST and TAVLO_LMSTUDIO_URL move the
// two servers, tests point them at local fakes. A plain value, read from any
// thread; each probe and run keeps its own copy.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.hpp"

namespace tavlo {

class HttpClient;

struct ProviderConfig {
  std::string ollamaURL = "http://127.0.0.1:11434";
  std::string lmStudioURL = "http://127.0.0.1:1234";
  // The server's host as the user wrote it when it runs on another computer
  // (the models say "Ollama on HOST"); empty when it runs on this one.
  std::string ollamaHost{};
  std::string lmStudioHost{};
  std::chrono::milliseconds probeTimeout{2000};       // whole model listing
  std::chrono::milliseconds chatIdleTimeout{120000};  // chat call: no byte for this long ends it
  std::chrono::milliseconds toolTimeLimit{std::chrono::minutes(10)};
  // Prepended to the fixed tool folders (/opt/homebrew/bin, /usr/local/bin, /usr/bin);
  // empty on a real system.
  std::string rootDirectory{};
  std::optional<std::string> homeDirectory{};  // none: $HOME, else the password entry
  std::optional<std::string> searchPath{};     // folders searched for tools after the fixed ones; none: $PATH
  HttpClient* http = nullptr;                  // none: the shared client
  // claude and codex run sealed in bubblewrap (TAVLO_TOOLS_UNSEALED=1 turns it off).
  bool sealTools = true;

  std::string home() const;
  std::string path() const;
  HttpClient& client() const;

  // Moves the two servers where OLLAMA_HOST and TAVLO_LMSTUDIO_URL say (unset
  // or empty: this computer's default ports). A value that is no server
  // address is an error that names the variable and the value.
  Result<void> readServerAddresses();
};

// A model server's address as a base URL, and whether it is this computer.
struct ServerAddress {
  std::string url;         // scheme://host:port[/path], no trailing slash
  std::string remoteHost;  // the host as written when it is another computer; empty: this one
};

// A server address in the Ollama tool's own syntax: HOST, HOST:PORT,
// [IPV6]:PORT, a bare IPv6 address, or SCHEME://HOST[:PORT][/PATH] with
// SCHEME http or https; blanks and quotes around it are ignored. Without a
// scheme the port is `defaultPort`, with one the scheme's own (80, 443). No
// host, 0.0.0.0 and :: mean this computer. `value` empty: this computer at
// `defaultPort`. The error says what is wrong with the value.
Result<ServerAddress> parseServerAddress(std::string_view value, std::uint16_t defaultPort);

// True when `host` (a name or an address, no brackets) names this computer:
// loopback, localhost, its host name or an address of one of its interfaces.
bool isThisComputer(const std::string& host);

}  // namespace tavlo
