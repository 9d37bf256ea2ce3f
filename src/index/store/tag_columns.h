#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelt {

// The masks turned on their side: for each of the 64 bits, a bitmap of the
// nodes whose mask holds it (node i: bit i % 64 of word i / 64), and how many
// they are. It is derived from the masks and never saved; every change of a
// mask goes through it, so that a query can count the nodes matching its
// filter exactly (a popcount over n/64 words per bit) before choosing how to
// search, and test or list them through a bitmap that stays in the caches
// instead of reading every mask.
class TagColumns {
 public:
  static constexpr unsigned kBits = 64;

  std::size_t size() const { return size_; }
  // The words of a bitmap over every node: one per 64 nodes.
  std::size_t words() const { return (size_ + 63) / 64; }

  // Room for `extra` more nodes; throws std::bad_alloc. append() cannot throw
  // after it.
  void reserve_more(std::size_t extra);
  void append(std::uint64_t mask);
  void change(std::size_t node, std::uint64_t before, std::uint64_t after);
  // Drops every node from n on.
  void truncate(std::size_t n);
  // Rebuilds everything from n masks.
  void rebuild(const std::uint64_t* masks, std::size_t n);

  // The bitmap of the nodes holding bit `bit`, words() words.
  const std::uint64_t* column(unsigned bit) const { return columns_[bit].data(); }
  std::size_t holding(unsigned bit) const { return counts_[bit]; }
  // Whether every node holds every bit of `filter`, from the counts alone.
  bool every_node_holds(std::uint64_t filter) const {
    for (unsigned bit = 0; bit < kBits; ++bit) {
      if (((filter >> bit) & 1) != 0 && counts_[bit] != size_) return false;
    }
    return true;
  }

  // The nodes holding every bit of `filter`: how many they are, and in
  // `members` their bitmap (words() words), which points into the columns for
  // a single bit, into `scratch` for several, and is null for a filter of 0
  // (every node).
  std::size_t matching(std::uint64_t filter, std::vector<std::uint64_t>& scratch,
                       const std::uint64_t*& members) const;

 private:
  std::array<std::vector<std::uint64_t>, kBits> columns_;
  std::array<std::size_t, kBits> counts_{};
  std::size_t size_ = 0;
};

// Whether node id is in a bitmap of words as TagColumns gives them.
inline bool is_member(const std::uint64_t* members, std::int32_t id) {
  return ((members[std::size_t(id) >> 6] >> (std::uint32_t(id) & 63)) & 1) != 0;
}

}  // namespace zelt
