// Any thread: every function takes the table's lock.
#include "platform/ProcessTable.hpp"

#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include "platform/ProcessRunner.hpp"

namespace tavlo {
namespace {

struct Running {
  std::mutex mutex;
  std::condition_variable idle;
  std::set<pid_t> groups;
  int calls = 0;  // runProcess calls not yet returned
  bool stopping = false;
};

// Never destroyed: a tool's thread may still finish a run while the program exits.
Running& running() {
  static Running* r = new Running;
  return *r;
}

}  // namespace

namespace processTable {

CallCount::CallCount() {
  std::lock_guard lock(running().mutex);
  ++running().calls;
}

CallCount::~CallCount() {
  std::lock_guard lock(running().mutex);
  if (--running().calls == 0) running().idle.notify_all();
}

bool stopping() {
  std::lock_guard lock(running().mutex);
  return running().stopping;
}

void registerGroup(pid_t pid) {
  std::lock_guard lock(running().mutex);
  running().groups.insert(pid);
  if (running().stopping) ::kill(-pid, SIGKILL);
}

bool unregisterGroup(pid_t pid) {
  std::lock_guard lock(running().mutex);
  running().groups.erase(pid);
  return running().stopping;
}

}  // namespace processTable

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

}  // namespace tavlo
