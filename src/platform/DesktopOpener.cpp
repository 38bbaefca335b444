// Called from any thread; blocks only while setsid forks (milliseconds).
#include "platform/DesktopOpener.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/Log.hpp"
#include "platform/ProcessRunner.hpp"
#include "platform/Result.hpp"

extern char** environ;

namespace tavlo {
namespace {

// `program` when it holds a "/", else the first file of that name in a folder
// of PATH, as posix_spawnp searches: whether it is there to execute.
bool foundOnPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return isExecutableFile(program);
  const char* path = std::getenv("PATH");
  std::string_view folders = path ? path : "/bin:/usr/bin";
  for (;;) {
    const auto colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    if (isExecutableFile((folder.empty() ? std::string(".") : std::string(folder)) + "/" + program)) return true;
    if (colon == std::string_view::npos) return false;
    folders.remove_prefix(colon + 1);
  }
}

// Starts `program` (searched on PATH when it holds no "/") with `args` in a
// session of its own, every standard stream on /dev/null (and no other
// descriptor), without waiting for it. It is not this process's child
// (setsid --fork starts it and exits at once), so nobody here reaps it.
Result<void> startDetached(const std::string& program, const std::vector<std::string>& args) {
  if (!foundOnPath(program)) return fail("cannot start " + program + ": not found");
  static const std::string setsid = "/usr/bin/setsid";  // util-linux, on every Debian system
  std::vector<std::string> command{setsid, "--fork", program};
  command.insert(command.end(), args.begin(), args.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> argv;
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, setsid.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail("cannot start " + setsid + ": " + std::strerror(rc));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("cannot start " + program + " through " + setsid);
  return {};
}

}  // namespace

void openWithDesktop(const std::string& location) {
  // No xdg-open: nothing visible happens, as with any failed open; the log says why.
  if (!startDetached("xdg-open", {location})) logLine("Tavlo could not start xdg-open to open " + location);
}

}  // namespace tavlo
