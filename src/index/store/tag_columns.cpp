#include "index/store/tag_columns.h"

#include <algorithm>
#include <bitset>
#include <utility>

namespace zelt {

namespace {

std::size_t ones(std::uint64_t word) { return std::bitset<64>(word).count(); }

unsigned lowest_bit(std::uint64_t word) { return unsigned(__builtin_ctzll(word)); }

}  // namespace

void TagColumns::reserve_more(std::size_t extra) {
  const std::size_t need = (size_ + extra + 63) / 64;
  for (std::vector<std::uint64_t>& column : columns_) {
    if (need <= column.capacity()) continue;
    column.reserve(std::max(need, column.capacity() + column.capacity() / 2 + 16));
  }
}

void TagColumns::append(std::uint64_t mask) {
  if (size_ % 64 == 0) {
    for (std::vector<std::uint64_t>& column : columns_) column.push_back(0);
  }
  const std::uint64_t own = std::uint64_t{1} << (size_ % 64);
  for (std::uint64_t rest = mask; rest != 0; rest &= rest - 1) {
    const unsigned bit = lowest_bit(rest);
    columns_[bit].back() |= own;
    ++counts_[bit];
  }
  ++size_;
}

void TagColumns::change(std::size_t node, std::uint64_t before, std::uint64_t after) {
  const std::uint64_t own = std::uint64_t{1} << (node % 64);
  for (std::uint64_t rest = before & ~after; rest != 0; rest &= rest - 1) {
    const unsigned bit = lowest_bit(rest);
    columns_[bit][node / 64] &= ~own;
    --counts_[bit];
  }
  for (std::uint64_t rest = after & ~before; rest != 0; rest &= rest - 1) {
    const unsigned bit = lowest_bit(rest);
    columns_[bit][node / 64] |= own;
    ++counts_[bit];
  }
}

void TagColumns::truncate(std::size_t n) {
  if (n >= size_) return;
  const std::size_t kept_words = (n + 63) / 64;
  const std::uint64_t last = n % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (n % 64)) - 1;
  for (unsigned bit = 0; bit < kBits; ++bit) {
    std::vector<std::uint64_t>& column = columns_[bit];
    for (std::size_t w = kept_words; w < column.size(); ++w) counts_[bit] -= ones(column[w]);
    column.resize(kept_words);
    if (kept_words > 0) {
      counts_[bit] -= ones(column.back() & ~last);
      column.back() &= last;
    }
  }
  size_ = n;
}

void TagColumns::rebuild(const std::uint64_t* masks, std::size_t n) {
  TagColumns fresh;
  fresh.reserve_more(n);
  for (std::size_t i = 0; i < n; ++i) fresh.append(masks[i]);
  *this = std::move(fresh);
}

std::size_t TagColumns::matching(std::uint64_t filter, std::vector<std::uint64_t>& scratch,
                                 const std::uint64_t*& members) const {
  members = nullptr;
  if (filter == 0) return size_;
  const unsigned first = lowest_bit(filter);
  members = columns_[first].data();
  if ((filter & (filter - 1)) == 0) return counts_[first];
  scratch.assign(columns_[first].begin(), columns_[first].end());
  std::size_t total = 0;
  for (std::size_t w = 0; w < scratch.size(); ++w) {
    std::uint64_t word = scratch[w];
    for (std::uint64_t rest = filter & (filter - 1); rest != 0 && word != 0; rest &= rest - 1) {
      word &= columns_[lowest_bit(rest)][w];
    }
    scratch[w] = word;
    total += ones(word);
  }
  members = scratch.data();
  return total;
}

}  // namespace zelt
