#pragma once
// Object identifiers as text ("1.3.6.1.2.1.1.1.0") and as sub-identifier lists, and SNMP's
// lexical order over them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

using SnmpOid = std::vector<std::uint32_t>;

// Longest OID SNMP allows (RFC 2578, section 3.5).
inline constexpr std::size_t kMaxSnmpOidArcs = 128;

// Parses dotted decimal text: at least two arcs, each 0 .. 4294967295, no empty arcs, no signs,
// no leading dot; the first arc is 0, 1 or 2 and, below 2, the second is below 40 (the BER
// encoding folds the first two arcs into one sub-identifier). nullopt for anything else.
std::optional<SnmpOid> ParseSnmpOid(std::string_view text);

std::string FormatSnmpOid(const SnmpOid& oid);

// Lexical order: arc by arc as unsigned numbers; a prefix sorts before its extensions.
// Negative when a < b, 0 when equal, positive when a > b.
int CompareSnmpOid(const SnmpOid& a, const SnmpOid& b);

}  // namespace vantor
