#pragma once
// Hands out the connection ids of one WebSocket server instance: 1 to 32767 in turn, wrapping
// around, skipping the ids still held.
//
// Owns only the last id handed out. Single-threaded: called on the server's io_context thread.

#include "platform/net/websocket_server.hpp"

namespace vantor {

inline constexpr ConnectionId kMaxConnectionId = 32767;

class ConnectionIdAllocator {
 public:
  // The next id after the last one handed out for which `held(id)` is false, or 0 when every id
  // is held.
  template <typename HeldPredicate>
  ConnectionId Next(const HeldPredicate& held) {
    for (int step = 0; step < kMaxConnectionId; ++step) {
      last_ = static_cast<ConnectionId>(last_ >= kMaxConnectionId ? 1 : last_ + 1);
      if (!held(last_)) return last_;
    }
    return 0;
  }

 private:
  ConnectionId last_ = 0;
};

}  // namespace vantor
