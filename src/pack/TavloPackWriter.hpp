#pragma once
// Turns one model answer into one pack folder inside the staging folder:
// keyboard-pack.json, userscripts/, python/, and manifest.json written last.
// The folder is written under a hidden temporary name and renamed into place
// when complete, so a pack under its real name is always whole; nothing that
// already stands in the staging folder is replaced.
// Blocking: runs on a worker thread (or a command's main thread); concurrent
// writers in one process are safe.
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "pack/PackDocument.hpp"

namespace tavlo::TavloPackWriter {

struct WrittenPack {
  std::string name;             // the pack name, which is also the folder's name ("-2", "-3", … when taken)
  std::filesystem::path path;   // absolute path of the pack folder
  std::string summary;          // as written into the manifest
  // Every file written, by its path inside the pack ("userscripts/a.user.js",
  // "manifest.json"), with its bytes: what the reply shows without reading the folder back.
  std::map<std::string, std::string> files;
};

// Read once for the pack name's local HHmmss and once for the manifest's UTC
// "createdAt"; tests inject a fixed clock.
using Clock = std::function<std::chrono::system_clock::time_point()>;
Clock systemClock();

// Fails when the answer holds no pack document or a file cannot be written
// (nothing is then left behind), with a message meant for the user. Also
// fails when the staging folder's entry for the complete pack cannot be
// synced: the pack then stands but might not survive a crash.
Result<WrittenPack> writePack(std::string_view text, std::string_view prompt, std::string_view modelID,
                 const std::filesystem::path& stagingDir, const Clock& clock = systemClock());

// Removes what killed writes left in `stagingDir`: its hidden temporary
// folders older than `minAge` that no writer holds. A missing staging folder
// has nothing to sweep. Returns how many were removed.
Result<std::size_t> removeLeftovers(const std::filesystem::path& stagingDir,
                            std::chrono::seconds minAge = std::chrono::minutes(1));

}  // namespace tavlo::TavloPackWriter
