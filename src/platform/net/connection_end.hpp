#pragma once
// The close code and description a WebSocket connection reports in OnDisconnected when its read
// loop ends with an error and nothing (the service, a binary message) decided the code before.

#include <boost/beast/core/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstddef>
#include <string>
#include <utility>

namespace vantor {

// `ec` is the read error, `reason` the peer's close frame (meaningful after a clean close),
// `maxMessage` the message limit quoted for an oversized message. Codes: the peer's (1005 when
// its frame carried none), 1009 oversized, 1007 invalid UTF-8, 1002 other protocol faults,
// kAbnormalClosure for timeouts and vanished peers. Pure; does not throw beyond allocation.
std::pair<int, std::string> ClassifyEnd(const boost::beast::error_code& ec,
                                        const boost::beast::websocket::close_reason& reason, std::size_t maxMessage);

}  // namespace vantor
