#pragma once
// The HTTP side of a WebSocket upgrade request: reading its request line, checking it once
// parsed, and describing it to the service as an OpenRequest.
//
// Agents and mobiles put a space into the request path ("/agt?<id> <pass>__________"), which an
// HTTP request line cannot hold and the HTTP parser refuses. So the request line is read first;
// spaces inside its target are escaped for the parser, and the target as sent is kept for the
// open request.
//
// Everything here runs on the connection's coroutine (the server's io_context thread) and
// reports failures as values.

#include "platform/async/no_throw_awaitable.hpp"
#include "platform/net/websocket_server.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;

// When the first line in `buffer` (ending at `eol`) has spaces inside its target, rewrites that
// line in the buffer with each such space as "%20" and returns the target as sent; otherwise
// leaves the buffer alone and returns nothing.
std::optional<std::string> EscapeTargetSpaces(boost::beast::flat_buffer& buffer, std::size_t eol);

// Reads from `stream` into `buffer` until it holds a whole request line, then escapes the target
// (see EscapeTargetSpaces) and stores the target as sent in `rawTarget`. A line longer than
// `limit` ends the reading without error so that the parser reports the header limit. Returns
// the read error, if any. The caller bounds the time.
template <typename Stream>
boost::asio::awaitable<boost::beast::error_code> ReadRequestLine(Stream& stream, boost::beast::flat_buffer& buffer,
                                                                 std::size_t limit,
                                                                 std::optional<std::string>& rawTarget) {
  for (;;) {
    const std::string_view seen(static_cast<const char*>(buffer.data().data()), buffer.size());
    if (const auto eol = seen.find("\r\n"); eol != std::string_view::npos) {
      if (auto target = EscapeTargetSpaces(buffer, eol)) rawTarget = std::move(target);
      co_return boost::beast::error_code{};
    }
    if (buffer.size() >= limit) co_return boost::beast::error_code{};
    auto [ec, n] =
        co_await stream.async_read_some(buffer.prepare(std::min<std::size_t>(4096, limit - buffer.size())), kNoThrow);
    if (ec) co_return ec;
    buffer.commit(n);
  }
}

// Why an upgrade request is not passed on to the service: the HTTP status to answer with
// (0: close without an answer, after a timeout) and the text for OnError and the answer's body.
struct UpgradeRefusal {
  int status = 0;
  std::string why;
};

// Checks the outcome of reading the request (`readError`, then `request` as parsed): 431 for an
// oversized header or more than `maxFields` fields, 400 for a malformed request, 426 for a plain
// HTTP request, 0 for a timeout. Empty when the request is a WebSocket upgrade.
std::optional<UpgradeRefusal> CheckUpgradeRequest(const boost::beast::error_code& readError,
                                                  const UpgradeRequest& request, std::size_t maxFields);

// The open request raised to the service for connection `id`. `rawTarget`, when set, is the
// target as the client sent it and replaces the escaped one the parser saw.
OpenRequest MakeOpenRequest(ConnectionId id, const UpgradeRequest& request,
                            const std::optional<std::string>& rawTarget);

}  // namespace vantor
