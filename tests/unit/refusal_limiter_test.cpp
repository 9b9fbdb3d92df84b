#include "broker/refusal_limiter.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;

TEST(RefusalLimiter, TheRefusalThatReachesTheLimitStartsTheCoolingOfItsAddressOnly) {
  RefusalLimiter limiter({3, 60s, 30s});
  const SystemTime t0{};
  limiter.CountRefusal("10.0.0.1", t0);
  limiter.CountRefusal("10.0.0.1", t0 + 59s);
  EXPECT_FALSE(limiter.Cooling("10.0.0.1", t0 + 59s));
  limiter.CountRefusal("10.0.0.1", t0 + 61s);  // a new window: the first two no longer count
  limiter.CountRefusal("10.0.0.1", t0 + 62s);
  EXPECT_FALSE(limiter.Cooling("10.0.0.1", t0 + 62s));
  limiter.CountRefusal("10.0.0.1", t0 + 63s);
  EXPECT_TRUE(limiter.Cooling("10.0.0.1", t0 + 63s));
  EXPECT_TRUE(limiter.Cooling("10.0.0.1", t0 + 92s));
  EXPECT_FALSE(limiter.Cooling("10.0.0.1", t0 + 93s));
  EXPECT_FALSE(limiter.Cooling("10.0.0.2", t0 + 63s));
  // Reported at the first refusal at the accept, then once per window.
  EXPECT_TRUE(limiter.ShouldReport("10.0.0.1", t0 + 63s));
  EXPECT_FALSE(limiter.ShouldReport("10.0.0.1", t0 + 100s));
  EXPECT_TRUE(limiter.ShouldReport("10.0.0.1", t0 + 123s));
}

TEST(RefusalLimiter, AnIpv6HostCountsByItsNetworkAndAFullTableKeepsItsCoolingAddresses) {
  EXPECT_EQ(RefusalLimiter::KeyOf("2001:db8:1:2:aaaa::1"), RefusalLimiter::KeyOf("2001:db8:1:2:bbbb::9"));
  EXPECT_NE(RefusalLimiter::KeyOf("2001:db8:1:2::1"), RefusalLimiter::KeyOf("2001:db8:1:3::1"));
  EXPECT_EQ(RefusalLimiter::KeyOf("::ffff:192.0.2.1"), "192.0.2.1");
  EXPECT_EQ(RefusalLimiter::KeyOf("192.0.2.1"), "192.0.2.1");

  RefusalLimiter limiter({1, 60s, 600s});
  const SystemTime t0{};
  limiter.CountRefusal("198.51.100.1", t0);
  for (std::size_t n = 0; n < RefusalLimiter::kMaxAddresses; ++n) {
    limiter.CountRefusal("10.1." + std::to_string(n / 256) + "." + std::to_string(n % 256), t0 + 120s);
  }
  EXPECT_TRUE(limiter.Cooling("198.51.100.1", t0 + 120s));  // not pushed out by the flood
  EXPECT_FALSE(limiter.Cooling("10.1.15.255", t0 + 120s));   // beyond the bound: not counted
}

}  // namespace
}  // namespace vantor
