#include "index/store/index_params.h"

#include <cmath>

namespace zelt {

IndexParams IndexParams::derive(std::int32_t dimension, float curvature, std::int32_t m,
                                MetricKind metric) {
  IndexParams p;
  p.dimension = dimension;
  p.curvature = curvature;
  p.max_m = m;
  p.max_m_0 = std::int32_t(std::uint32_t(m) * 2u);
  p.level_mult = float(1.0 / std::log(double(m)));
  p.metric = metric;
  p.kernels = &active_kernels();
  return p;
}

}  // namespace zelt
