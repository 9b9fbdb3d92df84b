#pragma once
// The HTTP answers of the WebSocket server to an upgrade request: the headers the service asks
// for, and the response that refuses an upgrade. Pure functions; they throw only on allocation
// failure.

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// "Name: value" lines (CR LF or LF separated), as the service gives them for the 101 or refusal
// response. Lines without a name before a colon are skipped; blanks after the colon are dropped.
HeaderList ParseHeaderLines(const std::string& text);

// A response with `status` (values outside 200..599 become 400, so that the exchange ends),
// the Server header `serverName` (none when empty), `headers`, "Connection: close" and `body`.
boost::beast::http::response<boost::beast::http::string_body> RefusalResponse(std::string_view serverName, int status,
                                                                              const HeaderList& headers,
                                                                              std::string body);

}  // namespace vantor
