#include "index/store/pod_array.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace zelt::pages {

namespace {

std::size_t whole_pages(std::size_t bytes) {
  static const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// ThreadSanitizer does not see mremap give up the old pages, so memory mapped
// later at the same addresses would look shared with their earlier readers;
// under it, a growth copies instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool kRemap = false;
#else
constexpr bool kRemap = true;
#endif

}  // namespace

void* reserve(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  void* p = ::mmap(nullptr, whole_pages(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* grow(void* data, std::size_t old_bytes, std::size_t bytes) {
  if (whole_pages(bytes) == whole_pages(old_bytes)) return data;
  if (kRemap) {
    void* p = ::mremap(data, whole_pages(old_bytes), whole_pages(bytes), MREMAP_MAYMOVE);
    return p == MAP_FAILED ? nullptr : p;
  }
  void* p = reserve(bytes);
  if (p == nullptr) return nullptr;
  std::memcpy(p, data, old_bytes);
  release(data, old_bytes);
  return p;
}

void release(void* data, std::size_t bytes) {
  if (data != nullptr) ::munmap(data, whole_pages(bytes));
}

}  // namespace zelt::pages
