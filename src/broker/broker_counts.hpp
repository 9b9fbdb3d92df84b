#pragma once
// What the broker counts for monitoring since the service started: plain integers bumped on
// paths that run anyway (no lock, lookup or allocation per message). Read on the event thread.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vantor {

// How an open request of an agent or a mobile ended.
enum class AdmissionOutcome : std::size_t {
  kAccepted,
  kNotFound,           // no customer with that id
  kNotEnabled,         // the customer's account is disabled
  kInvalidPass,        // not the pinned pass (agent), not the agent's pass (mobile)
  kConnectionExists,   // the customer's agent is connected already
  kAgentNotConnected,  // a mobile whose agent is not connected
  kMobileSlotsFull,    // every mobile slot is taken
  kInvalidPath,        // the path names neither an agent nor a mobile
  kRequestFailed,      // the request failed before a verdict (refused upgrade, run-time failure)
  kCount
};

// Why an admitted agent's connection ended other than by its own normal close.
enum class AgentDrop : std::size_t {
  kKeepAliveTimeout,  // silent for longer than its limit (supervision)
  kLongRoundTrip,     // its hourly round-trip average was too long (supervision)
  kBrokenConnection,  // it went without a close frame
  kAccountDisabled,   // its account was disabled or deleted at a reload
  kConsole,           // the console's disconnect command
  kCount
};

enum class RelayDirection : std::size_t { kToAgent, kToMobile, kCount };

template <typename Enum>
using CountsBy = std::array<std::uint64_t, static_cast<std::size_t>(Enum::kCount)>;

struct BrokerCounts {
  CountsBy<AdmissionOutcome> admissions{};
  std::uint64_t coolingRefusals = 0;  // connections refused while their address cooled down
  CountsBy<RelayDirection> relayedMessages{};
  CountsBy<RelayDirection> relayedBytes{};
  CountsBy<AgentDrop> agentsDropped{};
};

template <typename Enum>
void CountOne(CountsBy<Enum>& counts, Enum which, std::uint64_t amount = 1) {
  counts[static_cast<std::size_t>(which)] += amount;
}

}  // namespace vantor
