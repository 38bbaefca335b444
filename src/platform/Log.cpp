#include "platform/Log.hpp"

#include <cstdio>
#include <mutex>

namespace tavlo {
namespace {
std::mutex logMutex;
std::function<void(std::string_view)> logSink;
}  // namespace

void logLine(std::string_view line) {
  std::lock_guard lock(logMutex);
  if (logSink) {
    logSink(line);
    return;
  }
  std::string out(line);
  out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

void setLogSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(logMutex);
  logSink = std::move(sink);
}

}  // namespace tavlo
