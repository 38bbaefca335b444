#pragma once
// Runs a child process without a shell (posix_spawn), stdin from /dev/null,
// stdout and stderr drained together with poll so a chatty tool never blocks.
// Every child gets descriptors 0-2 only, whatever else the program holds open.
// Blocking, called from any thread (the worker pool, a tool's own thread, a
// command's main thread).
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.hpp"

namespace tavlo {

class Cancellation;

struct ProcessRequest {
  std::string executable{};                     // absolute path, run as is (no PATH search)
  std::vector<std::string> args{};              // argv[1..], each passed byte for byte
  std::chrono::milliseconds timeLimit{0};       // 0: none; else the whole process group is killed
  std::optional<std::string> workingDirectory{};  // none: inherited
  // A new empty folder under the temp folder as the working directory, removed
  // with whatever the process left in it once the process has been reaped.
  bool scratchDirectory = false;
  // Given the scratch folder's path ("" without one) and `args`, the command
  // actually started, program first (a sandbox that binds the folder in);
  // none: `executable` with `args`.
  using Wrapper = std::function<std::vector<std::string>(const std::string& scratch, const std::vector<std::string>& args)>;
  Wrapper wrap{};
  std::vector<std::string> unsetEnvironment{};  // names removed from the inherited environment
  bool captureStderr = true;                    // false: stderr goes to /dev/null
  std::size_t outputLimit = 64u << 20;          // bytes kept per stream; the rest is read and dropped
  // Once the direct child has exited, how long a grandchild that still holds
  // the pipes may keep them before the group is killed and reading stops.
  std::chrono::milliseconds exitGrace{500};
  // Cancelling it kills the process group at once (the result says `cancelled`).
  std::shared_ptr<Cancellation> cancel{};
  // Told each time the last non-blank complete line on stderr changes, on the
  // calling thread while the process runs.
  std::function<void(std::string_view line)> onErrLine{};
};

// How a process ended. A process stopped before it started has ended too:
// `stopped` or `cancelled` is set, with no output and exit status -1.
struct ProcessResult {
  int exitStatus = -1;    // the exit code, or -1 when the process ended by a signal
  int termSignal = 0;     // the signal that ended it, 0 when it exited
  bool timedOut = false;  // the time limit ran out and the process group was killed
  bool truncated = false; // a stream wrote more than `outputLimit`
  bool stopped = false;   // stopAllProcesses() ended it, or kept it from starting
  bool cancelled = false; // the request's Cancellation ended it, or kept it from starting
  std::string out{};
  std::string err{};
};

// Returns once the child has been reaped (and, after a kill, its group); an
// error when it could not be started (no pipe, no scratch folder, spawn failed).
Result<ProcessResult> runProcess(const ProcessRequest& request);

// For a program that is stopping: kills the process group of every process
// running now and keeps new ones from starting. Returns at once.
void stopAllProcesses();
// Waits at most `limit` until every runProcess call has returned (its scratch
// folder removed). True when none is left.
bool waitForProcesses(std::chrono::milliseconds limit);
// Undoes stopAllProcesses (tests).
void allowProcesses();

// True when `path` names a regular file the current user may execute.
bool isExecutableFile(const std::string& path);

}  // namespace tavlo
