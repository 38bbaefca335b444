#pragma once
// What every test program shares: a temporary folder, files and fake
// executables in it, a bounded wait for a condition, and the log's lines.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.hpp"

namespace tavlo {
using namespace std::chrono_literals;  // for every test program's time limits
namespace fs = std::filesystem;
}  // namespace tavlo

namespace tavlo::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "tavlo-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

inline std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Writes `text`, creating the parent folders.
inline void writeFile(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// A "#!/bin/sh" script with `body`, executable unless told otherwise: the
// stand-in for a command-line tool.
inline std::string writeScript(const std::filesystem::path& p, const std::string& body, bool executable = true) {
  writeFile(p, "#!/bin/sh\n" + body);
  using std::filesystem::perms;
  std::filesystem::permissions(p, executable ? perms::owner_all : perms::owner_read | perms::owner_write);
  return p.string();
}

// Polls `condition` every few milliseconds until it holds or `limit` passes;
// returns its last value. Limits are generous: the tests also run under sanitizers.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() >= deadline) return condition();
  return true;
}

// The log's lines, from any thread, while it lives.
class LogCapture {
 public:
  LogCapture() { setLogSink([this](std::string_view l) { std::lock_guard lock(mutex_); lines_.emplace_back(l); }); }
  ~LogCapture() { setLogSink({}); }
  std::vector<std::string> lines() { std::lock_guard lock(mutex_); return lines_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tavlo::testing
