#pragma once
// A metrics snapshot in the Prometheus text exposition format 0.0.4: one HELP and one TYPE line
// per family, its samples together below them, label values escaped as the format asks. Pure
// formatting; the one place that knows the metric names.

#include "metrics/metrics_snapshot.hpp"

#include <string>
#include <string_view>

namespace vantor {

inline constexpr std::string_view kPrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

// Appends the whole exposition to `out`, which it reserves once for full tables.
void AppendPrometheusText(const MetricsSnapshot& snapshot, std::string& out);

// A label value as the format writes it between its quotes: backslash, double quote and line
// feed escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace vantor
