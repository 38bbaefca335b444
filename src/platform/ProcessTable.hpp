#pragma once
// The process groups that runProcess has running now, so that a stopping
// program can end them all (stopAllProcesses and waitForProcesses in
// ProcessRunner.hpp). Inside the platform layer only; any thread.
#include <sys/types.h>

namespace tavlo::processTable {

// Counts one runProcess call, while it lives, for waitForProcesses.
struct CallCount {
  CallCount();
  ~CallCount();
  CallCount(const CallCount&) = delete;
  CallCount& operator=(const CallCount&) = delete;
};

// Whether stopAllProcesses has been called (and not undone).
bool stopping();
// Registered before anything can be awaited; a stop that came in the meantime ends it at once.
void registerGroup(pid_t pid);
// Out of the table before it is reaped (its id may be reused afterwards);
// whether the program was stopping by then.
bool unregisterGroup(pid_t pid);

}  // namespace tavlo::processTable
