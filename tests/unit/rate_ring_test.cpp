#include "core/rate_ring.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace vantor {
namespace {

using namespace std::chrono_literals;

// Each ended slot shows its own rate; a gap in the sampling spreads what arrived over the slots
// it covered without losing or inventing a count; the ring keeps only its newest slots.
TEST(RateRing, SlotsShowWhatArrivedAndAGapSpreadsItWithoutLoss) {
  RateRing ring(10s, 4);
  const auto t0 = RateRing::Clock::time_point{} + 1000s;
  ring.Sample(t0, 500);  // the starting point only
  ring.Sample(t0 + 5s, 520);
  EXPECT_TRUE(ring.PerSecond().empty());
  ring.Sample(t0 + 10s, 600);
  EXPECT_EQ(ring.PerSecond(), std::vector<double>({10.0}));

  ring.Sample(t0 + 40s, 631);  // three slots ended unseen: 31 over 3
  const auto rates = ring.PerSecond();
  ASSERT_EQ(rates.size(), 4u);
  EXPECT_DOUBLE_EQ(std::accumulate(rates.begin() + 1, rates.end(), 0.0) * 10, 31.0);
  EXPECT_EQ(rates.front(), 10.0);

  ring.Sample(t0 + 50s, 641);  // the ring of 4 drops the oldest slot
  EXPECT_EQ(ring.PerSecond().size(), 4u);
  EXPECT_EQ(ring.PerSecond().back(), 1.0);
  EXPECT_NE(ring.PerSecond().front(), 10.0);
}

}  // namespace
}  // namespace vantor
