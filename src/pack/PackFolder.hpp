#pragma once
// A directory held open by descriptor. Everything below it is reached with
// *at() calls and O_NOFOLLOW, so a symbolic link planted inside a pack folder
// is never followed out of it. Failures throw std::system_error whose what()
// reads like "could not create folder /x/y: Permission denied".
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace tavlo {

// Reads `fd` to its end into `out`; false on a read error (errno tells which).
bool readAll(int fd, std::string& out);

class PackFolder {
 public:
  PackFolder(PackFolder&& other) noexcept;
  PackFolder& operator=(PackFolder&& other) noexcept;
  PackFolder(const PackFolder&) = delete;
  PackFolder& operator=(const PackFolder&) = delete;
  ~PackFolder();

  // Creates `path` with its missing parents (links in it are followed: the
  // staging folder is the user's own choice) and opens it.
  static PackFolder createDirectories(const std::filesystem::path& path);

  // Opens `path`; a link as its last component is refused.
  static PackFolder openNoFollow(const std::filesystem::path& path);

  // Removes whatever stands at the child `name` (a link itself, never its
  // target; a folder with all its contents), then creates it as an empty folder.
  PackFolder replaceWithEmptyFolder(const std::string& name);

  // The folder `relative` ("a/b") below this one, created when missing. A link
  // met on the way is removed and replaced by a folder.
  PackFolder subfolder(std::string_view relative);

  // Writes `bytes` to the child `name`: a temporary file in this folder,
  // fsync'ed (unless `syncFile` is false: the caller then syncs the file
  // system before relying on it), then renamed over `name`, so the file
  // appears whole or not at all.
  void writeFileAtomically(const std::string& name, std::string_view bytes, bool syncFile = true);

  // fsync of the folder itself, so renames done in it survive a crash.
  void sync();

  // syncfs: every file written on this folder's file system reaches the disk.
  void syncFileSystem();

  // Every regular UTF-8 file below this folder, keyed by its relative path
  // with "/" between segments. Links are never followed; other files are left out.
  std::map<std::string, std::string> readTextFiles() const;

  const std::filesystem::path& path() const { return path_; }

 private:
  PackFolder(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace tavlo
