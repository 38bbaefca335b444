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
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"

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

// The process groups running now, so that a stopping program can end them all.
struct Running {
  std::mutex mutex;
  std::condition_variable idle;
  std::set<pid_t> groups;
  int calls = 0;  // runProcess calls not yet returned
  bool stopping = false;
};

// Never destroyed: a detached thread may still finish a run while the program exits.
Running& running() {
  static Running* r = new Running;
  return *r;
}

// Counts one runProcess call for waitForProcesses.
struct CallCount {
  CallCount() {
    std::lock_guard lock(running().mutex);
    ++running().calls;
  }
  ~CallCount() {
    std::lock_guard lock(running().mutex);
    if (--running().calls == 0) running().idle.notify_all();
  }
  CallCount(const CallCount&) = delete;
  CallCount& operator=(const CallCount&) = delete;
};

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

}  // namespace

bool isExecutableFile(const std::string& path) {
  struct stat st{};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

void stopAllProcesses() {
  std::lock_guard lock(running().mutex);
  running().stopping = true;
  for (pid_t group : running().groups) ::kill(-group, SIGKILL);
}

bool waitForProcesses(std::chrono::milliseconds limit) {
  std::unique_lock lock(running().mutex);
  return running().idle.wait_for(lock, limit, [] { return running().calls == 0; });
}

void allowProcesses() {
  std::lock_guard lock(running().mutex);
  running().stopping = false;
}

ProcessResult runProcess(const ProcessRequest& request) {
  CallCount counted;
  ProcessResult result;
  {
    std::lock_guard lock(running().mutex);
    if (running().stopping) {
      result.stopped = true;
      result.error = "stopped before it started";
      return result;
    }
  }
  if (request.cancel && request.cancel->cancelled()) {
    result.cancelled = true;
    result.error = "stopped before it started";
    return result;
  }
  std::string scratch;
  if (request.scratchDirectory) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-tool-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      result.error = std::string("cannot create a scratch folder: ") + std::strerror(errno);
      return result;
    }
    scratch = pattern;
  }
  // Removed on every path out, after the process has been reaped. Usually the
  // tool left it empty: one rmdir, without listing it first.
  struct RemoveScratch {
    const std::string& path;
    ~RemoveScratch() {
      std::error_code ignored;
      if (!path.empty() && ::rmdir(path.c_str()) != 0) std::filesystem::remove_all(path, ignored);
    }
  } removeScratch{scratch};
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  auto fail = [&](const std::string& what, int err) {
    result.started = false;
    result.error = what + ": " + std::strerror(err);
    for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]}) closeFd(*fd);
    return result;
  };
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return fail("cannot create a pipe", errno);
  if (request.captureStderr && ::pipe2(errPipe, O_CLOEXEC) != 0) return fail("cannot create a pipe", errno);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  if (request.captureStderr)
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
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
  // Its own process group, so a time-out can kill everything the tool started.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.executable.c_str()));
  for (const auto& a : request.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp = environmentWithout(request.unsetEnvironment);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, request.executable.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return fail("cannot start " + request.executable, rc);
  result.started = true;
  {
    // Registered before anything can be awaited; a stop that came in the meantime ends it at once.
    std::lock_guard lock(running().mutex);
    running().groups.insert(pid);
    if (running().stopping) ::kill(-pid, SIGKILL);
  }
  // Cleared below before the child is reaped, so the kill never reaches a reused id.
  if (request.cancel) request.cancel->setReaction([pid] { ::kill(-pid, SIGKILL); });
  closeFd(outPipe[1]);
  closeFd(errPipe[1]);

  Stream streams[2] = {{outPipe[0], &result.out}, {errPipe[0], &result.err}};
  int pidFd = openPidFd(pid);
  bool exited = false;
  int status = 0;
  const auto start = Clock::now();
  const bool limited = request.timeLimit.count() > 0;
  const auto deadline = start + request.timeLimit;
  Clock::time_point exitedAt{};

  // Checks whether the child has ended, without reaping it: a zombie keeps
  // the process group id valid for the kill below.
  auto checkExited = [&] {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
      exited = true;
      exitedAt = Clock::now();
    }
  };

  for (;;) {
    bool pipesOpen = streams[0].fd >= 0 || streams[1].fd >= 0;
    if (!pipesOpen && exited) break;
    auto now = Clock::now();
    if (limited && now >= deadline) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      drainNowAndClose(streams, request.outputLimit, result.truncated);
      break;
    }
    if (exited && pipesOpen && now - exitedAt >= request.exitGrace) {
      // The tool has ended but something it started still holds the pipes.
      ::kill(-pid, SIGKILL);
      drainNowAndClose(streams, request.outputLimit, result.truncated);
      break;
    }

    pollfd fds[3];
    int count = 0;
    int which[3];
    for (int i = 0; i < 2; ++i)
      if (streams[i].fd >= 0) {
        fds[count] = {streams[i].fd, POLLIN, 0};
        which[count++] = i;
      }
    if (pidFd >= 0 && !exited) {
      fds[count] = {pidFd, POLLIN, 0};
      which[count++] = 2;
    }
    long long waitMs = -1;
    auto clampTo = [&](Clock::time_point t) {
      long long ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
      ms = std::max<long long>(ms, 0);
      waitMs = waitMs < 0 ? ms : std::min(waitMs, ms);
    };
    if (limited) clampTo(deadline);
    if (exited) clampTo(exitedAt + request.exitGrace);
    if (!exited && pidFd < 0) clampTo(now + std::chrono::milliseconds(20));
    int n = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(std::min<long long>(waitMs, 1 << 30)));
    if (n < 0 && errno != EINTR) break;
    for (int k = 0; n > 0 && k < count; ++k) {
      if (!fds[k].revents) continue;
      if (which[k] == 2) {
        checkExited();
        if (!exited) exited = true, exitedAt = Clock::now();
      } else if (readSome(streams[which[k]], request.outputLimit, result.truncated) == ReadOutcome::end) {
        closeFd(streams[which[k]].fd);
      }
    }
    if (!exited && pidFd < 0) checkExited();
  }
  closeFd(streams[0].fd);
  closeFd(streams[1].fd);
  if (pidFd >= 0) ::close(pidFd);
  if (request.cancel) {
    request.cancel->clearReaction();
    result.cancelled = request.cancel->cancelled();
  }
  {
    // Out of the list before it is reaped: its id may be reused afterwards.
    std::lock_guard lock(running().mutex);
    running().groups.erase(pid);
    result.stopped = running().stopping;
  }

  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitStatus = -1;
    result.termSignal = WTERMSIG(status);
  }
  return result;
}

bool startDetached(const std::string& program, const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  onlyStandardStreams(actions);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const bool searched = program.find('/') == std::string::npos;
  int rc = searched ? ::posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
                    : ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

void runProcessAsync(ProcessRequest request, std::function<void(ProcessResult)> done) {
  asio::post(workerPool(), [request = std::move(request), done = std::move(done)]() mutable {
    ProcessResult result;
    try {
      result = runProcess(request);
    } catch (const std::exception& e) {
      result = ProcessResult{};
      result.error = e.what();
    }
    try {
      done(std::move(result));
    } catch (...) {
      // A throwing callback must not take the worker pool down with it.
    }
  });
}

}  // namespace tavlo
