#pragma once
// A way to stop one piece of running work from another thread: the panel's
// "Stop" asks, the work (a tool's process group, an HTTP call) notices.
// Every member may be called from any thread.
#include <atomic>
#include <functional>
#include <mutex>

namespace tavlo {

class Cancellation {
 public:
  // Marks the work as stopped and runs the installed reaction, once.
  void cancel() {
    std::lock_guard lock(mutex_);
    if (cancelled_.exchange(true)) return;
    if (onCancel_) onCancel_();
  }
  bool cancelled() const { return cancelled_.load(); }

  // What cancel() does while the work runs (kill a process group); runs at
  // once when the work was already cancelled. Keep it short: it runs under a lock.
  void setReaction(std::function<void()> onCancel) {
    std::lock_guard lock(mutex_);
    onCancel_ = std::move(onCancel);
    if (cancelled_ && onCancel_) onCancel_();
  }
  // Once this returns, the reaction is not running and never runs again.
  void clearReaction() {
    std::lock_guard lock(mutex_);
    onCancel_ = nullptr;
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> cancelled_{false};
  std::function<void()> onCancel_;
};

}  // namespace tavlo
