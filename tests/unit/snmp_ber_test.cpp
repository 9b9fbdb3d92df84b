#include "platform/snmp/snmp_ber.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

namespace vantor {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return b;
}

// Builds BER by hand, so malformed inputs can be written element by element.
Bytes Tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<std::uint8_t>(content.size()));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(content.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(content.size()));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kSysDescrOid = {0x2b, 6, 1, 2, 1, 1, 1, 0};
const Bytes kZero = Tlv(0x02, {0x00});

Bytes Binding(const Bytes& oidContent, const Bytes& value) {
  return Tlv(0x30, Cat({Tlv(0x06, oidContent), value}));
}

// A whole message: version, community "public", PDU with id 1, status 0, index 0.
Bytes Message(const Bytes& bindings, std::uint8_t pduTag = 0xA0, const Bytes& version = kZero,
              const Bytes& header = Cat({Tlv(0x02, {0x01}), kZero, kZero})) {
  return Tlv(0x30, Cat({version, Tlv(0x04, {'p', 'u', 'b', 'l', 'i', 'c'}),
                        Tlv(pduTag, Cat({header, Tlv(0x30, bindings)}))}));
}

const Bytes kValidGet = Message(Binding(kSysDescrOid, Tlv(0x05, {})));

SnmpMessage Response(SnmpVersion version, std::vector<SnmpVariable> vars) {
  SnmpMessage m;
  m.version = version;
  m.type = version == SnmpVersion::kV1 ? snmp_type::kResponseV1 : snmp_type::kResponseV2c;
  m.community = "public";
  m.requestId = -7;
  m.variables = std::move(vars);
  return m;
}

SnmpMessage RoundTrip(const SnmpMessage& m) {
  const auto bytes = EncodeSnmpMessage(m);
  EXPECT_TRUE(bytes.has_value());
  if (!bytes) return {};
  const auto back = DecodeSnmpMessage(*bytes);
  EXPECT_TRUE(back.has_value());
  return back.value_or(SnmpMessage{});
}

TEST(SnmpBerDecode, ReadsEveryRequestValueType) {
  // snmpset -v2c -c marigolds with integer, time ticks, OID and IpAddress values
  const auto set = DecodeSnmpRequest(FromHex(
      "307102010104096d617269676f6c6473a3610204481ae3b102010002010030533014060c2b06010401838964"
      "0112010002048000000030110608"
      "2b06010201010700430500ffffffff301606082b06010201010200060a2b060104018fffffff7f3010060"
      "82b0601020101060040040a010203"));
  ASSERT_TRUE(set);
  EXPECT_EQ(set->type, snmp_type::kSetV2c);
  EXPECT_EQ(set->variables, (std::vector<SnmpVariable>{
                                {"1.3.6.1.4.1.50404.1.18.1.0", snmp_value::kInteger, "-2147483648"},
                                {"1.3.6.1.2.1.1.7.0", snmp_value::kTimeTicks, "4294967295"},
                                {"1.3.6.1.2.1.1.2.0", snmp_value::kObjectId, "1.3.6.1.4.1.4294967295"},
                                {"1.3.6.1.2.1.1.6.0", snmp_value::kIpAddress, "10.1.2.3"}}));
}

TEST(SnmpBerEncode, WritesMinimalBerByteForByte) {
  auto m = Response(SnmpVersion::kV1, {{"1.3.6.1.2.1.1.7.0", snmp_value::kInteger, "72"}});
  m.requestId = 1;
  EXPECT_EQ(EncodeSnmpMessage(m),
            FromHex("302702010004067075626c6963a21a020101020100020100300f300d06082b06010201010700020148"));
  // Contents of 128 bytes and more take the long length form.
  m.variables[0] = {"1.3.6.1", snmp_value::kOctetString, std::string(300, 'x')};
  const Bytes longForm = EncodeSnmpMessage(m).value_or(Bytes(304));
  EXPECT_EQ(Bytes(longForm.end() - 304, longForm.end() - 300), (Bytes{0x04, 0x82, 0x01, 0x2c}));
}

TEST(SnmpBerRoundTrip, KeepsEveryValueTypeAtItsBoundaries) {
  std::vector<SnmpVariable> vars = {{"2.4294967215.4294967295", snmp_value::kObjectId, "0.39"}};
  const std::vector<std::pair<int, std::string>> values = {
      {snmp_value::kInteger, "-2147483648"}, {snmp_value::kInteger, "2147483647"}, {snmp_value::kInteger, "-129"},
      {snmp_value::kInteger, "128"}, {snmp_value::kInteger, "0"}, {snmp_value::kTimeTicks, "4294967295"},
      {snmp_value::kTimeTicks, "2147483648"}, {snmp_value::kCounter32, "0"}, {snmp_value::kGauge32, "128"},
      {snmp_value::kObjectId, "1.3.6.1.4.1.4294967295.0"}, {snmp_value::kOctetString, std::string("a\0b\xff", 4)},
      {snmp_value::kOctetString, ""}, {snmp_value::kIpAddress, "255.0.10.1"}, {snmp_value::kOpaque, "\x9f\x78"},
      {snmp_value::kNull, ""}};
  for (const auto& [type, value] : values) vars.push_back({"1.3.6.1.2.1.1.1.0", type, value});
  for (auto version : {SnmpVersion::kV1, SnmpVersion::kV2c}) {
    const auto m = Response(version, vars);
    EXPECT_EQ(RoundTrip(m), m);
  }
  const auto v2 = Response(SnmpVersion::kV2c, {{"1.3.6.1", snmp_value::kCounter64, "18446744073709551615"},
                                               {"1.3.6.1", snmp_value::kEndOfMibView, ""},
                                               {"1.3.6.1", snmp_value::kNoSuchObject, ""},
                                               {"1.3.6.1", snmp_value::kNoSuchInstance, ""}});
  EXPECT_EQ(RoundTrip(v2), v2);

  auto errors = Response(SnmpVersion::kV1, {{"1.3.6.1", snmp_value::kNull, ""}});
  errors.requestId = INT32_MIN;
  errors.errorStatus = snmp_error::kNoSuchName;
  errors.errorIndex = 1;
  EXPECT_EQ(RoundTrip(errors), errors);
}

TEST(SnmpBerEncode, TimeTicksSaturateAndOtherNumbersMustFit) {
  auto ticks = [](std::string text) {
    return Response(SnmpVersion::kV1, {{"1.3.6.1", snmp_value::kTimeTicks, std::move(text)}});
  };
  EXPECT_EQ(RoundTrip(ticks("4294967296")).variables[0].value, "4294967295");
  EXPECT_EQ(RoundTrip(ticks("123456789012345678901234567890")).variables[0].value, "4294967295");
  for (const auto& bad : {"-1", "", "12a", " 5", "+5"}) EXPECT_FALSE(EncodeSnmpMessage(ticks(bad))) << bad;

  // Numbers out of range, malformed addresses and OIDs, unknown types and v2c-only values in v1.
  const std::vector<SnmpVariable> unencodable = {
      {"1.3.6.1", snmp_value::kInteger, "2147483648"}, {"1.3.6.1", snmp_value::kInteger, "-2147483649"},
      {"1.3.6.1", snmp_value::kInteger, "n/a"},        {"1.3.6.1", snmp_value::kCounter32, "4294967296"},
      {"1.3.6.1", snmp_value::kIpAddress, "1.2.3"},    {"1.3.6.1", snmp_value::kIpAddress, "1.2.3.256"},
      {"1.3.6.1", snmp_value::kObjectId, "3.1"},       {"1.3.6.1", snmp_value::kObjectId, "1.40"},
      {"1.3.6.1", snmp_value::kObjectId, "1..3"},      {"1.3.6.1", snmp_value::kObjectId, "1.3.4294967296"},
      {".1.3.6.1", snmp_value::kNull, ""},             {"1", snmp_value::kNull, ""},
      {"1.3.6.1", 99, ""},                             {"1.3.6.1", snmp_value::kCounter64, "1"},
      {"1.3.6.1", snmp_value::kEndOfMibView, ""},
  };
  for (const auto& var : unencodable)
    EXPECT_FALSE(EncodeSnmpMessage(Response(SnmpVersion::kV1, {var}))) << var.oid << " " << var.value;
}

// One datagram per class of malformed input, and every prefix of a valid one (whose lengths run
// past its end); each must be rejected as a request.
TEST(SnmpBerDecode, RejectsMalformedInput) {
  ASSERT_TRUE(DecodeSnmpRequest(kValidGet));
  for (std::size_t n = 0; n < kValidGet.size(); ++n)
    EXPECT_FALSE(DecodeSnmpRequest(std::span(kValidGet.data(), n))) << "prefix of " << n;
  const Bytes null = Tlv(0x05, {});
  const Bytes b = Binding(kSysDescrOid, null);
  const Bytes v2c = Tlv(0x02, {1});
  auto header = [](const Bytes& id, const Bytes& status = {0}, const Bytes& index = {0}) {
    return Cat({Tlv(0x02, id), Tlv(0x02, status), Tlv(0x02, index)});
  };
  auto value = [](const Bytes& v) { return Message(Binding(kSysDescrOid, v)); };
  auto oid = [&](const Bytes& o) { return Message(Binding(o, null)); };
  Bytes filler = {0x30, 0x83, 0x01, 0x03, 0xfb};  // declared length covers a 65 KB datagram
  filler.resize(5 + 0x103fb, 0x30);
  Bytes tooLong(128, 0x01);
  tooLong[0] = 0x2b;  // 129 arcs

  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"trailing junk", Cat({kValidGet, Bytes{0x00}})},
      {"indefinite length", Cat({Bytes{0x30, 0x80}, Bytes(kValidGet.begin() + 2, kValidGet.end()), Bytes{0, 0}})},
      {"five-byte length field", Bytes{0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x05}},
      {"huge length", Bytes{0x30, 0x84, 0xff, 0xff, 0xff, 0xff, 0x02}},
      {"multi-byte tag", Message(b, 0xBF)},
      {"request id of 5 bytes", Message(b, 0xA0, kZero, header({0x00, 0x80, 0, 0, 0}))},
      {"integer not minimal", Message(b, 0xA0, kZero, header({0x00, 0x01}))},
      {"negative integer not minimal", Message(b, 0xA0, kZero, header({0xff, 0x80}))},
      {"empty integer", Message(b, 0xA0, kZero, header({}))},
      {"negative status", Message(b, 0xA0, kZero, header({1}, {0xff}))},
      {"negative index", Message(b, 0xA0, kZero, header({1}, {0}, {0xff}))},
      {"unknown version", Message(b, 0xA0, Tlv(0x02, {0x02}))},
      {"negative version", Message(b, 0xA0, Tlv(0x02, {0xff}))},
      {"integer value beyond 32 bits", value(Tlv(0x02, {0x00, 0x80, 0, 0, 0}))},
      {"negative time ticks", value(Tlv(0x43, {0xff}))},
      {"time ticks beyond 32 bits", value(Tlv(0x43, {0x01, 0, 0, 0, 0}))},
      {"time ticks not minimal", value(Tlv(0x43, {0x00, 0x7f}))},
      {"short IpAddress", value(Tlv(0x40, {1, 2, 3}))},
      {"NULL with content", value(Tlv(0x05, {0x00}))},
      {"sub-identifier beyond 32 bits", oid({0x2b, 0x90, 0x80, 0x80, 0x80, 0x00})},
      {"padded sub-identifier", oid({0x2b, 0x80, 0x01})},
      {"cut-off sub-identifier", oid({0x2b, 0x06, 0x81})},
      {"empty OID", oid({})},
      {"OID of 129 arcs", oid(tooLong)},
      {"bad OID as a value", value(Tlv(0x06, {0x2b, 0x90, 0x80, 0x80, 0x80, 0x00}))},
      {"nested value", value(Tlv(0x30, {}))},
      {"nested binding", Message(Tlv(0x30, b))},
      {"extra element in a binding", Message(Tlv(0x30, Cat({Tlv(0x06, kSysDescrOid), null, null})))},
      {"binding without value", Message(Tlv(0x30, Tlv(0x06, kSysDescrOid)))},
      {"unknown value type", value(Tlv(0x47, {}))},
      {"exception in v1", value(Tlv(0x82, {}))},
      {"exception in a v2c request", Message(Binding(kSysDescrOid, Tlv(0x82, {})), 0xA0, v2c)},
      {"nested filler", filler},
  };
  for (const auto& [what, bytes] : cases) EXPECT_FALSE(DecodeSnmpRequest(bytes)) << what;
  // PDUs that are not requests the agent serves.
  for (std::uint8_t pdu : {0xA2, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0x30})
    EXPECT_FALSE(DecodeSnmpRequest(Message(b, pdu, v2c))) << int(pdu);

  // The limits themselves are accepted.
  EXPECT_TRUE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({0x80, 0, 0, 0}))));
  EXPECT_EQ(DecodeSnmpRequest(value(Tlv(0x43, {0x00, 0xff, 0xff, 0xff, 0xff})))->variables[0].value, "4294967295");
  EXPECT_TRUE(DecodeSnmpRequest(oid({0x2b, 0x8f, 0xff, 0xff, 0xff, 0x7f})));  // 4294967295
  tooLong.pop_back();
  EXPECT_TRUE(DecodeSnmpRequest(oid(tooLong)));
  EXPECT_TRUE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x46, {1})), 0xA3, v2c)));
  // A response decodes as a message, never as a request; a trap needs its own fields.
  EXPECT_TRUE(DecodeSnmpMessage(Message(b, 0xA2)));
  EXPECT_FALSE(DecodeSnmpMessage(Message(b, 0xA4)));
}

// A binding whose declared length runs past the list that holds it (and past the datagram), with
// an octet string filling that length. The decoder must refuse it from the lengths alone: reading
// the content would run 4 GB past the datagram. The decoding runs in a child process so that such
// a read shows as a failed test instead of a crashed test binary.
TEST(SnmpBerDecodeDeathTest, RefusesContentRunningPastItsParent) {
  const Bytes name = Tlv(0x06, kSysDescrOid);
  const std::uint32_t bindingLength = 0xfffff000;
  const std::uint32_t valueLength = bindingLength - static_cast<std::uint32_t>(name.size()) - 6;
  auto lengthField = [](std::uint32_t n) {
    return Bytes{0x84, std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
  };
  const Bytes binding = Cat({Bytes{0x30}, lengthField(bindingLength), name, Bytes{0x04}, lengthField(valueLength),
                             Bytes{'a', 'b', 'c'}});
  const Bytes datagram = Message(binding);
  EXPECT_EXIT(std::exit(DecodeSnmpRequest(datagram) || DecodeSnmpMessage(datagram) ? 1 : 0),
              ::testing::ExitedWithCode(0), "");
  // The same binding with the length it really has is accepted.
  const Bytes honest = Message(Binding(kSysDescrOid, Tlv(0x04, {'a', 'b', 'c'})));
  EXPECT_EQ(DecodeSnmpRequest(honest)->variables[0].value, "abc");
}

}  // namespace
}  // namespace vantor
