#pragma once

#include <cstdint>

namespace zelt {

// One k-nearest query's arguments, made by the constructor of the query kind,
// which also fixes what its norm and radius bounds mean. A negative or NaN
// bound is off. With the norm bound on, a node whose stored squared norm is
// below the floor fails (the floor is never compared with a recomputed norm).
struct QueryTerms {
  enum class Kind { Graph, Filtered, Exact, Planned };

  Kind kind = Kind::Graph;
  std::int32_t k = 0;
  std::uint64_t filter_mask = 0;
  std::int32_t ef = 0;  // the exact scan has none
  bool radius_on = false;
  float max_radius = -1.0f;
  // Whether a NaN distance lies within the radius: the graph query takes
  // "d <= max_radius" literally, the others "not d > max_radius".
  bool nan_within_radius = true;
  bool norm_on = false;
  float norm_floor = 0.0f;

  // Graph walk, filters applied afterwards; min_norm is a norm, squared
  // before it is compared.
  static QueryTerms graph(std::int32_t k, std::uint64_t filter_mask, std::int32_t ef_search,
                          float max_radius, float min_norm) {
    QueryTerms q = common(Kind::Graph, k, filter_mask, ef_search, max_radius);
    q.nan_within_radius = false;
    q.norm_on = min_norm >= 0.0f;
    q.norm_floor = min_norm * min_norm;
    return q;
  }
  // Filtered walk; min_norm is compared with the squared norm as it is.
  static QueryTerms filtered(std::int32_t k, std::uint64_t filter_mask, std::int32_t ef_search,
                             float max_radius, float min_norm) {
    QueryTerms q = common(Kind::Filtered, k, filter_mask, ef_search, max_radius);
    q.norm_on = min_norm >= 0.0f;
    q.norm_floor = min_norm;
    return q;
  }
  // Planned per query from the count of nodes that pass the mask: an exact
  // scan of those nodes or a walk that keeps only them; min_norm as in the
  // graph walk.
  static QueryTerms planned(std::int32_t k, std::uint64_t filter_mask, std::int32_t ef_search,
                            float max_radius, float min_norm) {
    QueryTerms q = graph(k, filter_mask, ef_search, max_radius, min_norm);
    q.kind = Kind::Planned;
    return q;
  }
  // Exact scan; min_norm_sq is a squared norm, lowered by a tolerance of 0.15.
  static QueryTerms exact(std::int32_t k, std::uint64_t filter_mask, float max_radius,
                          float min_norm_sq) {
    QueryTerms q = common(Kind::Exact, k, filter_mask, 0, max_radius);
    q.norm_on = min_norm_sq >= 0.0f;
    q.norm_floor = min_norm_sq - 0.15f;
    return q;
  }

  bool mask_passes(std::uint64_t mask) const { return (filter_mask & ~mask) == 0; }
  bool norm_passes(float stored_norm) const { return !norm_on || !(norm_floor > stored_norm); }
  bool radius_passes(float d) const {
    if (!radius_on) return true;
    return nan_within_radius ? !(d > max_radius) : d <= max_radius;
  }
  // Both screens that need no distance.
  bool node_passes(std::uint64_t mask, float stored_norm) const {
    return mask_passes(mask) && norm_passes(stored_norm);
  }
  // The graph walks search with the larger of ef and k.
  std::int32_t width() const { return ef > k ? ef : k; }

 private:
  static QueryTerms common(Kind kind, std::int32_t k, std::uint64_t filter_mask, std::int32_t ef,
                           float max_radius) {
    QueryTerms q;
    q.kind = kind;
    q.k = k;
    q.filter_mask = filter_mask;
    q.ef = ef;
    q.radius_on = max_radius >= 0.0f;
    q.max_radius = max_radius;
    return q;
  }
};

}  // namespace zelt
