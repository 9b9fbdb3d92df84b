#pragma once
// The monitoring listener's optional settings (MetricsEnabled, MetricsIpAddr, MetricsPort,
// MetricsToken) as both the settings check and the listener read them. Plain functions of the
// stored values; they never throw.

#include "platform/net/ip_address.hpp"

#include <algorithm>
#include <string_view>

namespace vantor {

// Where the listener binds when MetricsIpAddr or MetricsPort is absent or NULL; a new database
// stores the same values.
inline constexpr char kDefaultMetricsAddress[] = "127.0.0.1";
inline constexpr int kDefaultMetricsPort = 9480;

// Whether the listener at `address` must not serve without a token: every address other hosts
// can reach, that is anything but 127.0.0.0/8 and ::1 ("0.0.0.0" included).
inline bool MetricsNeedToken(std::string_view address, std::string_view token) {
  return token.empty() && !IsLoopbackAddress(address);
}

// A token that can travel in an Authorization header as it is: visible ASCII, no blanks.
inline bool IsMetricsToken(std::string_view token) {
  return std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

}  // namespace vantor
