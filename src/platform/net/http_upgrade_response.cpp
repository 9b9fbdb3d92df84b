#include "platform/net/http_upgrade_response.hpp"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>

namespace vantor {

namespace http = boost::beast::http;

HeaderList ParseHeaderLines(const std::string& text) {
  HeaderList out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    out.emplace_back(line.substr(0, colon), std::move(value));
  }
  return out;
}

http::response<http::string_body> RefusalResponse(std::string_view serverName, int status, const HeaderList& headers,
                                                  std::string body) {
  if (status < 200 || status > 599) status = 400;
  http::response<http::string_body> res{static_cast<http::status>(status), 11};
  if (!serverName.empty()) res.set(http::field::server, serverName);
  for (const auto& [name, value] : headers) res.set(name, value);
  res.set(http::field::connection, "close");
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

}  // namespace vantor
