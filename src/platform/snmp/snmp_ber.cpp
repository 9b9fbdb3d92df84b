#include "platform/snmp/snmp_ber.hpp"

#include "platform/snmp/snmp_oid.hpp"

#include <charconv>
#include <limits>
#include <string_view>

namespace vantor {
namespace {

namespace tag {
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kNull = 0x05;
constexpr std::uint8_t kObjectId = 0x06;
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kIpAddress = 0x40;
constexpr std::uint8_t kCounter32 = 0x41;
constexpr std::uint8_t kGauge32 = 0x42;
constexpr std::uint8_t kTimeTicks = 0x43;
constexpr std::uint8_t kOpaque = 0x44;
constexpr std::uint8_t kCounter64 = 0x46;
constexpr std::uint8_t kNoSuchObject = 0x80;
constexpr std::uint8_t kNoSuchInstance = 0x81;
constexpr std::uint8_t kEndOfMibView = 0x82;
constexpr std::uint8_t kGet = 0xA0;
constexpr std::uint8_t kGetNext = 0xA1;
constexpr std::uint8_t kResponse = 0xA2;
constexpr std::uint8_t kSet = 0xA3;
constexpr std::uint8_t kTrapV1 = 0xA4;
}  // namespace tag

// Value type code <-> value tag, for every type a variable can carry.
struct ValueKind {
  int code;
  std::uint8_t tag;
  bool v2cOnly;
};
constexpr ValueKind kValueKinds[] = {
    {snmp_value::kInteger, tag::kInteger, false},
    {snmp_value::kOctetString, tag::kOctetString, false},
    {snmp_value::kObjectId, tag::kObjectId, false},
    {snmp_value::kIpAddress, tag::kIpAddress, false},
    {snmp_value::kNull, tag::kNull, false},
    {snmp_value::kCounter32, tag::kCounter32, false},
    {snmp_value::kTimeTicks, tag::kTimeTicks, false},
    {snmp_value::kGauge32, tag::kGauge32, false},
    {snmp_value::kOpaque, tag::kOpaque, false},
    {snmp_value::kCounter64, tag::kCounter64, true},
    {snmp_value::kNoSuchObject, tag::kNoSuchObject, true},
    {snmp_value::kNoSuchInstance, tag::kNoSuchInstance, true},
    {snmp_value::kEndOfMibView, tag::kEndOfMibView, true},
};

const ValueKind* KindByCode(int code) {
  for (const auto& k : kValueKinds)
    if (k.code == code) return &k;
  return nullptr;
}

const ValueKind* KindByTag(std::uint8_t t) {
  for (const auto& k : kValueKinds)
    if (k.tag == t) return &k;
  return nullptr;
}

bool IsException(int code) { return code >= snmp_value::kNoSuchObject; }

// PDU tag <-> type code of each family.
struct PduKind {
  std::uint8_t tag;
  int v1Code;
  int v2cCode;  // 0: not in v2c
};
constexpr PduKind kPduKinds[] = {
    {tag::kGet, snmp_type::kGetV1, snmp_type::kGetV2c},
    {tag::kGetNext, snmp_type::kGetNextV1, snmp_type::kGetNextV2c},
    {tag::kResponse, snmp_type::kResponseV1, snmp_type::kResponseV2c},
    {tag::kSet, snmp_type::kSetV1, snmp_type::kSetV2c},
    {tag::kTrapV1, snmp_type::kTrapV1, 0},
};

// ---------------------------------------------------------------- decoding

// A view of bytes from which TLVs are taken one after another.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool AtEnd() const { return pos_ == bytes_.size(); }

  // Takes one element: its tag and its content. False when the tag is multi-byte, the length is
  // indefinite or wider than 4 bytes, or the content runs past the end.
  bool Next(std::uint8_t& tagOut, std::span<const std::uint8_t>& content) {
    if (pos_ >= bytes_.size()) return false;
    const std::uint8_t t = bytes_[pos_++];
    if ((t & 0x1F) == 0x1F) return false;
    if (pos_ >= bytes_.size()) return false;
    std::uint64_t length = bytes_[pos_++];
    if (length & 0x80) {
      const std::size_t count = length & 0x7F;
      if (count == 0 || count > 4 || bytes_.size() - pos_ < count) return false;
      length = 0;
      for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes_[pos_++];
    }
    if (length > bytes_.size() - pos_) return false;
    tagOut = t;
    content = bytes_.subspan(pos_, static_cast<std::size_t>(length));
    pos_ += static_cast<std::size_t>(length);
    return true;
  }

  bool Expect(std::uint8_t wanted, std::span<const std::uint8_t>& content) {
    std::uint8_t t = 0;
    return Next(t, content) && t == wanted;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// Two's complement, minimal form (X.690 8.3.2), at most 8 content bytes.
std::optional<std::int64_t> DecodeSigned(std::span<const std::uint8_t> c, std::size_t maxBytes) {
  if (c.empty() || c.size() > maxBytes || c.size() > 8) return std::nullopt;
  if (c.size() > 1 && ((c[0] == 0x00 && !(c[1] & 0x80)) || (c[0] == 0xFF && (c[1] & 0x80))))
    return std::nullopt;
  std::uint64_t v = (c[0] & 0x80) ? ~std::uint64_t{0} : 0;
  for (std::uint8_t b : c) v = (v << 8) | b;
  return static_cast<std::int64_t>(v);
}

std::optional<std::int32_t> DecodeInt32(std::span<const std::uint8_t> c) {
  const auto v = DecodeSigned(c, 4);
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

std::optional<std::int32_t> DecodeNonNegative(std::span<const std::uint8_t> c) {
  const auto v = DecodeInt32(c);
  if (!v || *v < 0) return std::nullopt;
  return v;
}

// Unsigned types carry a leading zero byte when their top bit is set: 5 bytes for 32 bits,
// 9 for 64 bits.
std::optional<std::uint64_t> DecodeUnsigned(std::span<const std::uint8_t> c, int bits) {
  const std::size_t maxBytes = bits / 8 + 1;
  if (c.empty() || c.size() > maxBytes || (c[0] & 0x80)) return std::nullopt;
  if (c.size() > 1 && c[0] == 0x00 && !(c[1] & 0x80)) return std::nullopt;
  if (c.size() == maxBytes && c[0] != 0x00) return std::nullopt;
  std::uint64_t v = 0;
  for (std::uint8_t b : c) v = (v << 8) | b;
  return v;
}

std::optional<std::string> DecodeOid(std::span<const std::uint8_t> c) {
  if (c.empty()) return std::nullopt;
  SnmpOid oid;
  std::uint64_t sub = 0;
  bool inSub = false;
  for (std::uint8_t b : c) {
    if (!inSub && b == 0x80) return std::nullopt;  // a leading 0x80 pads the value
    sub = (sub << 7) | (b & 0x7F);
    if (sub > UINT32_MAX) return std::nullopt;
    inSub = (b & 0x80) != 0;
    if (inSub) continue;
    if (oid.empty()) {
      const std::uint32_t first = sub < 40 ? 0 : sub < 80 ? 1 : 2;
      oid.push_back(first);
      oid.push_back(static_cast<std::uint32_t>(sub - 40 * first));
    } else {
      oid.push_back(static_cast<std::uint32_t>(sub));
    }
    if (oid.size() > kMaxSnmpOidArcs) return std::nullopt;
    sub = 0;
  }
  if (inSub) return std::nullopt;  // the last sub-identifier is cut off
  return FormatSnmpOid(oid);
}

std::string FormatIpv4(std::span<const std::uint8_t> c) {
  return std::to_string(c[0]) + '.' + std::to_string(c[1]) + '.' + std::to_string(c[2]) + '.' +
         std::to_string(c[3]);
}

std::string AsText(std::span<const std::uint8_t> c) { return std::string(c.begin(), c.end()); }

std::optional<SnmpVariable> DecodeValue(const ValueKind& kind, std::span<const std::uint8_t> c,
                                        std::string oid) {
  SnmpVariable var{std::move(oid), kind.code, {}};
  switch (kind.code) {
    case snmp_value::kInteger: {
      const auto v = DecodeInt32(c);
      if (!v) return std::nullopt;
      var.value = std::to_string(*v);
      return var;
    }
    case snmp_value::kOctetString:
    case snmp_value::kOpaque:
      var.value = AsText(c);
      return var;
    case snmp_value::kObjectId: {
      auto text = DecodeOid(c);
      if (!text) return std::nullopt;
      var.value = std::move(*text);
      return var;
    }
    case snmp_value::kIpAddress:
      if (c.size() != 4) return std::nullopt;
      var.value = FormatIpv4(c);
      return var;
    case snmp_value::kCounter64: {
      const auto v = DecodeUnsigned(c, 64);
      if (!v) return std::nullopt;
      var.value = std::to_string(*v);
      return var;
    }
    case snmp_value::kCounter32:
    case snmp_value::kGauge32:
    case snmp_value::kTimeTicks: {
      const auto v = DecodeUnsigned(c, 32);
      if (!v) return std::nullopt;
      var.value = std::to_string(*v);
      return var;
    }
    default:  // NULL and the exceptions have no content
      if (!c.empty()) return std::nullopt;
      return var;
  }
}

bool DecodeVariables(std::span<const std::uint8_t> list, SnmpVersion version, bool allowExceptions,
                     std::vector<SnmpVariable>& out) {
  Reader r(list);
  while (!r.AtEnd()) {
    std::span<const std::uint8_t> binding, name, value;
    if (!r.Expect(tag::kSequence, binding)) return false;
    Reader b(binding);
    std::uint8_t valueTag = 0;
    if (!b.Expect(tag::kObjectId, name) || !b.Next(valueTag, value) || !b.AtEnd()) return false;
    const ValueKind* kind = KindByTag(valueTag);
    if (!kind || (kind->v2cOnly && version != SnmpVersion::kV2c)) return false;
    if (IsException(kind->code) && !allowExceptions) return false;
    auto oid = DecodeOid(name);
    if (!oid) return false;
    auto var = DecodeValue(*kind, value, std::move(*oid));
    if (!var) return false;
    out.push_back(std::move(*var));
  }
  return true;
}

bool DecodeRequestPdu(std::span<const std::uint8_t> pdu, bool isResponse, SnmpMessage& m) {
  Reader r(pdu);
  std::span<const std::uint8_t> id, status, index, list;
  if (!r.Expect(tag::kInteger, id) || !r.Expect(tag::kInteger, status) ||
      !r.Expect(tag::kInteger, index) || !r.Expect(tag::kSequence, list) || !r.AtEnd())
    return false;
  const auto requestId = DecodeInt32(id);
  const auto errorStatus = DecodeNonNegative(status);
  const auto errorIndex = DecodeNonNegative(index);
  if (!requestId || !errorStatus || !errorIndex) return false;
  m.requestId = *requestId;
  m.errorStatus = *errorStatus;
  m.errorIndex = *errorIndex;
  return DecodeVariables(list, m.version, isResponse && m.version == SnmpVersion::kV2c,
                         m.variables);
}

bool DecodeTrapPdu(std::span<const std::uint8_t> pdu, SnmpMessage& m) {
  Reader r(pdu);
  std::span<const std::uint8_t> enterprise, address, generic, specific, stamp, list;
  if (!r.Expect(tag::kObjectId, enterprise) || !r.Expect(tag::kIpAddress, address) ||
      !r.Expect(tag::kInteger, generic) || !r.Expect(tag::kInteger, specific) ||
      !r.Expect(tag::kTimeTicks, stamp) || !r.Expect(tag::kSequence, list) || !r.AtEnd())
    return false;
  auto oid = DecodeOid(enterprise);
  const auto genericTrap = DecodeNonNegative(generic);
  const auto specificTrap = DecodeNonNegative(specific);
  const auto timeStamp = DecodeUnsigned(stamp, 32);
  if (!oid || address.size() != 4 || !genericTrap || *genericTrap > 6 || !specificTrap ||
      !timeStamp)
    return false;
  m.enterprise = std::move(*oid);
  m.agentAddress = FormatIpv4(address);
  m.genericTrap = *genericTrap;
  m.specificTrap = *specificTrap;
  m.timeStamp = static_cast<std::uint32_t>(*timeStamp);
  return DecodeVariables(list, m.version, false, m.variables);
}

std::optional<SnmpMessage> Decode(std::span<const std::uint8_t> datagram, bool requestsOnly) {
  Reader outer(datagram);
  std::span<const std::uint8_t> body, version, community, pdu;
  if (!outer.Expect(tag::kSequence, body) || !outer.AtEnd()) return std::nullopt;
  Reader r(body);
  std::uint8_t pduTag = 0;
  if (!r.Expect(tag::kInteger, version) || !r.Expect(tag::kOctetString, community) ||
      !r.Next(pduTag, pdu) || !r.AtEnd())
    return std::nullopt;
  const auto v = DecodeNonNegative(version);
  if (!v || *v > 1) return std::nullopt;

  SnmpMessage m;
  m.version = static_cast<SnmpVersion>(*v);
  m.community = AsText(community);
  const PduKind* kind = nullptr;
  for (const auto& k : kPduKinds)
    if (k.tag == pduTag) kind = &k;
  if (!kind) return std::nullopt;
  m.type = m.version == SnmpVersion::kV1 ? kind->v1Code : kind->v2cCode;
  if (m.type == 0) return std::nullopt;
  const bool isRequest = pduTag == tag::kGet || pduTag == tag::kGetNext || pduTag == tag::kSet;
  if (requestsOnly && !isRequest) return std::nullopt;

  const bool ok = pduTag == tag::kTrapV1 ? DecodeTrapPdu(pdu, m)
                                         : DecodeRequestPdu(pdu, pduTag == tag::kResponse, m);
  if (!ok) return std::nullopt;
  return m;
}

// ---------------------------------------------------------------- encoding

using Bytes = std::vector<std::uint8_t>;

void AppendTlv(Bytes& out, std::uint8_t t, const Bytes& content) {
  out.push_back(t);
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    int count = 0;
    for (std::size_t v = n; v > 0; v >>= 8) ++count;
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  }
  out.insert(out.end(), content.begin(), content.end());
}

Bytes SignedContent(std::int64_t v) {
  Bytes b;
  for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
  // Drop leading bytes that only repeat the sign bit.
  std::size_t skip = 0;
  while (skip < 7 && ((b[skip] == 0x00 && !(b[skip + 1] & 0x80)) ||
                      (b[skip] == 0xFF && (b[skip + 1] & 0x80))))
    ++skip;
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(skip), b.end());
}

Bytes UnsignedContent(std::uint64_t v) {
  Bytes b{0x00};  // room for the zero that keeps the top bit from reading as a sign
  for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  std::size_t skip = 0;
  while (skip < 8 && b[skip] == 0x00 && !(b[skip + 1] & 0x80)) ++skip;
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(skip), b.end());
}

void AppendInteger(Bytes& out, std::int64_t v) { AppendTlv(out, tag::kInteger, SignedContent(v)); }

std::optional<Bytes> OidContent(std::string_view text) {
  const auto oid = ParseSnmpOid(text);
  if (!oid) return std::nullopt;
  Bytes b;
  auto appendSub = [&b](std::uint32_t sub) {
    std::uint8_t groups[5];
    int n = 0;
    do {
      groups[n++] = sub & 0x7F;
      sub >>= 7;
    } while (sub > 0);
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(groups[i] | (i > 0 ? 0x80 : 0)));
  };
  appendSub((*oid)[0] * 40 + (*oid)[1]);
  for (std::size_t i = 2; i < oid->size(); ++i) appendSub((*oid)[i]);
  return b;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
  T v{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<Bytes> Ipv4Content(std::string_view text) {
  Bytes b;
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = text.find('.', pos);
    if ((i < 3) == (dot == std::string_view::npos)) return std::nullopt;
    const auto part = ParseNumber<unsigned>(text.substr(pos, dot == std::string_view::npos ? dot : dot - pos));
    if (!part || *part > 255) return std::nullopt;
    b.push_back(static_cast<std::uint8_t>(*part));
    pos = dot + 1;
  }
  return b;
}

// Time ticks: an all-digit text beyond 32 bits saturates instead of failing.
std::optional<std::uint64_t> ParseTicks(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  const auto v = ParseNumber<std::uint64_t>(text);
  return v && *v <= UINT32_MAX ? *v : std::uint64_t{UINT32_MAX};
}

std::optional<Bytes> ValueContent(const SnmpVariable& var) {
  const std::string_view text = var.value;
  switch (var.valueType) {
    case snmp_value::kInteger: {
      const auto v = ParseNumber<std::int32_t>(text);
      if (!v) return std::nullopt;
      return SignedContent(*v);
    }
    case snmp_value::kOctetString:
    case snmp_value::kOpaque:
      return Bytes(text.begin(), text.end());
    case snmp_value::kObjectId:
      return OidContent(text);
    case snmp_value::kIpAddress:
      return Ipv4Content(text);
    case snmp_value::kCounter32:
    case snmp_value::kGauge32: {
      const auto v = ParseNumber<std::uint32_t>(text);
      if (!v) return std::nullopt;
      return UnsignedContent(*v);
    }
    case snmp_value::kTimeTicks: {
      const auto v = ParseTicks(text);
      if (!v) return std::nullopt;
      return UnsignedContent(*v);
    }
    case snmp_value::kCounter64: {
      const auto v = ParseNumber<std::uint64_t>(text);
      if (!v) return std::nullopt;
      return UnsignedContent(*v);
    }
    default:  // NULL and the exceptions: no content, whatever the text says
      return Bytes{};
  }
}

std::optional<Bytes> VariablesContent(const SnmpMessage& m) {
  Bytes list;
  for (const auto& var : m.variables) {
    const ValueKind* kind = KindByCode(var.valueType);
    if (!kind || (kind->v2cOnly && m.version != SnmpVersion::kV2c)) return std::nullopt;
    const auto name = OidContent(var.oid);
    const auto value = ValueContent(var);
    if (!name || !value) return std::nullopt;
    Bytes binding;
    AppendTlv(binding, tag::kObjectId, *name);
    AppendTlv(binding, kind->tag, *value);
    AppendTlv(list, tag::kSequence, binding);
  }
  return list;
}

std::optional<Bytes> TrapPduContent(const SnmpMessage& m, const Bytes& list) {
  const auto enterprise = OidContent(m.enterprise);
  const auto address = Ipv4Content(m.agentAddress);
  if (!enterprise || !address || m.genericTrap < 0 || m.genericTrap > 6 || m.specificTrap < 0)
    return std::nullopt;
  Bytes pdu;
  AppendTlv(pdu, tag::kObjectId, *enterprise);
  AppendTlv(pdu, tag::kIpAddress, *address);
  AppendInteger(pdu, m.genericTrap);
  AppendInteger(pdu, m.specificTrap);
  AppendTlv(pdu, tag::kTimeTicks, UnsignedContent(m.timeStamp));
  AppendTlv(pdu, tag::kSequence, list);
  return pdu;
}

}  // namespace

std::optional<SnmpMessage> DecodeSnmpRequest(std::span<const std::uint8_t> datagram) {
  return Decode(datagram, true);
}

std::optional<SnmpMessage> DecodeSnmpMessage(std::span<const std::uint8_t> datagram) {
  return Decode(datagram, false);
}

std::optional<std::vector<std::uint8_t>> EncodeSnmpMessage(const SnmpMessage& m) {
  const PduKind* kind = nullptr;
  for (const auto& k : kPduKinds) {
    const int code = m.version == SnmpVersion::kV1 ? k.v1Code : k.v2cCode;
    if (code != 0 && code == m.type) kind = &k;
  }
  if (!kind || (m.version != SnmpVersion::kV1 && m.version != SnmpVersion::kV2c)) return std::nullopt;
  if (m.errorStatus < 0 || m.errorIndex < 0) return std::nullopt;

  const auto list = VariablesContent(m);
  if (!list) return std::nullopt;
  Bytes pdu;
  if (kind->tag == tag::kTrapV1) {
    auto trap = TrapPduContent(m, *list);
    if (!trap) return std::nullopt;
    pdu = std::move(*trap);
  } else {
    AppendInteger(pdu, m.requestId);
    AppendInteger(pdu, m.errorStatus);
    AppendInteger(pdu, m.errorIndex);
    AppendTlv(pdu, tag::kSequence, *list);
  }
  Bytes body;
  AppendInteger(body, static_cast<int>(m.version));
  AppendTlv(body, tag::kOctetString, Bytes(m.community.begin(), m.community.end()));
  AppendTlv(body, kind->tag, pdu);
  Bytes out;
  AppendTlv(out, tag::kSequence, body);
  return out;
}

}  // namespace vantor
