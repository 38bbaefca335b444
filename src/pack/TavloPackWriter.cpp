#include "pack/TavloPackWriter.hpp"

#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "pack/JSONText.hpp"
#include "pack/PackFolder.hpp"
#include "pack/UnicodeText.hpp"

namespace tavlo::TavloPackWriter {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

std::string validText(std::string_view s) { return isValidUTF8(s) ? std::string(s) : toValidUTF8(s); }

// Makes `dir` absolute and drops "." segments, doubled and trailing slashes.
fs::path plainAbsolute(const fs::path& dir) {
  std::error_code ec;
  fs::path p = fs::absolute(dir, ec);
  if (ec) p = dir;
  p = p.lexically_normal();
  if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
  return p;
}

// One file of the pack: its folder below the pack folder ("" for the pack
// folder itself) and its own name.
struct Placement {
  std::string folder;
  std::string fileName;
};

Placement place(std::string_view subfolder, const std::string& relative) {
  const auto slash = relative.rfind('/');
  if (slash == std::string::npos) return {std::string(subfolder), relative};
  return {std::string(subfolder) + "/" + relative.substr(0, slash), relative.substr(slash + 1)};
}

class PackWriting {
 public:
  explicit PackWriting(PackFolder folder) : pack_(std::move(folder)) {}

  void write(std::string_view subfolder, const std::string& relative, std::string_view bytes) {
    const Placement where = place(subfolder, relative);
    const fs::path full = pack_.path() / where.folder / where.fileName;
    // Keeps a model from nesting folders without end; the system refuses such paths anyway.
    if (full.native().size() >= PATH_MAX) {
      std::string shown(graphemePrefix(full.native(), 200));
      throw std::system_error(ENAMETOOLONG, std::generic_category(), "could not write " + shown + "…");
    }
    // Each file is fsync'ed before its rename; past a few dozen files (a
    // model asking for thousands) one syncfs before the manifest does the
    // same job without an fsync per file, which takes minutes on a disk.
    const bool syncNow = ++written_ <= kFilesSyncedOneByOne;
    if (where.folder.empty()) {
      pack_.writeFileAtomically(where.fileName, bytes, syncNow);
    } else {
      auto it = folders_.find(where.folder);
      if (it == folders_.end()) {
        if (folders_.size() >= kOpenFolders) syncFolders();  // bounded descriptors
        it = folders_.emplace(where.folder, pack_.subfolder(where.folder)).first;
        // The new folders' own entries live in their parents.
        for (auto slash = where.folder.rfind('/'); slash != std::string::npos && slash > 0;
             slash = where.folder.rfind('/', slash - 1))
          if (!parents_.insert(where.folder.substr(0, slash)).second) break;
      }
      it->second.writeFileAtomically(where.fileName, bytes, syncNow);
    }
  }

  // The manifest marks the pack complete: everything else must be on disk first.
  void finish(const std::string& manifest) {
    if (written_ > kFilesSyncedOneByOne) pack_.syncFileSystem();
    syncFolders();
    for (const auto& parent : parents_) pack_.subfolder(parent).sync();
    pack_.sync();
    pack_.writeFileAtomically("manifest.json", manifest);
    pack_.sync();
  }

 private:
  void syncFolders() {
    for (auto& [relative, folder] : folders_) folder.sync();
    folders_.clear();
  }

  static constexpr std::size_t kFilesSyncedOneByOne = 32;
  static constexpr std::size_t kOpenFolders = 64;

  PackFolder pack_;
  std::map<std::string, PackFolder> folders_;  // subfolders written to, kept open
  std::set<std::string> parents_;
  std::size_t written_ = 0;
};

// Packs are written in parallel, but two writes of the same pack folder (same
// name within the same second) take turns, so the later pack replaces the
// earlier one whole instead of mixing their files.
class FolderClaim {
 public:
  explicit FolderClaim(std::string path) : path_(std::move(path)) {
    std::unique_lock lock(mutex());
    cv().wait(lock, [&] { return !busy().count(path_); });
    busy().insert(path_);
  }
  ~FolderClaim() {
    {
      std::lock_guard lock(mutex());
      busy().erase(path_);
    }
    cv().notify_all();
  }
  FolderClaim(const FolderClaim&) = delete;
  FolderClaim& operator=(const FolderClaim&) = delete;

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::condition_variable& cv() {
    static std::condition_variable c;
    return c;
  }
  static std::set<std::string>& busy() {
    static std::set<std::string> s;
    return s;
  }
  std::string path_;
};

}  // namespace

Clock systemClock() {
  return [] { return std::chrono::system_clock::now(); };
}

Result writePack(std::string_view rawText, std::string_view rawPrompt, std::string_view rawModelID,
                 const fs::path& stagingDir, const Clock& clock) {
  const fs::path staging = plainAbsolute(stagingDir);
  PackFolder stagingFolder = PackFolder::createDirectories(staging);

  const json document = extractJSON(rawText);
  const std::string prompt = validText(rawPrompt);
  const std::string modelID = validText(rawModelID);

  const std::string* name = stringAt(document, "name");
  const std::string packName = sanitizeName(name ? *name : slugify(prompt), clock());

  const std::string* summaryValue = stringAt(document, "summary");
  const std::string summary =
      summaryValue ? *summaryValue : "Generated from: " + std::string(graphemePrefix(prompt, 60));

  FolderClaim claim((staging / packName).native());
  PackWriting pack(stagingFolder.replaceWithEmptyFolder(packName));
  json artifacts = json::array();

  if (const json* buttons = objectArrayAt(document, "keyboard_buttons"); buttons && !buttons->empty()) {
    json normalized = json::array();
    for (const auto& raw : *buttons)
      if (auto button = normalizeButton(raw)) normalized.push_back(std::move(*button));
    const json keyboard = {{"name", packName}, {"version", 1}, {"buttons", std::move(normalized)}};
    pack.write("", "keyboard-pack.json", writePrettyJSON(keyboard));
    artifacts.push_back({{"kind", "keyboard"},
                         {"path", "keyboard-pack.json"},
                         {"summary", std::to_string(buttons->size()) + " buttons"}});
  }

  if (const json* scripts = objectArrayAt(document, "userscripts")) {
    const std::string fallback = packName + ".user.js";
    for (const auto& script : *scripts) {
      const std::string* body = stringAt(script, "body");
      if (!body) continue;
      const std::string* requested = stringAt(script, "filename");
      std::string fileName = cleanRelativePath(requested ? ensureJsExt(*requested) : fallback);
      if (fileName.empty()) fileName = fallback;
      pack.write("userscripts", fileName, userscriptHeader(script, packName) + *body);
      const std::string* description = stringAt(script, "description");
      artifacts.push_back({{"kind", "userscript"},
                           {"path", "userscripts/" + fileName},
                           {"summary", description ? *description : std::string()}});
    }
  }

  if (const json* recipes = objectArrayAt(document, "python_recipes")) {
    const std::string fallback = packName + ".py";
    for (const auto& recipe : *recipes) {
      const std::string* body = stringAt(recipe, "body");
      if (!body) continue;
      const std::string* requested = stringAt(recipe, "filename");
      std::string fileName = requested ? cleanRelativePath(*requested) : fallback;
      if (fileName.empty()) fileName = fallback;
      pack.write("python", fileName, *body);
      const std::string* recipeSummary = stringAt(recipe, "summary");
      artifacts.push_back({{"kind", "python"},
                           {"path", "python/" + fileName},
                           {"summary", recipeSummary ? *recipeSummary : std::string()}});
    }
  }

  const json manifest = {{"name", packName},
                         {"version", "0.1.0"},
                         {"createdAt", utcTimeStamp(clock())},
                         {"summary", summary},
                         {"prompt", prompt},
                         {"model", modelID},
                         {"artifacts", std::move(artifacts)}};
  pack.finish(writePrettyJSON(manifest));
  try {
    stagingFolder.sync();  // the pack folder's own entry; the pack is complete either way
  } catch (const std::system_error&) {
  }

  return Result{packName, staging / packName, summary};
}

}  // namespace tavlo::TavloPackWriter
