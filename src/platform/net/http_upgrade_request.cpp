#include "platform/net/http_upgrade_request.hpp"

#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstring>
#include <iterator>

namespace vantor {

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// Every request header as "Name: value", joined by CR LF.
std::string HeaderLines(const UpgradeRequest& request) {
  std::string out;
  for (const auto& field : request) {
    if (!out.empty()) out += "\r\n";
    out.append(field.name_string()).append(": ").append(field.value());
  }
  return out;
}

}  // namespace

std::optional<std::string> EscapeTargetSpaces(beast::flat_buffer& buffer, std::size_t eol) {
  const std::string_view seen(static_cast<const char*>(buffer.data().data()), buffer.size());
  const std::string_view line = seen.substr(0, eol);
  const auto first = line.find(' ');
  const auto last = line.rfind(' ');
  if (first == std::string_view::npos || last <= first) return std::nullopt;
  const std::string_view target = line.substr(first + 1, last - first - 1);
  if (target.find(' ') == std::string_view::npos) return std::nullopt;
  std::string rawTarget(target);
  std::string escaped(line.substr(0, first + 1));
  for (const char c : target) escaped += c == ' ' ? std::string_view("%20") : std::string_view(&c, 1);
  escaped += seen.substr(last);
  buffer.consume(buffer.size());
  const auto room = buffer.prepare(escaped.size());
  std::memcpy(room.data(), escaped.data(), escaped.size());
  buffer.commit(escaped.size());
  return rawTarget;
}

std::optional<UpgradeRefusal> CheckUpgradeRequest(const beast::error_code& readError, const UpgradeRequest& request,
                                                  std::size_t maxFields) {
  if (readError == http::error::header_limit) return UpgradeRefusal{431, "upgrade request header too large"};
  if (readError == beast::error::timeout) return UpgradeRefusal{0, "no upgrade request within the time limit"};
  if (readError) return UpgradeRefusal{400, "invalid upgrade request: " + readError.message()};
  const auto fields = static_cast<std::size_t>(std::distance(request.begin(), request.end()));
  if (fields > maxFields)
    return UpgradeRefusal{431, "upgrade request has " + std::to_string(fields) + " header fields"};
  if (!beast::websocket::is_upgrade(request)) return UpgradeRefusal{426, "HTTP request is not a WebSocket upgrade"};
  return std::nullopt;
}

OpenRequest MakeOpenRequest(ConnectionId id, const UpgradeRequest& request,
                            const std::optional<std::string>& rawTarget) {
  OpenRequest open;
  open.id = id;
  open.uri = rawTarget ? *rawTarget : std::string(request.target());
  open.host = std::string(request[http::field::host]);
  open.origin = std::string(request[http::field::origin]);
  open.subProtocols = std::string(request[http::field::sec_websocket_protocol]);
  open.extensions = std::string(request[http::field::sec_websocket_extensions]);
  open.headers = HeaderLines(request);
  return open;
}

}  // namespace vantor
