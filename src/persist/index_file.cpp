#include "persist/index_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "index/graph/graph_check.h"
#include "index/graph/level_draw.h"
#include "index/store/finite_values.h"
#include "persist/crc32c.h"

namespace zelt {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the index file is little-endian and is written from memory as held");

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The name goes to the system as a C string, so one with a NUL byte would open
// a file other than the one named; such names cannot be opened at all.
bool nameable(const std::string& filename) { return filename.find('\0') == std::string::npos; }

// Opens without blocking, so that a named pipe with no writer cannot hang the
// load, and refuses what is not a regular file: the checks below measure every
// count against the file's size.
FileHandle open_for_loading(const std::string& filename, std::uint64_t& size) {
  if (!nameable(filename)) throw std::runtime_error("Cannot open file for loading: " + filename);
  const int fd = ::open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open file for loading: " + filename);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::runtime_error("Cannot load index file: " + filename + ": not a regular file");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    throw std::runtime_error("Cannot open file for loading: " + filename);
  }
  size = std::uint64_t(info.st_size);
  return FileHandle(file);
}

class Writer {
 public:
  explicit Writer(SavedFile& out) : out_(out) {}
  template <class T>
  void put(const T& value) {
    out_.write(&value, sizeof(T));
  }
  void put_bytes(const void* data, std::size_t bytes) { out_.write(data, bytes); }

 private:
  SavedFile& out_;
};

// Reads through a buffer of its own: a load asks for a few bytes at a time
// (a level, a count, a short list) hundreds of thousands of times, and a call
// of fread each costs more than the copy. Large reads go straight into place.
class Reader {
 public:
  // With a checksum to keep, every byte read extends it, in file order.
  Reader(std::FILE* f, std::uint64_t size, const std::string& name, std::uint32_t* checksum)
      : file_(f), remaining_(size), name_(name), checksum_(checksum) {}

  std::uint64_t remaining() const { return remaining_; }

  template <class T>
  T get(const char* what) {
    T value;
    get_bytes(&value, sizeof(T), what);
    return value;
  }
  void get_bytes(void* out, std::size_t bytes, const char* what) {
    if (bytes > remaining_) {
      refuse(std::string("the file ends early, inside ") + what);
    }
    remaining_ -= bytes;
    auto* to = static_cast<char*>(out);
    const std::size_t buffered = std::min(bytes, end_ - next_);
    if (buffered > 0) std::memcpy(to, buffer_.data() + next_, buffered);
    next_ += buffered;
    const std::size_t left = bytes - buffered;
    if (left == 0) return;
    if (left >= kChunk) {
      read_exactly(to + buffered, left, what);
      return;
    }
    // What the file still holds beyond the buffer: the rest of this request
    // and the remaining_ bytes after it.
    const std::size_t fill = std::size_t(std::min<std::uint64_t>(kChunk, remaining_ + left));
    buffer_.resize(kChunk);
    read_exactly(buffer_.data(), fill, what);
    std::memcpy(to + buffered, buffer_.data(), left);
    next_ = left;
    end_ = fill;
  }
  [[noreturn]] void refuse(const std::string& fault) const {
    throw std::runtime_error("Cannot load index file: " + name_ + ": " + fault);
  }

 private:
  static constexpr std::size_t kChunk = std::size_t(1) << 20;

  // In pieces of a chunk, so that the checksum reads each while it is in the cache.
  void read_exactly(char* out, std::size_t bytes, const char* what) {
    while (bytes > 0) {
      const std::size_t piece = std::min(bytes, kChunk);
      if (std::fread(out, 1, piece, file_) != piece) {
        refuse(std::string("reading ") + what + " failed");
      }
      if (checksum_ != nullptr) *checksum_ = crc32c_extend(*checksum_, out, piece);
      out += piece;
      bytes -= piece;
    }
  }

  std::FILE* file_;
  std::uint64_t remaining_;
  const std::string& name_;
  std::uint32_t* checksum_;
  std::vector<char> buffer_;
  std::size_t next_ = 0;  // the buffer's unread bytes are next_ .. end_
  std::size_t end_ = 0;
};

void write_contents(const IndexState& s, Writer& out) {
  const std::uint64_t n = s.size();
  out.put(s.params.dimension);
  out.put(s.params.curvature);
  out.put(s.params.max_m);
  out.put(s.ep_id);
  out.put(s.ep_layer);
  out.put(n);
  // The records in memory are the file's own: the vector, then its stored
  // norm.
  const std::size_t record = (std::size_t(s.dimension()) + 1) * sizeof(float);
  out.put_bytes(s.vectors.vector(0), std::size_t(n) * record);
  out.put_bytes(s.masks.data(), s.masks.size() * sizeof(std::uint64_t));
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto node = std::int32_t(i);
    const std::int32_t level = s.links.level(node);
    out.put(level);
    for (std::int32_t layer = 0; layer <= level; ++layer) {
      const LinkSpan list = s.links.links(node, layer);
      out.put(std::uint64_t(list.size));
      out.put_bytes(list.ids, std::size_t(list.size) * sizeof(std::int32_t));
    }
  }
}

std::string describe(const char* what, std::int64_t value) {
  return std::string(what) + " " + std::to_string(value);
}

// Reads the header into s (parameters derived for `metric`) and returns the
// node count, checked against what the rest of the file can hold.
std::uint64_t read_header(Reader& in, IndexState& s, MetricKind metric) {
  const auto dimension = in.get<std::int32_t>("the header");
  const auto curvature = in.get<float>("the header");
  const auto m = in.get<std::int32_t>("the header");
  s.ep_id = in.get<std::int32_t>("the header");
  s.ep_layer = in.get<std::int32_t>("the header");
  const auto count = in.get<std::uint64_t>("the header");
  if (dimension < 0) in.refuse(describe("negative dimension", dimension));
  if (!usable_m(m)) in.refuse(describe("M must be 0 or from 2 to 1073741823, the file has", m));
  s.params = IndexParams::derive(dimension, curvature, m, metric);
  // Every node needs its vector record, its mask and its level at least.
  const std::uint64_t least_per_node = 4 * std::uint64_t(dimension) + 4 + 8 + 4;
  if (count > in.remaining() / least_per_node ||
      count > std::uint64_t(std::numeric_limits<std::int32_t>::max())) {
    in.refuse("node count " + std::to_string(count) + " is more than the file can hold");
  }
  if (s.ep_id != -1 && (s.ep_id < 0 || std::uint64_t(s.ep_id) >= count)) {
    in.refuse(describe("entry point outside the nodes:", s.ep_id));
  }
  return count;
}

void read_nodes(Reader& in, IndexState& s, std::size_t n) {
  const std::size_t record = (std::size_t(s.dimension()) + 1) * sizeof(float);
  s.vectors = VectorStore(s.dimension());
  s.vectors.resize(n);
  const auto check_finite = [&](std::size_t i) {
    const float* v = s.vectors.vector(std::int32_t(i));
    const std::int64_t bad = first_non_finite(v, std::size_t(s.dimension()));
    if (bad >= 0) in.refuse("node " + std::to_string(i) + " holds " + non_finite_text(v, bad));
  };
  // A megabyte or more at a time (each piece read straight into place), each
  // record checked while it is still in the cache.
  const std::size_t per_piece = (std::size_t(1) << 20) / record + 1;
  for (std::size_t first = 0; first < n; first += per_piece) {
    const std::size_t count = std::min(per_piece, n - first);
    in.get_bytes(s.vectors.vector(std::int32_t(first)), count * record, "the vectors");
    for (std::size_t i = first; i < first + count; ++i) check_finite(i);
  }
  s.masks.resize(n);
  in.get_bytes(s.masks.data(), n * sizeof(std::uint64_t), "the masks");
  s.tags.rebuild(s.masks.data(), n);

  // A level above what the draw can give only makes every descent cross
  // empty layers.
  const std::int32_t top = highest_level(s.params.level_mult);
  // A graph's nodes get their list slots at once; a flat index's get none
  // unless a list turns up after all.
  if (s.ep_id >= 0) s.ensure_slots();
  s.links.reserve_slots(n);

  std::vector<std::int32_t> ids;
  for (std::size_t i = 0; i < n; ++i) {
    const auto node = std::int32_t(i);
    const auto level = in.get<std::int32_t>("a level");
    if (level < -1 || level > top) {
      in.refuse("node " + std::to_string(i) + " has level " + std::to_string(level) +
                ", outside -1 … " + std::to_string(top));
    }
    if ((std::uint64_t(level) + 1) * 8 > in.remaining()) {
      in.refuse("node " + std::to_string(i) + " has more layers than the file can hold");
    }
    s.links.add_node(level, 0);
    for (std::int32_t layer = 0; layer <= level; ++layer) {
      const auto size = in.get<std::uint64_t>("a link count");
      if (size > in.remaining() / 4) {
        in.refuse("node " + std::to_string(i) + " has more links than the file can hold");
      }
      ids.resize(std::size_t(size));
      in.get_bytes(ids.data(), ids.size() * sizeof(std::int32_t), "a link list");
      if (size == 0) continue;  // add_node left the list empty
      if (layer == 0) s.ensure_slots();
      s.links.assign(node, layer, ids.data(), ids.size());
    }
  }
}

}  // namespace

void write_index(const IndexState& s, SavedFile& out) {
  Writer writer(out);
  write_contents(s, writer);
}

void write_index_file(const IndexState& s, const std::string& filename) {
  SavedFile out(filename, false);
  write_index(s, out);
  out.commit();
}

IndexState read_index_file(const std::string& filename, MetricKind metric,
                           std::uint32_t* checksum) {
  std::uint64_t size = 0;
  const FileHandle file = open_for_loading(filename, size);
  std::uint32_t crc = 0;
  Reader in(file.get(), size, filename, checksum != nullptr ? &crc : nullptr);

  IndexState s;
  const std::uint64_t count = read_header(in, s, metric);
  read_nodes(in, s, std::size_t(count));
  // Links can name later nodes, so the graph is checked once all are known.
  const std::string fault = graph_fault(s, GraphRules::Loadable);
  if (!fault.empty()) in.refuse(fault);
  if (in.remaining() != 0) {
    in.refuse(std::to_string(in.remaining()) + " bytes follow the last node record");
  }
  if (checksum != nullptr) *checksum = crc;
  return s;
}

}  // namespace zelt
