#include "index/store/pod_array.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace zelt::pages {

namespace {

// From this size on an array lives in whole, aligned 2 MiB pages, which the
// kernel may back with huge pages when asked to: a graph walk reads records
// at random all over the arena, and with small pages nearly every record
// costs a page-table walk once the arena outgrows what the TLB covers (a few
// MB). Smaller arrays keep small pages, so that an index of a few nodes does
// not take 2 MiB per array.
constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t whole_pages(std::size_t bytes) {
  static const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
  const std::size_t unit = bytes >= kHugePage ? kHugePage : page;
  return (bytes + unit - 1) / unit * unit;
}

bool huge(std::size_t bytes) { return bytes >= kHugePage; }

bool huge_aligned(const void* p) { return std::uintptr_t(p) % kHugePage == 0; }

// ThreadSanitizer does not see mremap give up the old pages, so memory mapped
// later at the same addresses would look shared with their earlier readers;
// under it, a growth copies instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool kRemap = false;
#else
constexpr bool kRemap = true;
#endif

void* map_pages(std::size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Zeroed pages of a huge length at a 2 MiB boundary: a mapping one huge page
// longer, trimmed at both ends. A refused advice only costs speed.
void* map_huge_pages(std::size_t length) {
  auto* wide = static_cast<char*>(map_pages(length + kHugePage));
  if (wide == nullptr) return nullptr;
  const std::size_t head = (kHugePage - std::uintptr_t(wide) % kHugePage) % kHugePage;
  if (head > 0) ::munmap(wide, head);
  ::munmap(wide + head + length, kHugePage - head);
  void* p = wide + head;
  ::madvise(p, length, MADV_HUGEPAGE);
  return p;
}

}  // namespace

void* reserve(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  const std::size_t length = whole_pages(bytes);
  return huge(bytes) ? map_huge_pages(length) : map_pages(length);
}

void* grow(void* data, std::size_t old_bytes, std::size_t bytes) {
  const std::size_t old_length = whole_pages(old_bytes);
  const std::size_t length = whole_pages(bytes);
  if (length == old_length) return data;
  if (kRemap) {
    if (!huge(bytes)) {
      void* p = ::mremap(data, old_length, length, MREMAP_MAYMOVE);
      return p == MAP_FAILED ? nullptr : p;
    }
    // Grown in place where the pages already start on a huge boundary and the
    // addresses after them are free; else moved onto an aligned range, whose
    // fresh pages the move replaces.
    if (huge_aligned(data) && ::mremap(data, old_length, length, 0) != MAP_FAILED) {
      ::madvise(data, length, MADV_HUGEPAGE);
      return data;
    }
    void* target = map_huge_pages(length);
    if (target == nullptr) return nullptr;
    void* p = ::mremap(data, old_length, length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (p == MAP_FAILED) {
      ::munmap(target, length);
      return nullptr;
    }
    ::madvise(p, length, MADV_HUGEPAGE);
    return p;
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
