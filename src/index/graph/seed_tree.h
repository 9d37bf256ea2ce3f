#pragma once
// Starting points for a layer-0 walk of a Poincaré index that keeps every
// node in reach. On the embedding of a hierarchy most points crowd the
// boundary, and between two of them the hyperbolic distance nearly always
// runs through a node near the centre: a walk arriving from the entry point
// meets a hub whose children are far more than its list can hold, and only a
// scan of them finds the one it wants. Near the boundary, though, the
// hyperbolic nearest points of a query are also its nearest in plain
// Euclidean terms, and a k-d tree finds points close to those in a few dozen
// steps. The walk starts from them instead of descending from the entry point.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/distance/candidate.h"
#include "index/store/index_state.h"

namespace zelt {

class SeedTree {
 public:
  // Takes in every node of the graph stored since the last call (or since
  // clear), in id order; a leaf that grows past its size splits in two.
  void take_new_nodes(const IndexState& s);
  void clear();

  // Fills `best` with (at most) `count` nodes near q: the nearest, in
  // Euclidean distance, of the leaf q falls in, nearest first, with their
  // squared distances (none while the tree is empty).
  void nearest(const IndexState& s, const float* q, std::size_t count,
               std::vector<Candidate>& best) const;

 private:
  // An inner cell sends a point whose coordinate `axis` is below `split` to
  // cell `child`, the others to child + 1; a leaf cell's child is ~(its
  // leaf's place). Cells are small so that a descent reads few cache lines.
  struct Cell {
    std::int32_t axis;
    float split;
    std::int32_t child;
  };
  // A leaf keeps its points' values beside their ids, so that a search reads
  // them in one run.
  struct Leaf {
    std::vector<std::int32_t> ids;
    std::vector<float> values;
  };

  void rebuild(const IndexState& s);
  void add(const IndexState& s, std::int32_t id);
  void put(const IndexState& s, Leaf& leaf, std::int32_t id);
  void split_leaf(const IndexState& s, std::size_t cell);

  std::vector<Cell> cells_;
  std::vector<Leaf> leaves_;
  std::size_t covered_ = 0;   // ids below it have been looked at
  std::size_t balanced_ = 0;  // the node count at the last balanced rebuild
};

}  // namespace zelt
