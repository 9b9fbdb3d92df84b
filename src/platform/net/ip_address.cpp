#include "platform/net/ip_address.hpp"

#include <boost/asio/ip/address.hpp>

#include <algorithm>

namespace vantor {

namespace {

std::optional<std::string> Canonical(std::string_view text) {
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return address.to_string();
}

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

bool IsIpAddress(std::string_view text) { return Canonical(text).has_value(); }

bool IsLoopbackAddress(std::string_view text) {
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(std::string(text), ec);
  return !ec && address.is_loopback();
}

std::optional<std::set<std::string>> ParseAddressList(std::string_view list) {
  std::set<std::string> addresses;
  if (Trimmed(list).empty()) return addresses;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    auto address = Canonical(Trimmed(list.substr(start, comma - start)));
    if (!address) return std::nullopt;
    addresses.insert(std::move(*address));
    start = comma + 1;
  }
  return addresses;
}

}  // namespace vantor
