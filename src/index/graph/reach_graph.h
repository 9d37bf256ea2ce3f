#pragma once
// Keeping every node of the graph in reach of the entry point. Neighbour
// selection can leave a node without any in-link: on tree-shaped data a
// leaf's nearest points are its ancestors, siblings fail the diversity test
// against their parent, and once the parent's list is full a trim drops the
// leaf from the one list that held it. Such a node is stored but no walk can
// find it. hang_unreachable gives each one an in-link from its nearest
// reachable node, which is where a walk looking for it arrives.

#include <cstdint>
#include <vector>

#include "index/store/index_state.h"

namespace zelt {

// Whether a node takes part in the graph: the entry point, or a node with a
// layer-0 list (a node stored without links has none).
bool in_graph(const IndexState& s, std::int32_t node);

// The nodes of the graph that no walk of layer 0 from the entry point can
// reach, ascending (none without an entry point).
std::vector<std::int32_t> unreachable_nodes(const IndexState& s);

// Links every unreachable node in from its nearest reachable one on layer 0:
// into that node's list when it has room, else in place of the entry of that
// list with the most in-links (two at least, so it keeps one), else from the
// next nearest. Repeats while that strands other nodes, a few rounds at most;
// returns how many stay unreachable (0 unless some list cannot give up an
// entry).
std::size_t hang_unreachable(IndexState& s);

}  // namespace zelt
