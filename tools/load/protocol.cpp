#include "protocol.hpp"

#include <charconv>
#include <cstdio>
#include <stdexcept>

namespace vantor::load {

std::string customerId(const std::string& first, int index) {
  long slot = 0, rest = 0;
  bool digits = first.size() == 8 && first.find_first_not_of("0123456789") == std::string::npos;
  if (digits) {
    std::from_chars(first.data(), first.data() + 2, slot);
    std::from_chars(first.data() + 2, first.data() + 8, rest);
  }
  if (!digits || slot < 1) throw std::invalid_argument("customer id must be 8 digits, slot 01 to 99: " + first);
  if (slot + index > 99 || rest + index > 999999)
    throw std::invalid_argument("customer ids from " + first + " run out before " + std::to_string(index + 1));
  char out[48];  // room for any two longs, though both are bounded above
  std::snprintf(out, sizeof out, "%02ld%06ld", slot + index, rest + index);
  return out;
}

std::string loginTarget(std::string_view kind, const std::string& cust, const std::string& password) {
  return "/" + std::string(kind) + "?" + cust + "%20" + password + "__________";
}

std::string header(std::string_view type, const std::string& cust, std::string_view nr) {
  std::string out;
  out.reserve(13);
  out.append(type).append(cust).append(nr.substr(0, 3));
  out.resize(type.size() + cust.size() + 3, ' ');
  return out;
}

std::optional<std::string> numberField(std::string_view message, std::string_view type,
                                       const std::string& cust) {
  if (message.size() < 13 || message.substr(0, 2) != type || message.substr(2, 8) != cust)
    return std::nullopt;
  return std::string(message.substr(10, 3));
}

std::string_view body(std::string_view message) {
  return message.size() < 13 ? std::string_view{} : message.substr(13);
}

std::string encodePayload(const Payload& p, std::size_t size) {
  std::string text = "LOAD m=" + std::to_string(p.mobile) + " s=" + std::to_string(p.seq);
  if (text.size() < size) {
    text += ' ';
    text.resize(size, '.');
  }
  return text;
}

namespace {
template <typename T>
bool parseNumber(std::string_view text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size() && !text.empty();
}
}  // namespace

std::optional<Payload> decodePayload(std::string_view text) {
  constexpr std::string_view prefix = "LOAD m=";
  if (!text.starts_with(prefix)) return std::nullopt;
  text.remove_prefix(prefix.size());
  auto split = text.find(" s=");
  if (split == std::string_view::npos) return std::nullopt;
  auto seq = text.substr(split + 3);
  seq = seq.substr(0, seq.find(' '));  // padding follows a space
  Payload p;
  if (!parseNumber(text.substr(0, split), p.mobile) || !parseNumber(seq, p.seq)) return std::nullopt;
  return p;
}

}  // namespace vantor::load
