#include "persist/index_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

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

std::FILE* open_for_saving(const std::string& filename) {
  return nameable(filename) ? std::fopen(filename.c_str(), "wb") : nullptr;
}

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
  Writer(std::FILE* f, const std::string& name) : file_(f), name_(name) { buffer_.reserve(kChunk); }

  template <class T>
  void put(const T& value) {
    put_bytes(&value, sizeof(T));
  }
  void put_bytes(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
      const std::size_t take = std::min(bytes, kChunk - buffer_.size());
      buffer_.insert(buffer_.end(), p, p + take);
      p += take;
      bytes -= take;
      if (buffer_.size() == kChunk) flush();
    }
  }
  void flush() {
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
      fail();
    }
    buffer_.clear();
  }
  [[noreturn]] void fail() const {
    throw std::runtime_error("Cannot write file for saving: " + name_ + " (" +
                             std::strerror(errno) + ")");
  }

 private:
  static constexpr std::size_t kChunk = std::size_t(1) << 20;
  std::FILE* file_;
  const std::string& name_;
  std::vector<char> buffer_;
};

class Reader {
 public:
  Reader(std::FILE* f, std::uint64_t size, const std::string& name)
      : file_(f), remaining_(size), name_(name) {}

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
    if (bytes > 0 && std::fread(out, 1, bytes, file_) != bytes) {
      refuse(std::string("reading ") + what + " failed");
    }
    remaining_ -= bytes;
  }
  [[noreturn]] void refuse(const std::string& fault) const {
    throw std::runtime_error("Cannot load index file: " + name_ + ": " + fault);
  }

 private:
  std::FILE* file_;
  std::uint64_t remaining_;
  const std::string& name_;
};

void write_contents(const IndexState& s, Writer& out) {
  const std::uint64_t n = s.size();
  out.put(s.dimension);
  out.put(s.curvature);
  out.put(s.max_m);
  out.put(s.ep_id);
  out.put(s.ep_layer);
  out.put(n);
  // The arena holds each vector followed by its stored norm, the file's own
  // record layout, so the whole vector section goes out in one piece.
  const std::size_t record = (std::size_t(s.dimension) + 1) * sizeof(float);
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

void read_header(Reader& in, IndexState& s, std::uint64_t& count) {
  s.dimension = in.get<std::int32_t>("the header");
  s.curvature = in.get<float>("the header");
  s.max_m = in.get<std::int32_t>("the header");
  s.ep_id = in.get<std::int32_t>("the header");
  s.ep_layer = in.get<std::int32_t>("the header");
  count = in.get<std::uint64_t>("the header");
  if (s.dimension < 0) in.refuse(describe("negative dimension", s.dimension));
  if (!usable_m(s.max_m)) {
    in.refuse(describe("M must be 0 or from 2 to 1073741823, the file has", s.max_m));
  }
  // Every node needs its vector record, its mask and its level at least.
  const std::uint64_t least_per_node = 4 * std::uint64_t(s.dimension) + 4 + 8 + 4;
  if (count > in.remaining() / least_per_node ||
      count > std::uint64_t(std::numeric_limits<std::int32_t>::max())) {
    in.refuse("node count " + std::to_string(count) + " is more than the file can hold");
  }
  if (s.ep_id == -1) {
    if (s.ep_layer != -1) in.refuse(describe("no entry point but entry layer", s.ep_layer));
  } else if (s.ep_id < 0 || std::uint64_t(s.ep_id) >= count) {
    in.refuse(describe("entry point outside the nodes:", s.ep_id));
  }
}

void read_nodes(Reader& in, IndexState& s, std::size_t n) {
  const std::size_t record = (std::size_t(s.dimension) + 1) * sizeof(float);
  s.vectors = VectorStore(s.dimension);
  s.vectors.resize(n);
  in.get_bytes(s.vectors.vector(0), n * record, "the vectors");
  s.masks.resize(n);
  in.get_bytes(s.masks.data(), n * sizeof(std::uint64_t), "the masks");

  std::vector<std::int32_t> ids;
  for (std::size_t i = 0; i < n; ++i) {
    const auto node = std::int32_t(i);
    const auto level = in.get<std::int32_t>("a level");
    if (level < -1) in.refuse("node " + std::to_string(i) + " has level " + std::to_string(level));
    if ((std::uint64_t(level) + 1) * 8 > in.remaining()) {
      in.refuse("node " + std::to_string(i) + " has more layers than the file can hold");
    }
    s.links.add_node(level, 0, 0);
    for (std::int32_t layer = 0; layer <= level; ++layer) {
      const auto size = in.get<std::uint64_t>("a link count");
      if (size > in.remaining() / 4) {
        in.refuse("node " + std::to_string(i) + " has more links than the file can hold");
      }
      ids.resize(std::size_t(size));
      in.get_bytes(ids.data(), ids.size() * sizeof(std::int32_t), "a link list");
      for (const std::int32_t id : ids) {
        if (id < 0 || std::size_t(id) >= n) {
          in.refuse("node " + std::to_string(i) + " links to " + std::to_string(id) +
                    ", which is not a node");
        }
      }
      s.links.assign(node, layer, ids.data(), ids.size());
    }
  }
}

// Links can name later nodes, so their levels are checked once all are known.
void check_graph(const Reader& in, const IndexState& s) {
  const auto n = std::int32_t(s.size());
  for (std::int32_t node = 0; node < n; ++node) {
    for (std::int32_t layer = 1; layer <= s.links.level(node); ++layer) {
      for (const std::int32_t id : s.links.links(node, layer)) {
        if (s.links.level(id) < layer) {
          in.refuse("node " + std::to_string(node) + " links on layer " + std::to_string(layer) +
                    " to node " + std::to_string(id) + ", whose level is " +
                    std::to_string(s.links.level(id)));
        }
      }
    }
    for (const std::int32_t id : s.links.links(node, 0)) {
      if (s.links.level(id) < 0) {
        in.refuse("node " + std::to_string(node) + " links on layer 0 to node " +
                  std::to_string(id) + ", which has no layers");
      }
    }
  }
  if (s.ep_id >= 0 && s.links.level(s.ep_id) != s.ep_layer) {
    in.refuse("entry layer " + std::to_string(s.ep_layer) + " is not the level " +
              std::to_string(s.links.level(s.ep_id)) + " of entry point " +
              std::to_string(s.ep_id));
  }
}

}  // namespace

void write_index_file(const IndexState& s, const std::string& filename) {
  FileHandle file(open_for_saving(filename));
  if (!file) throw std::runtime_error("Cannot open file for saving: " + filename);
  Writer out(file.get(), filename);
  write_contents(s, out);
  out.flush();
  if (std::fflush(file.get()) != 0) out.fail();
  if (std::fclose(file.release()) != 0) out.fail();
}

IndexState read_index_file(const std::string& filename, MetricKind metric) {
  std::uint64_t size = 0;
  const FileHandle file = open_for_loading(filename, size);
  Reader in(file.get(), size, filename);

  IndexState s;
  s.metric = metric;
  std::uint64_t count = 0;
  read_header(in, s, count);
  s.max_m_0 = layer0_cap_for(s.max_m);
  s.level_mult = level_mult_for(s.max_m);
  read_nodes(in, s, std::size_t(count));
  check_graph(in, s);
  if (in.remaining() != 0) {
    in.refuse(std::to_string(in.remaining()) + " bytes follow the last node record");
  }
  return s;
}

void adopt_loaded(IndexState& target, IndexState&& loaded) {
  target.dimension = loaded.dimension;
  target.curvature = loaded.curvature;
  target.max_m = loaded.max_m;
  target.max_m_0 = loaded.max_m_0;
  target.ep_id = loaded.ep_id;
  target.ep_layer = loaded.ep_layer;
  target.level_mult = loaded.level_mult;
  target.vectors = std::move(loaded.vectors);
  target.links = std::move(loaded.links);
  target.masks = std::move(loaded.masks);
}

}  // namespace zelt
