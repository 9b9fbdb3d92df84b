// CPU time of one scrape's work with full tables (99 customers, 50 mobiles): rendering the
// snapshot into the Prometheus text format, and reading the process figures from /proc/self.

#include "metrics/prometheus_text.hpp"
#include "metrics_samples.hpp"
#include "platform/host/process_stats.hpp"

#include <benchmark/benchmark.h>

namespace {

void RenderFullTables(benchmark::State& state) {
  const vantor::MetricsSnapshot snapshot = vantor::testing::FullTablesSnapshot();
  std::string text;
  for (auto _ : state) {
    text.clear();
    text.shrink_to_fit();  // each scrape starts with a fresh string
    vantor::AppendPrometheusText(snapshot, text);
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(RenderFullTables);

void ReadProcessFigures(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vantor::ReadProcessStats());
}
BENCHMARK(ReadProcessFigures);

}  // namespace

BENCHMARK_MAIN();
