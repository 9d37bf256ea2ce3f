#include "persist/saved_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "persist/crc32c.h"

namespace zelt {

namespace {

constexpr std::size_t kChunk = std::size_t(1) << 20;

[[noreturn]] void cannot_open(const std::string& name) {
  throw std::runtime_error("Cannot open file for saving: " + name);
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a rename must replace: a symbolic link's target, so that the link
// itself stays.
std::string resolved(const std::string& name) {
  struct stat link {};
  if (::lstat(name.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return name;
  char* real = ::realpath(name.c_str(), nullptr);
  if (real == nullptr) return name;
  std::string out(real);
  std::free(real);
  return out;
}

// A new file beside the target, with the permissions a fresh file gets (or
// the target's own, when it exists).
int create_temp(const std::string& target, const struct stat* existing, std::string& temp) {
  static std::atomic<unsigned> counter{0};
  const std::string dir = directory_of(target);
  const std::string base =
      target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = dir + "/." + base + ".saving-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      if (existing != nullptr) ::fchmod(fd, existing->st_mode & 07777);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  temp.clear();
  return -1;
}

void sync_directory(const std::string& path) {
  const int fd = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The rename is done; a file system that cannot sync a directory still
  // holds the new file, so a failure here is not reported.
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

SavedFile::SavedFile(const std::string& filename, bool checksum)
    : name_(filename), checksum_on_(checksum) {
  // The name goes to the system as a C string, so one with a NUL byte would
  // open a file other than the one named; such names cannot be opened at all.
  if (filename.empty() || filename.find('\0') != std::string::npos) cannot_open(name_);
  struct stat info {};
  const bool exists = ::stat(filename.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    fd_ = ::open(filename.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) cannot_open(name_);
  } else {
    target_ = resolved(filename);
    fd_ = create_temp(target_, exists ? &info : nullptr, temp_);
    if (fd_ < 0) cannot_open(name_);
  }
  buffer_.reserve(kChunk);
}

SavedFile::~SavedFile() { abandon(); }

void SavedFile::abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

void SavedFile::fail(int error) {
  abandon();
  throw std::runtime_error("Cannot write file for saving: " + name_ + " (" + std::strerror(error) +
                           ")");
}

void SavedFile::write(const void* data, std::size_t bytes) {
  const auto* p = static_cast<const char*>(data);
  while (bytes > 0) {
    const std::size_t take = std::min(bytes, kChunk - buffer_.size());
    buffer_.insert(buffer_.end(), p, p + take);
    p += take;
    bytes -= take;
    if (buffer_.size() == kChunk) flush();
  }
}

void SavedFile::flush() {
  if (checksum_on_) crc_ = crc32c_extend(crc_, buffer_.data(), buffer_.size());
  const char* p = buffer_.data();
  std::size_t left = buffer_.size();
  while (left > 0) {
    const ssize_t wrote = ::write(fd_, p, left);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (wrote == 0) fail(ENOSPC);
    p += wrote;
    left -= std::size_t(wrote);
  }
  buffer_.clear();
}

void SavedFile::commit() {
  flush();
  if (temp_.empty()) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail(errno);
    return;
  }
  if (::fsync(fd_) != 0) fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail(errno);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) fail(errno);
  temp_.clear();
  sync_directory(target_);
}

}  // namespace zelt
