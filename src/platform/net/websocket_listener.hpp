#pragma once
// The listening socket of a BeastWebSocketServer and its accept loop: each accepted TCP
// connection gets an id and a session, which is entered in the session table and started.
//
// Single-threaded: called, and the loop runs, on the thread of the server's io_context.

#include "platform/net/websocket_server_state.hpp"

#include <memory>
#include <system_error>

namespace vantor {

// Binds the configured address and port (address "" means 0.0.0.0), stores the acceptor in the
// server state and spawns the accept loop on its io_context. Returns a system error code:
// EINVAL for an unparsable address or a port outside 0..65535, the bind or listen error
// (EADDRINUSE, EADDRNOTAVAIL, EACCES...), or {}. Throws only on allocation failure.
std::error_code StartListening(const std::shared_ptr<BeastWebSocketServer::Impl>& server);

}  // namespace vantor
