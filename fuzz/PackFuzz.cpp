// Feeds arbitrary model answers through extraction, normalisation and a full
// pack write into a scratch folder, and checks that nothing lands outside it.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "pack/PackDocument.hpp"
#include "pack/TavloPackWriter.hpp"
#include "text/UnicodeText.hpp"

namespace fs = std::filesystem;
using namespace tavlo;
using namespace tavlo::TavloPackWriter;
using json = nlohmann::json;

namespace {

// tmpfs keeps the fsyncs cheap; the folder is removed at exit.
struct Scratch {
  fs::path root;
  Scratch() {
    std::string pattern = "/dev/shm/tavlo-pack-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    root = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "pack_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto moment = std::chrono::system_clock::time_point{};

  // The naming rules take any bytes.
  const std::string slug = slugify(input);
  check(slug.size() <= 32 && slug.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos, "slug");
  const std::string name = sanitizeName(input, moment);
  check(name.size() <= 47 && name.front() != '-', "name");
  const std::string cleaned = cleanRelativePath(input);
  check(cleaned.empty() || (cleaned.front() != '/' && cleaned.find("//") == std::string::npos), "clean path");
  check(cleaned != ".." && !cleaned.starts_with("../") && cleaned.find("/../") == std::string::npos &&
            !cleaned.ends_with("/..") && cleaned.find('\0') == std::string::npos,
        "dot-dot survived");
  (void)ensureJsExt(input);
  check(isValidUTF8(toValidUTF8(input)), "repair");

  const fs::path staging = scratch.root / "staging";
  std::error_code ec;
  // A failure (no document, names too long for the file system, a file where
  // a folder must go) is a returned message; the checks below hold either way.
  if (const Result<json> document = extractJSON(input)) {
    if (const json* scripts = objectArrayAt(*document, "userscripts"))
      for (const auto& script : *scripts) {
        const std::string header = userscriptHeader(script, name);
        std::size_t lines = 0;
        for (char c : header) lines += c == '\n';
        check(lines == 9, "header lines");
      }
    if (const json* buttons = objectArrayAt(*document, "keyboard_buttons"))
      for (const auto& b : *buttons) (void)normalizeButton(b);
    if (const auto written = writePack(input, input.substr(0, 64), "ollama:fuzz", staging, [moment] { return moment; })) {
      check(written->path.parent_path() == staging, "pack folder outside staging");
      check(fs::is_regular_file(fs::symlink_status(written->path / "manifest.json")), "manifest missing");
    }
  }
  // Only the staging folder may exist under the scratch root, and in it at
  // most the one pack just written: a failed write leaves nothing behind.
  for (const auto& entry : fs::directory_iterator(scratch.root)) check(entry.path() == staging, "file outside staging");
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(staging, ec)) {
    check(!entry.path().filename().string().starts_with("."), "temporary folder left behind");
    ++entries;
  }
  check(entries <= 1, "more than one pack in staging");
  fs::remove_all(staging, ec);
  return 0;
}
