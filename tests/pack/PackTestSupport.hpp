#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavlo::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents afterwards.
struct TempDir {
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavlo-pack-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

inline void writeFile(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

}  // namespace tavlo::testing
