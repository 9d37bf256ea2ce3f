#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelt {

// The destination of a save. A regular file (or a name that does not exist
// yet) is never written in place: the bytes go to a new temporary file beside
// it, which is flushed to the disk and then renamed over the target, so a save
// that is interrupted, fails or is abandoned leaves the old file as it was. A
// target that exists and is not a regular file (a device, a named pipe) is
// written in place. Failures raise std::runtime_error: "Cannot open file for
// saving: <name>" or "Cannot write file for saving: <name> (<reason>)".
class SavedFile {
 public:
  // With `checksum`, the CRC-32C of the bytes written is kept (crc32c.h).
  SavedFile(const std::string& filename, bool checksum);
  ~SavedFile();
  SavedFile(const SavedFile&) = delete;
  SavedFile& operator=(const SavedFile&) = delete;

  void write(const void* data, std::size_t bytes);
  // Puts the written bytes in place of the target.
  void commit();
  // The checksum of everything written, once committed (0 when not kept).
  std::uint32_t checksum() const { return crc_; }

 private:
  void flush();
  [[noreturn]] void fail(int error);
  void abandon();

  std::string name_;    // as the caller gave it, for messages
  std::string target_;  // the file that is replaced (symbolic links followed)
  std::string temp_;    // empty when writing in place
  int fd_ = -1;
  std::vector<char> buffer_;
  bool checksum_on_;
  std::uint32_t crc_ = 0;
};

}  // namespace zelt
