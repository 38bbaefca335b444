// `doctor`'s checks of this computer's own setup: the model sources, whether
// claude and codex can run sealed, the staging folder and the tray host. Main
// thread; the two model servers are asked at once from threads of their own.
#include <sys/statvfs.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "app/DoctorReport.hpp"
#include "app/Paths.hpp"
#include "app/Services.hpp"
#include "app/TrayLoader.hpp"
#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LLMRunner.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"
#include "providers/ToolSeal.hpp"

namespace tavlo::doctor {
namespace {

namespace fs = std::filesystem;

// ---- model sources -------------------------------------------------------

struct Source {
  std::string name;
  bool found;
  std::string detail;
  std::string todo;
};

// One model server as the companion would ask it.
struct Server {
  std::string name, variable, url, remoteHost, listPath;
  std::vector<LLMModel> (*parse)(const FetchResponse&);
  int defaultPort;  // where it listens on this computer unless `variable` moves it
  std::string todo;
};

Source serverSource(const Server& s, std::chrono::milliseconds timeout) {
  FetchRequest request;
  request.url = s.url + s.listPath;
  request.totalTimeout = timeout;
  const Result<FetchResponse> response = runToCompletion(HttpClient::shared().send(request));
  const std::size_t n = response ? s.parse(*response).size() : 0;
  const bool remote = !s.remoteHost.empty();
  const bool moved = s.url != "http://127.0.0.1:" + std::to_string(s.defaultPort);
  const std::string name = remote ? s.name + " on " + s.remoteHost : s.name;
  const std::string at = s.url + (moved ? " (" + s.variable + ")" : "");
  if (n > 0) return {name, true, std::to_string(n) + (n == 1 ? " model at " : " models at ") + at, ""};
  if (response) {
    const std::string status = response->status == 200 ? "" : " with HTTP " + std::to_string(response->status);
    return {name, false, "answers at " + at + status + " but lists no model", s.todo};
  }
  if (remote)
    return {name, false, "no answer from " + at + ": " + response.message(),
            "check that " + s.name + " runs on " + s.remoteHost + ", listens on its network (not only 127.0.0.1) " +
                "and that its firewall lets this computer in"};
  if (!moved && tcpListener(s.defaultPort))
    return {name, false, "does not answer at " + at + " within " + std::to_string(timeout.count() / 1000) + " s",
            s.todo};
  return {name, false, "nothing listens at " + at, s.todo};
}

Source toolSource(const std::string& name, const std::vector<std::string>& paths, const std::string& todo) {
  if (auto path = CLIProbe::firstExecutable(paths); !path.empty()) return {name, true, path, ""};
  std::string looked;
  for (const auto& p : paths) looked += (looked.empty() ? "" : ", ") + fs::path(p).parent_path().string();
  return {name, false, "not found in " + looked, todo};
}

// ---- sealing the model tools --------------------------------------------

// Runs `true` sealed as claude and codex are; "" when that worked, else what bubblewrap said.
std::string sealedRunProblem(const std::string& bwrap, const ProviderConfig& config) {
  ProcessRequest request;
  request.executable = "/bin/true";
  request.timeLimit = kToolTime;
  request.scratchDirectory = true;
  request.wrap = [&](const std::string& scratch, const std::vector<std::string>& args) {
    return ToolSeal::sealedCommand(ToolSeal::planFor(bwrap, "/bin/true", args, scratch, config.home(), config.path()));
  };
  const Result<ProcessResult> ran = runProcess(request);
  if (!ran) return ran.error().message;
  if (ran->exitStatus == 0) return "";
  std::string said = firstLine(ran->err);
  return said.starts_with("bwrap: ") ? said.substr(7) : said;
}

// Whether claude and codex can run sealed; failing counts only when one of them is installed.
void checkSealing(Report& report, bool toolInstalled) {
  const std::string check = "model tools";
  if (toolsUnsealedByEnvironment())
    return report.add(Level::warn, check,
                      "TAVLO_TOOLS_UNSEALED=1: claude and codex run unsealed and can read every file this user can",
                      "unset TAVLO_TOOLS_UNSEALED");
  const ProviderConfig config;
  const Level broken = toolInstalled ? Level::fail : Level::warn;
  const std::string bwrap = ToolSeal::findBubblewrap(config.path());
  if (bwrap.empty())
    return report.add(broken, check, "cannot be sealed: bubblewrap is not installed", "sudo apt install bubblewrap");
  const std::string problem = sealedRunProblem(bwrap, config);
  if (problem.empty()) return report.add(Level::ok, check, "sealed by " + bwrap);
  if (auto userns = ToolSeal::userNamespaceProblem())
    return report.add(broken, check, "cannot be sealed: " + userns->what, userns->fix);
  report.add(broken, check, "cannot be sealed: bubblewrap failed: " + problem,
             "check that `" + bwrap + " --ro-bind / / --unshare-pid true` works");
}

}  // namespace

bool checkModels(Report& report) {
  auto settings = providerConfigFromEnvironment();
  if (!settings)
    report.add(Level::fail, "settings", settings.message(), "fix or unset it; the companion does not start with it");
  const ProviderConfig config = settings ? *settings : ProviderConfig{};
  const Server servers[] = {
      {"Ollama", "OLLAMA_HOST", config.ollamaURL, config.ollamaHost, "/api/tags", &OllamaProbe::modelsFromResponse,
       11434, "install it from ollama.com, then `ollama pull llama3.2`"},
      {"LM Studio", "TAVLO_LMSTUDIO_URL", config.lmStudioURL, config.lmStudioHost, "/v1/models",
       &LMStudioProbe::modelsFromResponse, 1234, "load a model in LM Studio and start its local server"}};
  // The two servers are asked at once: each may take the probe's whole time limit.
  auto ollama = std::async(std::launch::async, [&] { return serverSource(servers[0], config.probeTimeout); });
  auto lmstudio = std::async(std::launch::async, [&] { return serverSource(servers[1], config.probeTimeout); });
  const std::vector<Source> sources = {
      ollama.get(),
      lmstudio.get(),
      toolSource("claude", LLMRunner::claudePaths(config), "npm install -g @anthropic-ai/claude-code"),
      toolSource("codex", LLMRunner::codexPaths(config), "npm install -g @openai/codex"),
  };
  bool any = false;
  for (const auto& s : sources) any = any || s.found;
  for (const auto& s : sources)
    report.add(s.found ? Level::ok : any ? Level::warn : Level::fail, "model source " + s.name, s.detail, s.todo);
  checkSealing(report, sources[2].found || sources[3].found);
  return any;
}

// ---- staging folder ------------------------------------------------------

namespace {

// Creates and removes one temporary file in `dir`; "" when that worked, else why not.
std::string writeProbe(const fs::path& dir) {
  std::string name = (dir / ".tavlo-doctor-XXXXXX").string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  ::unlink(name.c_str());
  return "";
}

}  // namespace

void checkStaging(Report& report) {
  const auto resolved = resolveStagingDir();
  if (!resolved) return report.add(Level::fail, "staging folder", resolved.message(), "fix TAVLO_STAGING");
  const auto& staging = *resolved;
  if (!staging) return report.add(Level::fail, "staging folder", "HOME is not set", "set HOME or TAVLO_STAGING");
  // The folder, or the nearest folder above it that exists (the companion creates the rest).
  fs::path existing = *staging;
  std::error_code ec;
  while (!fs::exists(existing, ec) && existing.has_relative_path()) existing = existing.parent_path();
  const std::string where =
      staging->string() + (existing == *staging ? "" : " (to be created in " + existing.string() + ")");
  if (!fs::is_directory(existing, ec))
    return report.add(Level::fail, "staging folder", where + ": " + existing.string() + " is not a folder",
                      "remove it or set TAVLO_STAGING to another folder");
  if (const std::string why = writeProbe(existing); !why.empty())
    return report.add(Level::fail, "staging folder", where + ": cannot write in " + existing.string() + ": " + why,
                      "fix its permissions or set TAVLO_STAGING to a writable folder");
  struct statvfs fsInfo {};
  if (::statvfs(existing.c_str(), &fsInfo) != 0) return report.add(Level::ok, "staging folder", where + ", writable");
  const auto free = static_cast<std::int64_t>(fsInfo.f_bavail) * static_cast<std::int64_t>(fsInfo.f_frsize);
  const std::string text = where + ", writable, " + OllamaProbe::formatFileSize(free) + " free";
  if (free < (64 << 20)) return report.add(Level::fail, "staging folder", text, "free some disk space");
  report.add(Level::ok, "staging folder", text);
}

// ---- tray host -----------------------------------------------------------

void checkTray(Report& report) {
  if (const auto session = currentDisplaySession(qtPluginsFolder());
      !session.waylandDisplay.empty() && !session.waylandPlugin && session.qpaPlatform.empty())
    return report.add(Level::warn, "tray",
                      session.x11Display.empty()
                          ? "this Wayland session lacks Qt's Wayland platform plugin: the companion runs without a tray icon"
                          : "Qt's Wayland platform plugin is missing: the tray goes through Xwayland",
                      kWaylandPluginFix);
  const int owned = busNameOwned(&sd_bus_open_user, "org.kde.StatusNotifierWatcher");
  if (owned < 0) return report.add(Level::warn, "tray", "no D-Bus session bus: the companion runs without a tray icon");
  if (owned == 1) return report.add(Level::ok, "tray", "a StatusNotifier host is on the session bus");
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  if (desktop && std::strstr(desktop, "GNOME"))
    return report.add(Level::warn, "tray", "GNOME shows no tray icons by itself",
                      "sudo apt install gnome-shell-extension-appindicator, then log in again");
  report.add(Level::warn, "tray", "no StatusNotifier host on the session bus (an XEmbed tray may still show the icon)");
}

}  // namespace tavlo::doctor
