#pragma once
// Where the model back ends live and how long they may take. The defaults are
// the fixed ones the companion uses; tests point them at local fakes. A plain
// value, read from any thread; each probe and run keeps its own copy.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

class HttpClient;

struct ProviderConfig {
  std::string ollamaURL = "http://127.0.0.1:11434";
  std::string lmStudioURL = "http://127.0.0.1:1234";
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
};

}  // namespace tavlo
