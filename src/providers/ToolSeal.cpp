// Runs on a tool's own thread (the plan's look at the file system) or any
// thread (the pure parts); see ToolSeal.hpp.
#include "providers/ToolSeal.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ProcessRunner.hpp"

namespace tavlo::ToolSeal {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSeeDoctor = ", see tavlo-companion doctor";

// `path` without a trailing "/" ("/" stays "/").
std::string trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// True when `path` is `folder` or lies below it.
bool within(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || (path.starts_with(folder) && path[folder.size()] == '/');
}

bool hiddenBy(const std::string& path, const std::vector<std::string>& hidden) {
  return std::any_of(hidden.begin(), hidden.end(), [&](const std::string& h) { return within(path, h); });
}

// True when binding `path` back would show a hidden folder (the home itself, "/").
bool uncovers(const std::string& path, const std::vector<std::string>& hidden) {
  return std::any_of(hidden.begin(), hidden.end(), [&](const std::string& h) { return within(h, path); });
}

// What to bind back read-only for one installed file: its install root, or
// the file alone when the root would uncover a hidden folder; nothing when the
// file is visible anyway.
std::string installBind(const std::string& file, const std::vector<std::string>& hidden) {
  if (!file.starts_with('/') || !hiddenBy(file, hidden)) return "";
  const std::string root = installRoot(file);
  return uncovers(root, hidden) ? file : root;
}

std::string readSetting(const char* file) {
  std::string value;
  std::ifstream(file) >> value;
  return value;
}

}  // namespace

std::vector<std::string> sealedCommand(const Plan& plan) {
  std::vector<std::string> hidden;
  for (const auto& h : plan.hidden)
    if (h.starts_with('/') && trimmed(h) != "/") hidden.push_back(trimmed(h));
  // Parents before the folders below them: a later tmpfs covers an earlier one's part.
  std::sort(hidden.begin(), hidden.end());
  hidden.erase(std::unique(hidden.begin(), hidden.end()), hidden.end());

  std::vector<std::string> argv{plan.bwrap, "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
                                "--unshare-pid", "--die-with-parent", "--new-session"};
  auto add = [&argv](std::initializer_list<std::string> words) { argv.insert(argv.end(), words); };
  for (const auto& h : hidden) add({"--tmpfs", h});
  for (const auto& own : plan.ownFiles) {
    const std::string path = trimmed(own);
    if (path.starts_with('/') && !uncovers(path, hidden)) add({"--bind-try", path, path});
  }
  std::vector<std::string> bound;
  for (const auto& file : plan.installed) {
    std::string bind = installBind(trimmed(file), hidden);
    if (!bind.empty() && std::find(bound.begin(), bound.end(), bind) == bound.end()) {
      add({"--ro-bind", bind, bind});
      bound.push_back(std::move(bind));
    }
  }
  add({"--bind", plan.scratch, plan.scratch, "--chdir", plan.scratch});
  // Nothing on the session bus (its socket is under /run/user, hidden; an abstract one is not).
  add({"--unsetenv", "DBUS_SESSION_BUS_ADDRESS", "--", plan.tool});
  argv.insert(argv.end(), plan.args.begin(), plan.args.end());
  return argv;
}

Plan planFor(std::string bwrap, const std::string& executable, std::vector<std::string> args, std::string scratch,
             const std::string& home, const std::string& searchPath, std::vector<std::string> ownFiles) {
  std::error_code ec;
  std::string tool = fs::canonical(executable, ec).string();
  if (ec) tool = executable;
  Plan plan{.bwrap = std::move(bwrap), .tool = tool, .args = std::move(args), .scratch = std::move(scratch),
            .hidden = hiddenFolders(home), .ownFiles = std::move(ownFiles), .installed = {tool}};
  if (std::string interpreter = interpreterOf(tool, searchPath); !interpreter.empty())
    plan.installed.push_back(std::move(interpreter));
  return plan;
}

std::string installRoot(const std::string& file) {
  for (const std::string marker : {"/lib/node_modules/", "/node_modules/"})
    if (auto at = file.find(marker); at != std::string::npos) return at == 0 ? "/" : file.substr(0, at);
  auto slash = file.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : file.substr(0, slash);
}

std::vector<std::string> hiddenFolders(const std::string& home) {
  std::vector<std::string> found;
  std::error_code ec;
  for (std::string folder : std::initializer_list<std::string>{"/home", "/root", "/tmp", "/var/tmp", "/run/user", "/media", "/mnt", "/srv", home}) {
    folder = trimmed(folder);
    if (folder.starts_with('/') && folder != "/" && fs::is_directory(folder, ec)) found.push_back(folder);
  }
  return found;
}

std::string interpreterOf(const std::string& file, const std::string& searchPath) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || !line.starts_with("#!")) return "";
  std::istringstream words(line.substr(2));
  std::string program, word;
  words >> program;
  if (fs::path(program).filename() == "env")
    while (words >> word && word.starts_with('-')) {
    }
  else
    word = program;
  if (word.empty()) return "";
  std::string found = word.find('/') != std::string::npos ? word : "";
  std::istringstream dirs(searchPath);
  for (std::string dir; found.empty() && std::getline(dirs, dir, ':');)
    if (dir.starts_with('/') && isExecutableFile(dir + "/" + word)) found = dir + "/" + word;
  std::error_code ec;
  const fs::path resolved = fs::canonical(found, ec);
  return ec ? found : resolved.string();
}

std::string findBubblewrap(const std::string& searchPath) {
  std::istringstream dirs(searchPath);
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (dir.starts_with('/') && isExecutableFile(trimmed(dir) + "/bwrap")) return trimmed(dir) + "/bwrap";
  return "";
}

std::string notInstalledMessage() {
  return std::string("cannot seal the tool: bubblewrap is not installed (sudo apt install bubblewrap)") + kSeeDoctor;
}

std::optional<std::string> sealFailure(const ProcessResult& result) {
  if (result.exitStatus != 1 || !result.err.starts_with("bwrap: ")) return std::nullopt;
  const std::string said = result.err.substr(7, result.err.find('\n') - 7);  // the first line
  if (said.find("namespace") != std::string::npos)
    if (auto problem = userNamespaceProblem())
      return "cannot seal the tool: " + problem->what + " (" + problem->fix + ")" + kSeeDoctor;
  return "cannot seal the tool: bubblewrap failed (" + said + ")" + kSeeDoctor;
}

std::optional<NamespaceProblem> userNamespaceProblem() {
  if (readSetting("/proc/sys/kernel/unprivileged_userns_clone") == "0")
    return NamespaceProblem{"unprivileged user namespaces are turned off",
                            "sudo sysctl -w kernel.unprivileged_userns_clone=1"};
  if (readSetting("/proc/sys/user/max_user_namespaces") == "0")
    return NamespaceProblem{"user namespaces are turned off", "sudo sysctl -w user.max_user_namespaces=65536"};
  if (readSetting("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1")
    return NamespaceProblem{"AppArmor keeps programs from making user namespaces",
                            "sudo sysctl -w kernel.apparmor_restrict_unprivileged_userns=0"};
  return std::nullopt;
}

}  // namespace tavlo::ToolSeal
