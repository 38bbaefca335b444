#include "pack/PackFolder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

namespace tavlo {

namespace {

namespace fs = std::filesystem;

// Folder trees deeper than this are not walked (a pack never is: its paths are
// limited to PATH_MAX).
constexpr int kMaxTreeDepth = 4096;

// "could not write /x/y: Permission denied".
Error failure(int error, const std::string& what, const fs::path& path) {
  return fail(what + " " + path.string() + ": " + std::generic_category().message(error));
}

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() {
    const int f = fd;
    fd = -1;
    return f;
  }
};

int openDirAt(int parent, const char* name) {
  return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::vector<std::string> listNames(int dirFd, int& error) {
  std::vector<std::string> names;
  error = 0;
  const int copy = ::dup(dirFd);
  if (copy < 0) {
    error = errno;
    return names;
  }
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    error = errno;
    ::close(copy);
    return names;
  }
  ::rewinddir(dir);
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string_view n = entry->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
    errno = 0;
  }
  if (errno) error = errno;
  ::closedir(dir);
  return names;
}

// Removes `name` inside `parent` without following links. Returns 0 or an errno.
int removeTreeAt(int parent, const std::string& name, int depth) {
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
  if (depth > kMaxTreeDepth) return ENAMETOOLONG;
  {
    Fd dir(openDirAt(parent, name.c_str()));
    if (dir.fd < 0) return errno;
    int error = 0;
    for (const auto& child : listNames(dir.fd, error)) {
      if (const int e = removeTreeAt(dir.fd, child, depth + 1)) return e;
    }
    if (error) return error;
  }
  return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

constexpr std::string_view kTemporaryPrefix = ".tavlo-tmp-";
constexpr std::size_t kTemporaryDigits = 12;

bool isTemporaryName(std::string_view name) {
  if (!name.starts_with(kTemporaryPrefix) || name.size() != kTemporaryPrefix.size() + kTemporaryDigits) return false;
  return name.find_first_not_of("0123456789abcdef", kTemporaryPrefix.size()) == std::string_view::npos;
}

std::string temporaryName() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char hex[] = "0123456789abcdef";
  std::string name(kTemporaryPrefix);
  auto bits = random();
  for (std::size_t i = 0; i < kTemporaryDigits; ++i, bits >>= 4) name.push_back(hex[bits & 0xF]);
  return name;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Result<std::string> readAll(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(std::generic_category().message(errno));
    }
    if (n == 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

PackFolder::PackFolder(PackFolder&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

PackFolder& PackFolder::operator=(PackFolder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

PackFolder::~PackFolder() {
  if (fd_ >= 0) ::close(fd_);
}

Result<PackFolder> PackFolder::createDirectories(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) return PackFolder(fd, path);
  const int error = ec ? ec.value() : errno;
  // create_directories reports a link to a missing target as "File exists":
  // say what stands there instead.
  for (fs::path at = path; at.has_relative_path(); at = at.parent_path()) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode) && ::stat(at.c_str(), &st) != 0 && errno == ENOENT) {
      std::error_code readError;
      const fs::path target = fs::read_symlink(at, readError);
      std::string what = "staging folder " + path.string();
      if (at != path) what += ": " + at.string();
      return failure(ENOENT, what + " is a symbolic link to a missing target", target);
    }
    break;
  }
  return failure(error, "could not create folder", path);
}

Result<PackFolder> PackFolder::open(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failure(errno, "could not open folder", path);
  return PackFolder(fd, path);
}

Result<PackFolder> PackFolder::createTemporaryFolder() {
  std::string name;
  for (int attempt = 0; attempt < 16; ++attempt) {
    name = temporaryName();
    if (::mkdirat(fd_, name.c_str(), 0777) != 0) {
      if (errno == EEXIST) continue;
      return failure(errno, "could not create folder", path_ / name);
    }
    Fd dir(openDirAt(fd_, name.c_str()));
    if (dir.fd < 0 || ::flock(dir.fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      removeTreeAt(fd_, name, 0);  // just made, empty: the failure to report is the one above
      return failure(error, "could not create folder", path_ / name);
    }
    return PackFolder(dir.release(), path_ / name);
  }
  return failure(EEXIST, "could not create folder", path_ / name);
}

bool PackFolder::has(const std::string& name) const {
  struct stat st {};
  return ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

int PackFolder::renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without RENAME_NOREPLACE: claim the name with an empty
  // folder first (mkdir is exclusive), then rename over that empty folder.
  if (::mkdirat(fd_, to.c_str(), 0700) != 0) return errno;
  if (::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0) return 0;
  const int error = errno;
  ::unlinkat(fd_, to.c_str(), AT_REMOVEDIR);  // only ever our own empty folder
  return error;
}

int PackFolder::removeTree(const std::string& name) { return removeTreeAt(fd_, name, 0); }

Result<PackFolder> PackFolder::subfolder(std::string_view relative) {
  Fd current(::dup(fd_));
  if (current.fd < 0) return failure(errno, "could not open folder", path_);
  fs::path currentPath = path_;
  std::size_t pos = 0;
  while (pos < relative.size()) {
    auto slash = relative.find('/', pos);
    if (slash == std::string_view::npos) slash = relative.size();
    const std::string segment(relative.substr(pos, slash - pos));
    pos = slash + 1;
    if (segment.empty()) continue;
    currentPath /= segment;
    int next = -1;
    for (int attempt = 0; attempt < 4 && next < 0; ++attempt) {
      next = openDirAt(current.fd, segment.c_str());
      if (next >= 0) break;
      const int error = errno;
      if (error == ENOENT) {
        if (::mkdirat(current.fd, segment.c_str(), 0777) != 0 && errno != EEXIST)
          return failure(errno, "could not create folder", currentPath);
        continue;
      }
      struct stat st {};
      if ((error == ELOOP || error == ENOTDIR) && ::fstatat(current.fd, segment.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISLNK(st.st_mode)) return failure(EEXIST, "could not create folder", currentPath);
        if (::unlinkat(current.fd, segment.c_str(), 0) != 0 && errno != ENOENT)
          return failure(errno, "could not remove", currentPath);
        continue;
      }
      return failure(error, "could not create folder", currentPath);
    }
    if (next < 0) return failure(EAGAIN, "could not create folder", currentPath);
    ::close(current.fd);
    current.fd = next;
  }
  return PackFolder(current.release(), currentPath);
}

Result<void> PackFolder::writeNewFile(const std::string& name, std::string_view bytes, bool syncFile) {
  const fs::path target = path_ / name;
  const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return failure(errno, "could not write", target);
  int error = 0;
  if (!writeAll(fd, bytes) || (syncFile && ::fsync(fd) != 0)) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (error) {
    ::unlinkat(fd_, name.c_str(), 0);  // our own half file; the failure to report is the write's
    return failure(error, "could not write", target);
  }
  return {};
}

Result<std::size_t> PackFolder::removeStaleTemporaries(std::chrono::seconds minAge) {
  int error = 0;
  const auto names = listNames(fd_, error);
  if (error) return failure(error, "could not read folder", path_);
  std::optional<Error> firstFailure;  // the others are still swept
  const auto now = std::chrono::system_clock::now();
  std::size_t removed = 0;
  for (const auto& name : names) {
    if (!isTemporaryName(name)) continue;
    struct stat st {};
    if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)))
      continue;
    const auto changed = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
    if (now - changed < minAge) continue;
    // A write in progress (in this process or another) holds its folder locked.
    Fd held(::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (held.fd < 0 || ::flock(held.fd, LOCK_EX | LOCK_NB) != 0) continue;
    if (const int e = removeTreeAt(fd_, name, 0)) {
      if (!firstFailure) firstFailure = failure(e, "could not remove", path_ / name);
    } else {
      ++removed;
    }
  }
  if (firstFailure) return *firstFailure;
  return removed;
}

Result<void> PackFolder::sync() {
  if (::fsync(fd_) != 0 && errno != EINVAL) return failure(errno, "could not write", path_);
  return {};
}

Result<void> PackFolder::syncFileSystem() {
  if (::syncfs(fd_) != 0) return failure(errno, "could not write", path_);
  return {};
}

}  // namespace tavlo
