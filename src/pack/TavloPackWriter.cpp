#include "pack/TavloPackWriter.hpp"

#include <climits>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "text/JSONText.hpp"
#include "pack/PackFolder.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo::TavloPackWriter {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

std::string validText(std::string_view s) { return isValidUTF8(s) ? std::string(s) : toValidUTF8(s); }

// What the system calls an errno, as a failure's message ends.
std::string systemMessage(int error) { return std::generic_category().message(error); }

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

// File names compared as the phone may compare them: without regard to case.
std::string foldedKey(std::string_view path) {
  return isValidUTF8(path) ? lowercased(path) : lowerASCII(path);
}

// "dup.user.js" → "dup-2.user.js", "recipe.py" → "recipe-2.py", "noext" → "noext-2".
std::string withSuffix(const std::string& relative, int n) {
  const auto slash = relative.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::size_t ext = relative.size();
  if (relative.ends_with(".user.js")) {
    ext = relative.size() - 8;
  } else if (const auto dot = relative.rfind('.'); dot != std::string::npos && dot > base) {
    ext = dot;
  }
  return relative.substr(0, ext) + "-" + std::to_string(n) + relative.substr(ext);
}

// Gives every file of a pack its own name: a later file whose path is taken
// gets "-2", "-3", … before its extension.
class UniqueNames {
 public:
  std::string claim(std::string_view subfolder, const std::string& relative) {
    const std::string prefix = std::string(subfolder) + "/";
    auto [it, fresh] = next_.try_emplace(foldedKey(prefix + relative), 2);
    if (fresh) return relative;
    for (int& n = it->second;;) {
      std::string candidate = withSuffix(relative, n++);
      if (next_.try_emplace(foldedKey(prefix + candidate), 2).second) return candidate;
    }
  }

 private:
  std::map<std::string, int> next_;  // folded path → the next suffix to try
};

class PackWriting {
 public:
  explicit PackWriting(PackFolder& folder) : pack_(folder) {}

  Result<void> write(std::string_view subfolder, const std::string& relative, std::string_view bytes) {
    const Placement where = place(subfolder, relative);
    const fs::path full = pack_.path() / where.folder / where.fileName;
    // Keeps a model from nesting folders without end; the system refuses such paths anyway.
    if (full.native().size() >= PATH_MAX)
      return fail("could not write " + std::string(graphemePrefix(full.native(), 200)) + "…: " +
                  systemMessage(ENAMETOOLONG));
    // Each file is fsync'ed as it is written; past a few dozen files (a model
    // asking for thousands) one syncfs before the manifest does the same job
    // without an fsync per file, which takes minutes on a disk.
    const bool syncNow = ++written_ <= kFilesSyncedOneByOne;
    if (where.folder.empty()) {
      TRY(pack_.writeNewFile(where.fileName, bytes, syncNow));
    } else {
      auto it = folders_.find(where.folder);
      if (it == folders_.end()) {
        if (folders_.size() >= kOpenFolders) TRY(syncFolders());  // bounded descriptors
        it = folders_.emplace(where.folder, TRY(pack_.subfolder(where.folder))).first;
        // The new folders' own entries live in their parents.
        for (auto slash = where.folder.rfind('/'); slash != std::string::npos && slash > 0;
             slash = where.folder.rfind('/', slash - 1))
          if (!parents_.insert(where.folder.substr(0, slash)).second) break;
      }
      TRY(it->second.writeNewFile(where.fileName, bytes, syncNow));
    }
    files_.emplace(where.folder.empty() ? where.fileName : where.folder + "/" + where.fileName, bytes);
    return {};
  }

  // The manifest marks the pack complete: everything else must be on disk first.
  Result<void> finish(const std::string& manifest) {
    if (written_ > kFilesSyncedOneByOne) TRY(pack_.syncFileSystem());
    TRY(syncFolders());
    for (const auto& parent : parents_) {
      PackFolder folder = TRY(pack_.subfolder(parent));
      TRY(folder.sync());
    }
    TRY(pack_.writeNewFile("manifest.json", manifest));
    files_.emplace("manifest.json", manifest);
    return pack_.sync();
  }

  std::map<std::string, std::string> takeFiles() { return std::move(files_); }

 private:
  Result<void> syncFolders() {
    auto held = std::move(folders_);
    folders_.clear();
    for (auto& [relative, folder] : held) TRY(folder.sync());
    return {};
  }

  static constexpr std::size_t kFilesSyncedOneByOne = 32;
  static constexpr std::size_t kOpenFolders = 64;

  PackFolder& pack_;
  std::map<std::string, PackFolder> folders_;  // subfolders written to, kept open
  std::set<std::string> parents_;
  std::size_t written_ = 0;
  std::map<std::string, std::string> files_;  // path in the pack → bytes written
};

// The pack names this process is writing right now. A writer takes the first
// name that is neither on disk nor taken here, so concurrent packs with the
// same name get distinct folders without writing twice; another program that
// takes the name first is caught by the final rename. The name is empty when
// every suffix is taken.
class NameReservation {
 public:
  NameReservation(const PackFolder& staging, const std::string& base) {
    std::lock_guard lock(mutex());
    for (int n = 1; n <= kMaxSuffix; ++n) {
      std::string name = n == 1 ? base : base + "-" + std::to_string(n);
      std::string key = (staging.path() / name).native();
      if (!taken().count(key) && !staging.has(name)) {
        name_ = std::move(name), key_ = std::move(key);
        taken().insert(key_);
        return;
      }
    }
  }
  ~NameReservation() {
    std::lock_guard lock(mutex());
    taken().erase(key_);
  }
  NameReservation(const NameReservation&) = delete;
  NameReservation& operator=(const NameReservation&) = delete;

  const std::string& name() const { return name_; }

 private:
  static constexpr int kMaxSuffix = 1'000'000;
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::set<std::string>& taken() {
    static std::set<std::string> s;
    return s;
  }
  std::string name_;
  std::string key_;
};

// The hidden folder a pack is written in (`folder`, made in `staging`);
// removed with its contents unless it was renamed into place. What a removal
// that fails leaves is swept at the next start (removeLeftovers).
class TemporaryPack {
 public:
  TemporaryPack(PackFolder& staging, PackFolder folder)
      : staging_(staging), name_(folder.path().filename()), folder_(std::move(folder)) {}
  ~TemporaryPack() {
    if (!placed_) staging_.removeTree(name_);
  }
  TemporaryPack(const TemporaryPack&) = delete;
  TemporaryPack& operator=(const TemporaryPack&) = delete;

  PackFolder& folder() { return folder_; }
  // 0 once the folder stands under `name`, else the rename's errno.
  int placeAs(const std::string& name) {
    const int error = staging_.renameNoReplace(name_, name);
    placed_ = error == 0;
    return error;
  }

 private:
  PackFolder& staging_;
  std::string name_;
  PackFolder folder_;
  bool placed_ = false;
};

// Renames lost to another program before giving up.
constexpr int kPlacementAttempts = 8;

struct Contents {
  const json& document;
  const std::string& prompt;
  const std::string& modelID;
  const std::string& summary;
};

// The userscripts or the python recipes of a document, each written as its
// own file (a name used twice gets "-2", …) and listed as an artifact.
Result<void> writeListed(PackWriting& pack, UniqueNames& names, json& artifacts, const json& document,
                         bool userscripts, const std::string& packName) {
  const json* entries = objectArrayAt(document, userscripts ? "userscripts" : "python_recipes");
  if (!entries) return {};
  const std::string folder = userscripts ? "userscripts" : "python";
  const std::string fallback = packName + (userscripts ? ".user.js" : ".py");
  for (const auto& entry : *entries) {
    const std::string* body = stringAt(entry, "body");
    if (!body) continue;
    const std::string* requested = stringAt(entry, "filename");
    std::string fileName = requested ? cleanRelativePath(userscripts ? ensureJsExt(*requested) : *requested) : fallback;
    if (fileName.empty()) fileName = fallback;
    fileName = names.claim(folder, fileName);
    TRY(pack.write(folder, fileName, userscripts ? userscriptHeader(entry, packName) + *body : *body));
    const std::string* summary = stringAt(entry, userscripts ? "description" : "summary");
    artifacts.push_back({{"kind", userscripts ? "userscript" : "python"},
                         {"path", folder + "/" + fileName},
                         {"summary", summary ? *summary : std::string()}});
  }
  return {};
}

// Writes the whole pack named `packName` into `folder`, the manifest last;
// returns every file written with its bytes.
Result<std::map<std::string, std::string>> writeContents(PackFolder& folder, const std::string& packName,
                                                         const Contents& c, const Clock& clock) {
  PackWriting pack(folder);
  UniqueNames names;
  json artifacts = json::array();

  if (const json* buttons = objectArrayAt(c.document, "keyboard_buttons"); buttons && !buttons->empty()) {
    json normalized = json::array();
    for (const auto& raw : *buttons)
      if (auto button = normalizeButton(raw)) normalized.push_back(std::move(*button));
    const json keyboard = {{"name", packName}, {"version", 1}, {"buttons", std::move(normalized)}};
    TRY(pack.write("", "keyboard-pack.json", writePrettyJSON(keyboard)));
    artifacts.push_back({{"kind", "keyboard"},
                         {"path", "keyboard-pack.json"},
                         {"summary", std::to_string(buttons->size()) + " buttons"}});
  }
  TRY(writeListed(pack, names, artifacts, c.document, true, packName));
  TRY(writeListed(pack, names, artifacts, c.document, false, packName));

  const json manifest = {{"name", packName},
                         {"version", kPackVersion},
                         {"createdAt", utcTimeStamp(clock())},
                         {"summary", c.summary},
                         {"prompt", c.prompt},
                         {"model", c.modelID},
                         {"artifacts", std::move(artifacts)}};
  TRY(pack.finish(writePrettyJSON(manifest)));
  return pack.takeFiles();
}

}  // namespace

Clock systemClock() {
  return [] { return std::chrono::system_clock::now(); };
}

Result<WrittenPack> writePack(std::string_view rawText, std::string_view rawPrompt, std::string_view rawModelID,
                              const fs::path& stagingDir, const Clock& clock) {
  const fs::path staging = plainAbsolute(stagingDir);
  PackFolder stagingFolder = TRY(PackFolder::createDirectories(staging));

  const json document = TRY(extractJSON(rawText));
  const std::string prompt = validText(rawPrompt);
  const std::string modelID = validText(rawModelID);

  const std::string* name = stringAt(document, "name");
  const std::string baseName = sanitizeName(name ? *name : slugify(prompt), clock());

  const std::string* summaryValue = stringAt(document, "summary");
  const std::string summary =
      summaryValue ? *summaryValue : "Generated from: " + std::string(graphemePrefix(prompt, 60));
  const Contents contents{document, prompt, modelID, summary};

  // Nothing that stands in the staging folder is ever replaced: the pack is
  // written whole in a hidden folder and renamed into a free name.
  for (int attempt = 0;; ++attempt) {
    const NameReservation reserved(stagingFolder, baseName);
    if (reserved.name().empty())
      return fail("could not name pack " + (staging / baseName).string() + ": " + systemMessage(EEXIST));
    TemporaryPack temp(stagingFolder, TRY(stagingFolder.createTemporaryFolder()));
    auto files = TRY(writeContents(temp.folder(), reserved.name(), contents, clock));
    const int error = temp.placeAs(reserved.name());
    if (error == 0) {
      TRY(stagingFolder.sync());  // the pack folder's own entry, so the pack survives a crash
      return WrittenPack{reserved.name(), staging / reserved.name(), summary, std::move(files)};
    }
    // Another program took the name since it was chosen: write the pack
    // again under the next free name (its name is inside its files).
    if ((error != EEXIST && error != ENOTEMPTY) || attempt >= kPlacementAttempts)
      return fail("could not write " + (staging / reserved.name()).string() + ": " + systemMessage(error));
  }
}

Result<std::size_t> removeLeftovers(const fs::path& stagingDir, std::chrono::seconds minAge) {
  const fs::path staging = plainAbsolute(stagingDir);
  std::error_code ec;
  if (!fs::exists(staging, ec) && !ec) return std::size_t{0};  // nothing was ever written there
  PackFolder folder = TRY(PackFolder::open(staging));
  return folder.removeStaleTemporaries(minAge);
}

}  // namespace tavlo::TavloPackWriter
