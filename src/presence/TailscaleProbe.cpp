#include "presence/TailscaleProbe.hpp"

#include <nlohmann/json.hpp>

#include "platform/Async.hpp"
#include "platform/ProcessRunner.hpp"

namespace tavlo::TailscaleProbe {

const std::vector<std::string>& cliCandidates() {
  static const std::vector<std::string> candidates = {
      "/Applications/Tailscale.app/Contents/MacOS/Tailscale",
      "/opt/homebrew/bin/tailscale",
      "/usr/local/bin/tailscale",
      "/usr/bin/tailscale",
      "/snap/bin/tailscale",
  };
  return candidates;
}

TailscaleStatus parseStatus(std::string_view out) {
  const nlohmann::json doc = nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return TailscaleStatus::stopped();

  if (auto state = doc.find("BackendState"); state != doc.end() && state->is_string()) {
    const auto& text = state->get_ref<const std::string&>();
    if (text == "NoState" || text == "NeedsLogin" || text == "Stopped") return TailscaleStatus::stopped();
  }

  auto self = doc.find("Self");
  if (self == doc.end() || !self->is_object()) return TailscaleStatus::stopped();
  auto ips = self->find("TailscaleIPs");
  if (ips == self->end() || !ips->is_array()) return TailscaleStatus::stopped();
  for (const auto& entry : *ips) {
    if (!entry.is_string()) return TailscaleStatus::stopped();
  }

  const std::string* ip = nullptr;
  for (const auto& entry : *ips) {
    if (entry.get_ref<const std::string&>().find('.') != std::string::npos) {
      ip = &entry.get_ref<const std::string&>();
      break;
    }
  }
  if (!ip) return TailscaleStatus::stopped();

  std::optional<std::string> hostname;
  if (auto dns = self->find("DNSName"); dns != self->end() && dns->is_string()) {
    std::string_view name = dns->get_ref<const std::string&>();
    while (!name.empty() && name.front() == '.') name.remove_prefix(1);
    while (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (!name.empty()) hostname = std::string(name);
  }
  return TailscaleStatus::connected(*ip, std::move(hostname));
}

TailscaleStatus readBlocking(const Options& options) {
  const std::string* tool = nullptr;
  for (const auto& candidate : options.candidates) {
    if (isExecutableFile(candidate)) {
      tool = &candidate;
      break;
    }
  }
  if (!tool) return TailscaleStatus::notInstalled();

  ProcessRequest request;
  request.executable = *tool;
  request.args = {"status", "--json"};
  request.timeLimit = options.timeLimit;
  request.captureStderr = false;
  const Result<ProcessResult> result = runProcess(request);
  // The exit status is not looked at: output that parses is used whatever it is.
  if (!result || result->timedOut) return TailscaleStatus::stopped();
  return parseStatus(result->out);
}

asio::awaitable<TailscaleStatus> read(Options options) {
  return runBlocking([options = std::move(options)] { return readBlocking(options); });
}

}  // namespace tavlo::TailscaleProbe
