#pragma once

#include <string>

#include "index/store/index_state.h"

namespace zelt {

enum class GraphRules {
  // What every operation needs to stay in bounds: equal sequence lengths,
  // levels from -1 up to the highest the level draw gives for M, ids of existing nodes, a link on
  // layer L naming a
  // node that reaches L, an entry point that is a node of level ep_layer.
  Loadable,
  // What insertion itself keeps besides: levels of 0 or more, lists within
  // their caps, no self links or repeated ids, the entry point on the top
  // level.
  Built,
};

// The first way in which the state breaks the rules, or an empty string.
std::string graph_fault(const IndexState& s, GraphRules rules);

}  // namespace zelt
