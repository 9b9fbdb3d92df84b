#include "platform/snmp/snmp_oid.hpp"

#include <algorithm>
#include <charconv>

namespace vantor {

std::optional<SnmpOid> ParseSnmpOid(std::string_view text) {
  SnmpOid oid;
  std::size_t pos = 0;
  while (true) {
    const std::size_t dot = text.find('.', pos);
    const std::string_view arc = text.substr(pos, dot == std::string_view::npos ? dot : dot - pos);
    // from_chars accepts neither signs nor spaces; only an all-digit arc passes.
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(arc.data(), arc.data() + arc.size(), value);
    if (arc.empty() || ec != std::errc{} || end != arc.data() + arc.size()) return std::nullopt;
    oid.push_back(value);
    if (oid.size() > kMaxSnmpOidArcs) return std::nullopt;
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  if (oid.size() < 2 || oid[0] > 2 || (oid[0] < 2 && oid[1] >= 40)) return std::nullopt;
  // The first two arcs share one 32-bit sub-identifier on the wire: 40 * first + second.
  if (oid[0] == 2 && oid[1] > UINT32_MAX - 80) return std::nullopt;
  return oid;
}

std::string FormatSnmpOid(const SnmpOid& oid) {
  std::string text;
  for (std::size_t i = 0; i < oid.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(oid[i]);
  }
  return text;
}

int CompareSnmpOid(const SnmpOid& a, const SnmpOid& b) {
  const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (ia != a.end() && ib != b.end()) return *ia < *ib ? -1 : 1;
  if (ia == a.end() && ib == b.end()) return 0;
  return ia == a.end() ? -1 : 1;
}

}  // namespace vantor
