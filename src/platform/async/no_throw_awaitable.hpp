#pragma once
// Completion token of the WebSocket server's coroutines: every asynchronous call reports its
// error as the first element of a tuple instead of throwing, so no fault of a socket, timer or
// stream unwinds a connection's coroutine.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace vantor {

inline constexpr auto kNoThrow = boost::asio::as_tuple(boost::asio::use_awaitable);

}  // namespace vantor
