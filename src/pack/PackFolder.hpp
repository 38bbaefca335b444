#pragma once
// A directory held open by descriptor. Everything below it is reached with
// *at() calls and O_NOFOLLOW, so a symbolic link planted inside a pack folder
// is never followed out of it. A failure's message reads like
// "could not create folder /x/y: Permission denied".
// Blocking file-system calls: runs on a worker thread (or a command's main thread).
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Result.hpp"

namespace tavlo {

// Everything `fd` gives until its end; a read error's message is the system's
// text for it ("Is a directory").
Result<std::string> readAll(int fd);

class PackFolder {
 public:
  PackFolder(PackFolder&& other) noexcept;
  PackFolder& operator=(PackFolder&& other) noexcept;
  PackFolder(const PackFolder&) = delete;
  PackFolder& operator=(const PackFolder&) = delete;
  ~PackFolder();

  // Creates `path` with its missing parents (links in it are followed: the
  // staging folder is the user's own choice) and opens it. A link to a missing
  // target on the way is named as such.
  static Result<PackFolder> createDirectories(const std::filesystem::path& path);

  // Opens the existing folder `path`, following links.
  static Result<PackFolder> open(const std::filesystem::path& path);

  // Creates a new hidden folder ".tavlo-tmp-<12 hex digits>" in this one, held
  // locked (flock) while the returned folder stays open, so a sweep by another
  // process leaves it alone. Its name is the last part of its path().
  Result<PackFolder> createTemporaryFolder();

  // Whether anything at all (a dangling link too) stands at the child `name`.
  bool has(const std::string& name) const;

  // Renames the child `from` to `to` unless something already stands at `to`.
  // Returns 0, or an errno (EEXIST or ENOTEMPTY when `to` is taken).
  int renameNoReplace(const std::string& from, const std::string& to);

  // Removes the child `name` with everything below it, links themselves and
  // never their targets. Returns 0 or an errno.
  int removeTree(const std::string& name);

  // The folder `relative` ("a/b") below this one, created when missing. A link
  // met on the way is removed and replaced by a folder.
  Result<PackFolder> subfolder(std::string_view relative);

  // Creates the child `name`, which must not exist yet, holding `bytes`, and
  // fsyncs it (unless `syncFile` is false: the caller then syncs the file
  // system before relying on it). On failure the file is removed again.
  Result<void> writeNewFile(const std::string& name, std::string_view bytes, bool syncFile = true);

  // Removes the children named like createTemporaryFolder's folders (files
  // too) that were last changed at least `minAge` ago and that no process
  // holds locked: what a killed write left behind. Nothing else is touched.
  // Returns how many were removed; fails when the folder cannot be listed or
  // one of them cannot be removed (after trying the rest).
  Result<std::size_t> removeStaleTemporaries(std::chrono::seconds minAge);

  // fsync of the folder itself, so renames done in it survive a crash.
  Result<void> sync();

  // syncfs: every file written on this folder's file system reaches the disk.
  Result<void> syncFileSystem();

  const std::filesystem::path& path() const { return path_; }

 private:
  PackFolder(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace tavlo
