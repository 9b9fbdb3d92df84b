#include "platform/net/opening_limits.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;

TEST(OpeningLimits, EachAddressHasItsShareAndAllShareTheTotal) {
  OpeningLimits limits(2, 3);
  using R = OpeningLimits::Refusal;
  EXPECT_EQ(limits.TryEnter("10.0.0.1"), R::kNone);
  EXPECT_EQ(limits.TryEnter("10.0.0.1"), R::kNone);
  EXPECT_EQ(limits.TryEnter("10.0.0.1"), R::kAddressFull);
  EXPECT_EQ(limits.TryEnter("10.0.0.2"), R::kNone);
  EXPECT_EQ(limits.TryEnter("10.0.0.3"), R::kAllFull);
  limits.Leave("10.0.0.1");
  EXPECT_EQ(limits.opening("10.0.0.1"), 1u);
  EXPECT_EQ(limits.TryEnter("10.0.0.3"), R::kNone);
  limits.Leave("10.0.0.9");  // never entered: changes nothing
  EXPECT_EQ(limits.opening(), 3u);
}

TEST(OpeningLimits, RefusalsAreReportedOncePerIntervalWithTheCountInBetween) {
  OpeningLimits limits(1, 1);
  const auto t0 = OpeningLimits::Clock::time_point{} + 1000s;
  std::size_t suppressed = 99;
  EXPECT_TRUE(limits.ShouldReport("10.0.0.1", t0, 60s, suppressed));
  EXPECT_EQ(suppressed, 0u);
  EXPECT_FALSE(limits.ShouldReport("10.0.0.1", t0 + 1s, 60s, suppressed));
  EXPECT_FALSE(limits.ShouldReport("10.0.0.1", t0 + 59s, 60s, suppressed));
  EXPECT_TRUE(limits.ShouldReport("10.0.0.2", t0 + 59s, 60s, suppressed));  // another address
  EXPECT_TRUE(limits.ShouldReport("10.0.0.1", t0 + 60s, 60s, suppressed));
  EXPECT_EQ(suppressed, 2u);

  // With the table of reported addresses full, old entries make room; new ones beyond it are
  // not reported, so a flood from many addresses cannot grow it.
  for (std::size_t i = 0; i < OpeningLimits::kMaxReportedAddresses; ++i)
    limits.ShouldReport("a" + std::to_string(i), t0 + 61s, 60s, suppressed);
  EXPECT_FALSE(limits.ShouldReport("new", t0 + 62s, 60s, suppressed));
  EXPECT_TRUE(limits.ShouldReport("new", t0 + 200s, 60s, suppressed));
}

}  // namespace
}  // namespace vantor
