#pragma once

#include <cstdint>
#include <string_view>

namespace zelt {

enum class MetricKind : std::int32_t { Poincare = 0, Euclidean = 1, Cosine = 2 };

// Exact, case-sensitive byte comparison; every unrecognised name is Poincaré.
MetricKind parse_metric(std::string_view name);

// "euclidean" for 1, "cosine" for 2, "poincare" for everything else.
const char* metric_name(MetricKind metric);

}  // namespace zelt
