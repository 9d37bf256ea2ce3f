#include "index/distance/metric.h"

namespace zelt {

MetricKind parse_metric(std::string_view name) {
  if (name == "euclidean" || name == "l2") return MetricKind::Euclidean;
  if (name == "cosine") return MetricKind::Cosine;
  return MetricKind::Poincare;
}

const char* metric_name(MetricKind metric) {
  switch (metric) {
    case MetricKind::Euclidean:
      return "euclidean";
    case MetricKind::Cosine:
      return "cosine";
    default:
      return "poincare";
  }
}

}  // namespace zelt
