#include "notify/mail_address.hpp"

#include <string_view>

namespace vantor {
namespace {

bool IsAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsAtomChar(char c) {
  return IsAlnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// Dot-separated, non-empty parts whose characters pass `allowed`.
template <typename Allowed>
bool DotSeparated(std::string_view text, Allowed allowed) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  char previous = '\0';
  for (char c : text) {
    if (c == '.' && previous == '.') return false;
    if (c != '.' && !allowed(c)) return false;
    previous = c;
  }
  return true;
}

bool IsDomain(std::string_view domain) {
  if (!DotSeparated(domain, [](char c) { return IsAlnum(c) || c == '-'; })) return false;
  // A label neither begins nor ends with a hyphen.
  std::size_t start = 0;
  while (start <= domain.size()) {
    std::size_t end = domain.find('.', start);
    if (end == std::string_view::npos) end = domain.size();
    std::string_view label = domain.substr(start, end - start);
    if (label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool IsMailAddress(std::string_view address) {
  if (address.size() > 254) return false;
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) return false;
  const std::string_view local = address.substr(0, at);
  if (local.size() > 64) return false;
  return DotSeparated(local, IsAtomChar) && IsDomain(address.substr(at + 1));
}

}  // namespace vantor
