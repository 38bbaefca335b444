#include "platform/ProcessRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/Cancellation.hpp"
#include "platform/Log.hpp"
#include "platform/ProcessTable.hpp"

extern char** environ;

namespace tavlo {
namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#else
  (void)pid;
  return -1;
#endif
}

// Copies the environment without the names the caller wants removed.
std::vector<char*> environmentWithout(const std::vector<std::string>& names) {
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    auto eq = entry.find('=');
    std::string_view name = entry.substr(0, eq);
    bool drop = std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n == name; });
    if (!drop) env.push_back(*e);
  }
  env.push_back(nullptr);
  return env;
}

// Descriptors 0-2 as the caller set them up, nothing else: sockets and files
// that are not close-on-exec must not outlive the companion in a tool.
void onlyStandardStreams(posix_spawn_file_actions_t& actions) {
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

struct Stream {
  int fd = -1;
  std::string* sink = nullptr;
};

enum class ReadOutcome { data, again, end };

// One read from a readable pipe; bytes beyond the limit are read and dropped.
ReadOutcome readSome(Stream& s, std::size_t limit, bool& truncated) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(s.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadOutcome::again;
    if (n <= 0) return ReadOutcome::end;
    std::size_t room = limit > s.sink->size() ? limit - s.sink->size() : 0;
    std::size_t keep = std::min<std::size_t>(room, static_cast<std::size_t>(n));
    if (keep < static_cast<std::size_t>(n)) truncated = true;
    s.sink->append(buf, keep);
    return ReadOutcome::data;
  }
}

// Reads what is already in the pipes without waiting, then closes them.
void drainNowAndClose(Stream* streams, std::size_t limit, bool& truncated) {
  for (int i = 0; i < 2; ++i) {
    Stream& s = streams[i];
    if (s.fd < 0) continue;
    ::fcntl(s.fd, F_SETFL, ::fcntl(s.fd, F_GETFL) | O_NONBLOCK);
    // Bounded: a writer that is still alive could otherwise keep us here.
    for (int rounds = 0; rounds < 2048 && readSome(s, limit, truncated) == ReadOutcome::data; ++rounds) {
    }
    closeFd(s.fd);
  }
}


// A new empty folder under the temp folder, removed with whatever the process
// left in it when this goes (after the process has been reaped). Usually the
// tool left it empty: one rmdir, without listing it first.
class ScratchFolder {
 public:
  ScratchFolder() = default;
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    if (path_.empty() || ::rmdir(path_.c_str()) == 0) return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) logLine("Tavlo: the tool's scratch folder " + path_ + " stays: " + error.message());
  }
  Result<void> create() {
    std::string pattern;
    try {
      pattern = (std::filesystem::temp_directory_path() / "tavlo-tool-XXXXXX").string();
    } catch (const std::filesystem::filesystem_error& e) {
      return fail(e.what());  // TMPDIR names no folder
    }
    if (!::mkdtemp(pattern.data())) return fail(std::string("cannot create a scratch folder: ") + std::strerror(errno));
    path_ = pattern;
    return {};
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The pipes the child writes its output to; whatever is still open is closed when this goes.
struct Pipes {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  Pipes() = default;
  Pipes(const Pipes&) = delete;
  Pipes& operator=(const Pipes&) = delete;
  ~Pipes() {
    for (int* fd : {&out[0], &out[1], &err[0], &err[1]}) closeFd(*fd);
  }
  Result<void> open(bool captureStderr) {
    if (::pipe2(out, O_CLOEXEC) != 0 || (captureStderr && ::pipe2(err, O_CLOEXEC) != 0))
      return fail(std::string("cannot create a pipe: ") + std::strerror(errno));
    return {};
  }
};

std::vector<char*> argumentVector(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Starts the child: stdin from /dev/null, stdout (and stderr) into the pipes,
// in a process group of its own so that a time-out can kill everything it started.
Result<pid_t> spawnChild(const ProcessRequest& request, const Pipes& pipes, const std::string& scratch) {
  std::vector<std::string> command{request.executable};
  command.insert(command.end(), request.args.begin(), request.args.end());
  if (request.wrap) command = request.wrap(scratch, request.args);
  if (command.empty()) return fail("cannot start " + request.executable + ": no command");
  const std::string& program = command.front();
  const std::vector<std::string> args(command.begin() + 1, command.end());  // outlives the spawn
  const std::vector<char*> argv = argumentVector(program, args);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipes.out[1], 1);
  if (request.captureStderr)
    posix_spawn_file_actions_adddup2(&actions, pipes.err[1], 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  onlyStandardStreams(actions);
  if (!scratch.empty())
    posix_spawn_file_actions_addchdir_np(&actions, scratch.c_str());
  else if (request.workingDirectory)
    posix_spawn_file_actions_addchdir_np(&actions, request.workingDirectory->c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  posix_spawnattr_setsigmask(&attr, &noSignals);
  posix_spawnattr_setsigdefault(&attr, &allSignals);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> envp = environmentWithout(request.unsetEnvironment);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return fail("cannot start " + program + ": " + std::strerror(rc));
  return pid;
}

// Reads both pipes while the child runs, until the child has exited and its
// pipes are closed; the time limit, or a grandchild that keeps the pipes past
// the exit grace, kills the group and ends the reading.
class ChildWatch {
 public:
  ChildWatch(const ProcessRequest& request, pid_t pid, Pipes& pipes, ProcessResult& result)
      : request_(request),
        pid_(pid),
        result_(result),
        pidFd_(openPidFd(pid)),
        deadline_(Clock::now() + request.timeLimit) {
    streams_[0] = {std::exchange(pipes.out[0], -1), &result.out};
    streams_[1] = {std::exchange(pipes.err[0], -1), &result.err};
  }
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;
  ~ChildWatch() {
    closeFd(streams_[0].fd);
    closeFd(streams_[1].fd);
    closeFd(pidFd_);
  }

  void run() {
    for (;;) {
      const bool pipesOpen = streams_[0].fd >= 0 || streams_[1].fd >= 0;
      if (!pipesOpen && exited_) return;
      const auto now = Clock::now();
      const bool overTime = request_.timeLimit.count() > 0 && now >= deadline_;
      // The tool has ended but something it started still holds the pipes.
      const bool overGrace = exited_ && pipesOpen && now - exitedAt_ >= request_.exitGrace;
      if (overTime || overGrace) {
        result_.timedOut = overTime;
        ::kill(-pid_, SIGKILL);
        drainNowAndClose(streams_, request_.outputLimit, result_.truncated);
        return;
      }
      if (!pollOnce(now)) return;
      if (!exited_ && pidFd_ < 0) checkExited();
    }
  }

 private:
  // Notes whether the child has ended, without reaping it: a zombie keeps the
  // process group id valid for a kill.
  void checkExited() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_)
      markExited();
  }
  void markExited() {
    exited_ = true;
    exitedAt_ = Clock::now();
  }

  // How long one poll may wait: until the deadline, the end of the exit grace,
  // or (without a pidfd to wake it) the next look at the child.
  int pollTimeout(Clock::time_point now) const {
    long long waitMs = -1;
    auto clampTo = [&](Clock::time_point t) {
      long long ms = std::max<long long>(std::chrono::ceil<std::chrono::milliseconds>(t - now).count(), 0);
      waitMs = waitMs < 0 ? ms : std::min(waitMs, ms);
    };
    if (request_.timeLimit.count() > 0) clampTo(deadline_);
    if (exited_) clampTo(exitedAt_ + request_.exitGrace);
    if (!exited_ && pidFd_ < 0) clampTo(now + std::chrono::milliseconds(20));
    return static_cast<int>(std::min<long long>(waitMs, 1 << 30));
  }

  // One poll of the open pipes (and the pidfd); false when polling failed.
  bool pollOnce(Clock::time_point now) {
    pollfd fds[3];
    int which[3];
    int count = 0;
    for (int i = 0; i < 2; ++i)
      if (streams_[i].fd >= 0) {
        fds[count] = {streams_[i].fd, POLLIN, 0};
        which[count++] = i;
      }
    if (pidFd_ >= 0 && !exited_) {
      fds[count] = {pidFd_, POLLIN, 0};
      which[count++] = 2;
    }
    int n = ::poll(fds, static_cast<nfds_t>(count), pollTimeout(now));
    if (n < 0 && errno != EINTR) return false;
    for (int k = 0; n > 0 && k < count; ++k) {
      if (!fds[k].revents) continue;
      if (which[k] == 2) {
        checkExited();
        if (!exited_) markExited();
      } else if (auto read = readSome(streams_[which[k]], request_.outputLimit, result_.truncated);
                 read == ReadOutcome::end) {
        closeFd(streams_[which[k]].fd);
      } else if (read == ReadOutcome::data && which[k] == 1) {
        noteErrLine();
      }
    }
    return true;
  }

  // The last non-blank complete line of stderr, looked for in its last 4 KiB
  // (a tool that floods blank lines costs no more).
  void noteErrLine() {
    if (!request_.onErrLine) return;
    std::string_view err = result_.err;
    err = err.substr(err.size() - std::min<std::size_t>(err.size(), 4096));
    for (auto end = err.find_last_of("\r\n"); end != std::string_view::npos && end > 0;) {
      const auto start = err.find_last_of("\r\n", end - 1);
      const auto line = err.substr(start == std::string_view::npos ? 0 : start + 1,
                                   end - (start == std::string_view::npos ? 0 : start + 1));
      if (line.find_first_not_of(" \t") != std::string_view::npos) {
        if (line != lastErrLine_) request_.onErrLine(lastErrLine_.assign(line));
        return;
      }
      end = start;
    }
  }

  const ProcessRequest& request_;
  const pid_t pid_;
  ProcessResult& result_;
  Stream streams_[2];
  int pidFd_;
  const Clock::time_point deadline_;
  bool exited_ = false;
  Clock::time_point exitedAt_{};
  std::string lastErrLine_;
};

// Whether a run may start: not while the program is stopping, not once cancelled.
std::optional<ProcessResult> refusedBeforeStart(const ProcessRequest& request) {
  ProcessResult refused;
  refused.stopped = processTable::stopping();
  refused.cancelled = !refused.stopped && request.cancel && request.cancel->cancelled();
  if (refused.stopped || refused.cancelled) return refused;
  return std::nullopt;
}

void reap(pid_t pid, ProcessResult& result) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitStatus = -1;
    result.termSignal = WTERMSIG(status);
  }
}

}  // namespace

bool isExecutableFile(const std::string& path) {
  struct stat st{};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

Result<ProcessResult> runProcess(const ProcessRequest& request) {
  processTable::CallCount counted;
  if (auto refused = refusedBeforeStart(request)) return std::move(*refused);
  ScratchFolder scratch;
  if (request.scratchDirectory)
    if (auto made = scratch.create(); !made) return made.error();
  Pipes pipes;
  if (auto opened = pipes.open(request.captureStderr); !opened) return opened.error();
  Result<pid_t> spawned = spawnChild(request, pipes, scratch.path());
  if (!spawned) return spawned.error();
  const pid_t pid = *spawned;
  processTable::registerGroup(pid);
  // Cleared below before the child is reaped, so the kill never reaches a reused id.
  if (request.cancel) request.cancel->setReaction([pid] { ::kill(-pid, SIGKILL); });
  closeFd(pipes.out[1]);
  closeFd(pipes.err[1]);

  ProcessResult result;
  ChildWatch(request, pid, pipes, result).run();
  if (request.cancel) {
    request.cancel->clearReaction();
    result.cancelled = request.cancel->cancelled();
  }
  result.stopped = processTable::unregisterGroup(pid);
  reap(pid, result);
  return result;
}

}  // namespace tavlo
