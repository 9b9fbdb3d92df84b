#include "platform/net/connection_end.hpp"

#include "platform/net/websocket_server.hpp"

#include <boost/beast/core/error.hpp>
#include <boost/beast/websocket/error.hpp>

namespace vantor {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

std::pair<int, std::string> ClassifyEnd(const beast::error_code& ec, const websocket::close_reason& reason,
                                        std::size_t maxMessage) {
  if (ec == websocket::error::closed) {
    const int code = reason.code == websocket::close_code::none ? 1005 : static_cast<int>(reason.code);
    return {code, reason.reason.empty() ? std::string("closed by peer")
                                        : std::string(reason.reason.data(), reason.reason.size())};
  }
  if (ec == websocket::error::message_too_big || ec == websocket::error::buffer_overflow)
    return {1009, "message larger than " + std::to_string(maxMessage) + " bytes"};
  if (ec == websocket::error::bad_frame_payload) return {1007, "invalid UTF-8 in a text message"};
  if (ec == websocket::condition::protocol_violation) return {1002, "protocol error: " + ec.message()};
  if (ec == beast::error::timeout) return {kAbnormalClosure, "no data from the peer within the idle timeout"};
  return {kAbnormalClosure, "connection ended without a close frame: " + ec.message()};
}

}  // namespace vantor
