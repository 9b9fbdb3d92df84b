#pragma once
// The SNMP agent's settings that more than one reader interprets: where the agent binds and the
// communities it accepts. Plain functions of the stored values; they never throw.

#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// The read community of a new database, and the set community used when SnmpSetComm gives none.
inline constexpr char kDefaultGetCommunity[] = "public";
inline constexpr char kDefaultSetCommunity[] = "marigolds";

// The address the agent binds for the SnmpIpAddr setting: "0.0.0.0" means the loopback address,
// so that the console is never served on every address by accident.
inline std::string SnmpAgentAddress(std::string_view configured) {
  return configured == "0.0.0.0" ? std::string("127.0.0.1") : std::string(configured);
}

// The set community for the optional SnmpSetComm column: the default when it is absent, NULL or
// empty.
inline std::string SetCommunity(const std::optional<std::string>& configured) {
  return configured && !configured->empty() ? *configured : std::string(kDefaultSetCommunity);
}

}  // namespace vantor
