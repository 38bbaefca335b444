#pragma once
// A way to stop one piece of running work from another thread: the panel's
// "Stop" asks, the work (a tool's process group, an HTTP call) notices. The
// work also leaves its last words here (a tool's last line on standard error)
// for whoever shows it running: the panel's row, the command's live line.
// Every member may be called from any thread.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

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

  void setLastWords(std::string words) {
    std::lock_guard lock(wordsMutex_);
    words_ = std::move(words);
  }
  // "" until the work has said something.
  std::string lastWords() const {
    std::lock_guard lock(wordsMutex_);
    return words_;
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> cancelled_{false};
  std::function<void()> onCancel_;
  mutable std::mutex wordsMutex_;
  std::string words_;
};

}  // namespace tavlo
