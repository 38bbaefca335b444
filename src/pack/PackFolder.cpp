#include "pack/PackFolder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>
#include <vector>

#include "pack/UnicodeText.hpp"

namespace tavlo {

namespace {

namespace fs = std::filesystem;

// Folder trees deeper than this are not walked (a pack never is: its paths are
// limited to PATH_MAX).
constexpr int kMaxTreeDepth = 4096;

[[noreturn]] void fail(int error, const std::string& what, const fs::path& path) {
  throw std::system_error(error, std::generic_category(), what + " " + path.string());
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

std::string temporaryName() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char hex[] = "0123456789abcdef";
  std::string name = ".tavlo-tmp-";
  auto bits = random();
  for (int i = 0; i < 12; ++i, bits >>= 4) name.push_back(hex[bits & 0xF]);
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

void readTree(int dirFd, const std::string& prefix, std::map<std::string, std::string>& files, int depth) {
  if (depth > kMaxTreeDepth) return;
  int error = 0;
  for (const auto& name : listNames(dirFd, error)) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Fd child(openDirAt(dirFd, name.c_str()));
      if (child.fd >= 0) readTree(child.fd, prefix + name + "/", files, depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      Fd file(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (file.fd < 0) continue;
      struct stat opened {};
      if (::fstat(file.fd, &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
      std::string text;
      if (!readAll(file.fd, text) || !isValidUTF8(text)) continue;
      files[prefix + name] = std::move(text);
    }
  }
}

}  // namespace

bool readAll(int fd, std::string& out) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
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

PackFolder PackFolder::createDirectories(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail(ec ? ec.value() : errno, "could not create folder", path);
  return PackFolder(fd, path);
}

PackFolder PackFolder::openNoFollow(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fail(errno, "could not open folder", path);
  return PackFolder(fd, path);
}

PackFolder PackFolder::replaceWithEmptyFolder(const std::string& name) {
  const fs::path target = path_ / name;
  if (const int e = removeTreeAt(fd_, name, 0)) fail(e, "could not remove", target);
  if (::mkdirat(fd_, name.c_str(), 0777) != 0) fail(errno, "could not create folder", target);
  const int fd = openDirAt(fd_, name.c_str());
  if (fd < 0) fail(errno, "could not create folder", target);
  return PackFolder(fd, target);
}

PackFolder PackFolder::subfolder(std::string_view relative) {
  Fd current(::dup(fd_));
  if (current.fd < 0) fail(errno, "could not open folder", path_);
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
          fail(errno, "could not create folder", currentPath);
        continue;
      }
      struct stat st {};
      if ((error == ELOOP || error == ENOTDIR) && ::fstatat(current.fd, segment.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISLNK(st.st_mode)) fail(EEXIST, "could not create folder", currentPath);
        if (::unlinkat(current.fd, segment.c_str(), 0) != 0 && errno != ENOENT)
          fail(errno, "could not remove", currentPath);
        continue;
      }
      fail(error, "could not create folder", currentPath);
    }
    if (next < 0) fail(EAGAIN, "could not create folder", currentPath);
    ::close(current.fd);
    current.fd = next;
  }
  return PackFolder(current.release(), currentPath);
}

void PackFolder::writeFileAtomically(const std::string& name, std::string_view bytes, bool syncFile) {
  const fs::path target = path_ / name;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = temporaryName();
    fd = ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) fail(errno, "could not write", target);
  int error = 0;
  if (!writeAll(fd, bytes) || (syncFile && ::fsync(fd) != 0)) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && ::renameat(fd_, temp.c_str(), fd_, name.c_str()) != 0) error = errno;
  if (error) {
    ::unlinkat(fd_, temp.c_str(), 0);
    fail(error, "could not write", target);
  }
}

void PackFolder::sync() {
  if (::fsync(fd_) != 0 && errno != EINVAL) fail(errno, "could not write", path_);
}

void PackFolder::syncFileSystem() {
  if (::syncfs(fd_) != 0) fail(errno, "could not write", path_);
}

std::map<std::string, std::string> PackFolder::readTextFiles() const {
  std::map<std::string, std::string> files;
  readTree(fd_, "", files, 0);
  return files;
}

}  // namespace tavlo
