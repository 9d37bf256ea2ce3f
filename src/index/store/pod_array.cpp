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

// Arenas this large are scanned end to end (the vectors by the exact scan)
// or touched all over (the lists by the walks): on huge pages a scan crosses
// a page, and misses the address cache, 512 times less often. Only a hint;
// where the system gives none, the small pages serve as before.
constexpr std::size_t kHugePageBytes = std::size_t(2) << 20;

void* hinted(void* p, std::size_t bytes) {
  if (p != MAP_FAILED && bytes >= kHugePageBytes) ::madvise(p, whole_pages(bytes), MADV_HUGEPAGE);
  return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

void* reserve(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  void* p = ::mmap(nullptr, whole_pages(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  return hinted(p, bytes);
}

void* grow(void* data, std::size_t old_bytes, std::size_t bytes) {
  if (whole_pages(bytes) == whole_pages(old_bytes)) return data;
  if (kRemap) {
    void* p = ::mremap(data, whole_pages(old_bytes), whole_pages(bytes), MREMAP_MAYMOVE);
    return hinted(p, bytes);
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
