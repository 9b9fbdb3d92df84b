#include "stats.hpp"

#include <algorithm>
#include <cmath>

namespace vantor::load {

double percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0.0;
  q = std::clamp(q, 0.0, 1.0);
  auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
  auto index = rank == 0 ? 0 : rank - 1;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
  return samples[index];
}

}  // namespace vantor::load
