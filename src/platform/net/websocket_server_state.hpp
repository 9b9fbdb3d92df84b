#pragma once
// The state of one BeastWebSocketServer, shared by the server object, its accept loop and its
// sessions. The server object holds it for its lifetime; the accept loop and each session hold
// it as long as they run, so that they can finish after the server object is gone (`detached`).
//
// Single-threaded: read and changed only on the thread that runs `io`.

#include "platform/net/beast_websocket_server.hpp"
#include "platform/net/connection_ids.hpp"
#include "platform/net/opening_limits.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vantor {

class WebSocketSession;

struct BeastWebSocketServer::Impl {
  Impl(asio::io_context& io, WebSocketEvents& events, WebSocketLimits limits)
      : io(io),
        events(events),
        limits(limits),
        opening(limits.maxOpeningPerAddress, limits.maxOpening) {}

  asio::io_context& io;
  WebSocketEvents& events;
  WebSocketLimits limits;
  std::string serverName;  // the Server header of every answer; none when empty
  std::string address;
  int port = 0;
  std::shared_ptr<asio::ssl::context> tls;  // set by UseTls: the instance serves TLS
  std::optional<asio::ip::tcp::acceptor> acceptor;
  // Accepted connections, until their OnDisconnected handler has returned.
  std::map<ConnectionId, std::shared_ptr<WebSocketSession>> sessions;
  ConnectionIdAllocator ids;
  OpeningLimits opening;  // connections accepted but not yet upgraded
  bool detached = false;  // the server object is gone: raise no more events
  WebSocketServerStats counted;  // refusals and queue high water; `opening` is read from `opening`

  // A free id for a new connection, or 0 when every id is held.
  ConnectionId NextId() {
    return ids.Next([this](ConnectionId id) { return sessions.contains(id); });
  }
};

}  // namespace vantor
