#pragma once
// A client connection as the service names it: which of its two WebSocket servers holds it, and
// the id that server gave it. Ids are unique within one server only, so the pair is the name.

#include "platform/net/websocket_server.hpp"

#include <compare>
#include <cstdint>
#include <string_view>

namespace vantor {

enum class ServerIndex : std::uint8_t { kPlain = 0, kTls = 1 };
inline constexpr int kServerCount = 2;

struct ConnectionRef {
  ServerIndex server = ServerIndex::kPlain;
  ConnectionId id = 0;

  friend auto operator<=>(const ConnectionRef&, const ConnectionRef&) = default;
};

// The connection type as the reports, the SNMP objects and the logs write it.
constexpr std::string_view ConnTypeText(ServerIndex server) {
  return server == ServerIndex::kPlain ? "ws" : "wss";
}

}  // namespace vantor
