#include "platform/snmp_ber.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <random>

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

TEST(SnmpBerDecode, ReadsRequestsAsNetSnmpSendsThem) {
  // snmpget -v1 -c public <agent> 1.3.6.1.2.1.1.1.0 1.3.6.1.2.1.1.5
  const auto get = DecodeSnmpRequest(FromHex(
      "303602010004067075626c6963a029020448a3fdcf020100020100301b300c06082b060102010101000500"
      "300b06072b0601020101050500"));
  ASSERT_TRUE(get);
  EXPECT_EQ(get->version, SnmpVersion::kV1);
  EXPECT_EQ(get->type, snmp_type::kGetV1);
  EXPECT_EQ(get->community, "public");
  EXPECT_EQ(get->requestId, 0x48a3fdcf);
  EXPECT_EQ(get->variables, (std::vector<SnmpVariable>{{"1.3.6.1.2.1.1.1.0", snmp_value::kNull, ""},
                                                        {"1.3.6.1.2.1.1.5", snmp_value::kNull, ""}}));

  // snmpset -v2c -c marigolds with integer, time ticks, OID and IpAddress values
  const auto set = DecodeSnmpRequest(FromHex(
      "307102010104096d617269676f6c6473a3610204481ae3b102010002010030533014060c2b06010401838964"
      "0112010002048000000030110608"
      "2b06010201010700430500ffffffff301606082b06010201010200060a2b060104018fffffff7f3010060"
      "82b0601020101060040040a010203"));
  ASSERT_TRUE(set);
  EXPECT_EQ(set->version, SnmpVersion::kV2c);
  EXPECT_EQ(set->type, snmp_type::kSetV2c);
  ASSERT_EQ(set->variables.size(), 4u);
  EXPECT_EQ(set->variables[0], (SnmpVariable{"1.3.6.1.4.1.50404.1.18.1.0", snmp_value::kInteger, "-2147483648"}));
  EXPECT_EQ(set->variables[1], (SnmpVariable{"1.3.6.1.2.1.1.7.0", snmp_value::kTimeTicks, "4294967295"}));
  EXPECT_EQ(set->variables[2], (SnmpVariable{"1.3.6.1.2.1.1.2.0", snmp_value::kObjectId, "1.3.6.1.4.1.4294967295"}));
  EXPECT_EQ(set->variables[3], (SnmpVariable{"1.3.6.1.2.1.1.6.0", snmp_value::kIpAddress, "10.1.2.3"}));

  // The same layout with a get-next PDU in v2c.
  const auto next = DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x05, {})), 0xA1, Tlv(0x02, {0x01})));
  ASSERT_TRUE(next);
  EXPECT_EQ(next->type, snmp_type::kGetNextV2c);
}

TEST(SnmpBerEncode, WritesMinimalBerByteForByte) {
  auto m = Response(SnmpVersion::kV1, {{"1.3.6.1.2.1.1.7.0", snmp_value::kInteger, "72"}});
  m.requestId = 1;
  EXPECT_EQ(EncodeSnmpMessage(m),
            FromHex("302702010004067075626c6963a21a020101020100020100300f300d06082b06010201010700020148"));

  // Contents of 128 bytes and more take the long length form.
  m.variables[0] = {"1.3.6.1", snmp_value::kOctetString, std::string(300, 'x')};
  const auto bytes = EncodeSnmpMessage(m);
  ASSERT_TRUE(bytes);
  const Bytes lengthOf300 = {0x04, 0x82, 0x01, 0x2c};
  EXPECT_NE(std::search(bytes->begin(), bytes->end(), lengthOf300.begin(), lengthOf300.end()), bytes->end());
  EXPECT_EQ((*bytes)[1], 0x82);
}

TEST(SnmpBerRoundTrip, KeepsEveryValueTypeAtItsBoundaries) {
  const std::vector<SnmpVariable> vars = {
      {"1.3.6.1.2.1.1.1.0", snmp_value::kInteger, "-2147483648"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kInteger, "2147483647"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kInteger, "-129"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kInteger, "128"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kInteger, "0"},
      {"1.3.6.1.2.1.1.3.0", snmp_value::kTimeTicks, "4294967295"},
      {"1.3.6.1.2.1.1.3.0", snmp_value::kTimeTicks, "2147483648"},
      {"1.3.6.1.2.1.1.3.0", snmp_value::kCounter32, "0"},
      {"1.3.6.1.2.1.1.3.0", snmp_value::kGauge32, "128"},
      {"1.3.6.1.2.1.1.2.0", snmp_value::kObjectId, "1.3.6.1.4.1.4294967295.0"},
      {"2.4294967215.4294967295", snmp_value::kObjectId, "0.39"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kOctetString, std::string("a\0b\xff", 4)},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kOctetString, ""},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kIpAddress, "255.0.10.1"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kOpaque, "\x9f\x78"},
      {"1.3.6.1.2.1.1.1.0", snmp_value::kNull, ""},
  };
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

  const std::vector<SnmpVariable> unencodable = {
      {"1.3.6.1", snmp_value::kInteger, "2147483648"},
      {"1.3.6.1", snmp_value::kInteger, "-2147483649"},
      {"1.3.6.1", snmp_value::kInteger, "n/a"},
      {"1.3.6.1", snmp_value::kCounter32, "4294967296"},
      {"1.3.6.1", snmp_value::kIpAddress, "1.2.3"},
      {"1.3.6.1", snmp_value::kIpAddress, "1.2.3.256"},
      {"1.3.6.1", snmp_value::kObjectId, "3.1"},
      {"1.3.6.1", snmp_value::kObjectId, "1.40"},
      {"1.3.6.1", snmp_value::kObjectId, "1..3"},
      {"1.3.6.1", snmp_value::kObjectId, "1.3.4294967296"},
      {".1.3.6.1", snmp_value::kNull, ""},
      {"1", snmp_value::kNull, ""},
      {"1.3.6.1", 99, ""},
      {"1.3.6.1", snmp_value::kCounter64, "1"},  // v2c only
      {"1.3.6.1", snmp_value::kEndOfMibView, ""},  // v2c only
  };
  for (const auto& var : unencodable)
    EXPECT_FALSE(EncodeSnmpMessage(Response(SnmpVersion::kV1, {var}))) << var.oid << " " << var.value;
}

TEST(SnmpBerEncode, TrapsAreV1Only) {
  SnmpMessage trap;
  trap.type = snmp_type::kTrapV1;
  trap.community = "tidewalk";
  trap.enterprise = "1.3.6.1.4.1.50404.1.18.2";
  trap.genericTrap = 6;
  trap.specificTrap = 5;
  trap.timeStamp = 4294967295u;
  trap.agentAddress = "127.0.0.1";
  trap.variables = {{"1.3.6.1.4.1.50404.1.18.1.7.3", snmp_value::kInteger, "1"}};
  EXPECT_EQ(RoundTrip(trap), trap);
  EXPECT_FALSE(DecodeSnmpRequest(*EncodeSnmpMessage(trap)));

  auto bad = trap;
  bad.agentAddress = "0:0::1";
  EXPECT_FALSE(EncodeSnmpMessage(bad));
  bad = trap;
  bad.genericTrap = 7;
  EXPECT_FALSE(EncodeSnmpMessage(bad));
  bad = trap;
  bad.version = SnmpVersion::kV2c;
  EXPECT_FALSE(EncodeSnmpMessage(bad));
  bad = trap;
  bad.type = snmp_type::kGetV2c;  // a second-family code in a v1 message
  EXPECT_FALSE(EncodeSnmpMessage(bad));
}

TEST(SnmpBerDecode, RejectsEveryTruncationAndTrailingJunk) {
  ASSERT_TRUE(DecodeSnmpRequest(kValidGet));
  EXPECT_FALSE(DecodeSnmpRequest(Bytes{}));
  for (std::size_t n = 1; n < kValidGet.size(); ++n)
    EXPECT_FALSE(DecodeSnmpRequest(std::span(kValidGet.data(), n))) << "prefix of " << n;
  Bytes junk = kValidGet;
  junk.push_back(0x00);
  EXPECT_FALSE(DecodeSnmpRequest(junk));
}

TEST(SnmpBerDecode, RejectsBadLengths) {
  Bytes longer = kValidGet;
  longer[1] += 1;  // outer length past the end
  EXPECT_FALSE(DecodeSnmpRequest(longer));
  // Indefinite length, and a five-byte length field.
  EXPECT_FALSE(DecodeSnmpRequest(Cat({Bytes{0x30, 0x80}, Bytes(kValidGet.begin() + 2, kValidGet.end()), Bytes{0, 0}})));
  EXPECT_FALSE(DecodeSnmpRequest(Bytes{0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x05}));
  EXPECT_FALSE(DecodeSnmpRequest(Bytes{0x30, 0x84, 0xff, 0xff, 0xff, 0xff, 0x02}));
  // Multi-byte tag.
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x05, {})), 0xBF)));
}

TEST(SnmpBerDecode, RejectsIntegersOutOfTheirField) {
  const Bytes null = Tlv(0x05, {});
  const Bytes b = Binding(kSysDescrOid, null);
  auto header = [](const Bytes& id, const Bytes& status, const Bytes& index) {
    return Cat({Tlv(0x02, id), Tlv(0x02, status), Tlv(0x02, index)});
  };
  EXPECT_TRUE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({0x80, 0, 0, 0}, {0}, {0}))));
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({0x00, 0x80, 0, 0, 0}, {0}, {0}))));  // 5 bytes
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({0x00, 0x01}, {0}, {0}))));  // not minimal
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({0xff, 0x80}, {0}, {0}))));  // not minimal
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({}, {0}, {0}))));            // empty
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({1}, {0xff}, {0}))));        // negative status
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, kZero, header({1}, {0}, {0xff}))));        // negative index
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, Tlv(0x02, {0x02}))));                      // unknown version
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, Tlv(0x02, {0x03}))));                      // v3
  EXPECT_FALSE(DecodeSnmpRequest(Message(b, 0xA0, Tlv(0x02, {0xff}))));                      // negative version

  auto value = [](const Bytes& v) { return DecodeSnmpRequest(Message(Binding(kSysDescrOid, v))); };
  EXPECT_FALSE(value(Tlv(0x02, {0x00, 0x80, 0, 0, 0})));        // integer beyond 32 bits
  EXPECT_FALSE(value(Tlv(0x43, {0xff})));                       // negative time ticks
  EXPECT_FALSE(value(Tlv(0x43, {0x01, 0, 0, 0, 0})));           // time ticks beyond 32 bits
  EXPECT_FALSE(value(Tlv(0x43, {0x00, 0x7f})));                 // not minimal
  EXPECT_FALSE(value(Tlv(0x40, {1, 2, 3})));                    // short IpAddress
  EXPECT_FALSE(value(Tlv(0x05, {0x00})));                       // NULL with content
  EXPECT_EQ(value(Tlv(0x43, {0x00, 0xff, 0xff, 0xff, 0xff}))->variables[0].value, "4294967295");
}

TEST(SnmpBerDecode, RejectsBadObjectIdentifiers) {
  auto withOid = [](const Bytes& oid) { return DecodeSnmpRequest(Message(Binding(oid, Tlv(0x05, {})))); };
  EXPECT_TRUE(withOid({0x2b, 0x8f, 0xff, 0xff, 0xff, 0x7f}));         // 4294967295
  EXPECT_FALSE(withOid({0x2b, 0x90, 0x80, 0x80, 0x80, 0x00}));        // 4294967296
  EXPECT_FALSE(withOid({0x2b, 0x80, 0x01}));                          // padded sub-identifier
  EXPECT_FALSE(withOid({0x2b, 0x06, 0x81}));                          // cut off
  EXPECT_FALSE(withOid({}));                                          // empty
  Bytes tooLong(128, 0x01);
  tooLong[0] = 0x2b;  // 129 arcs
  EXPECT_FALSE(withOid(tooLong));
  tooLong.pop_back();
  EXPECT_TRUE(withOid(tooLong));
  // An OID value with the same faults.
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x06, {0x2b, 0x90, 0x80, 0x80, 0x80, 0x00})))));
}

TEST(SnmpBerDecode, RejectsWrongStructure) {
  const Bytes null = Tlv(0x05, {});
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x30, {})))));         // nested value
  EXPECT_FALSE(DecodeSnmpRequest(Message(Tlv(0x30, Tlv(0x30, Binding(kSysDescrOid, null))))));  // nested binding
  EXPECT_FALSE(DecodeSnmpRequest(Message(Tlv(0x30, Cat({Tlv(0x06, kSysDescrOid), null, null})))));  // extra element
  EXPECT_FALSE(DecodeSnmpRequest(Message(Tlv(0x30, Tlv(0x06, kSysDescrOid)))));            // missing value
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x47, {})))));         // unknown value type
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x82, {})))));          // exception in v1
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x82, {})), 0xA0, Tlv(0x02, {1}))));  // and in a v2c request
  EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x46, {1})))));         // Counter64 in v1
  EXPECT_TRUE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, Tlv(0x46, {1})), 0xA3, Tlv(0x02, {1}))));
  for (std::uint8_t pdu : {0xA2, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0x30})
    EXPECT_FALSE(DecodeSnmpRequest(Message(Binding(kSysDescrOid, null), pdu, Tlv(0x02, {1})))) << int(pdu);
  // A response decodes as a message, never as a request.
  EXPECT_TRUE(DecodeSnmpMessage(Message(Binding(kSysDescrOid, null), 0xA2)));
  EXPECT_FALSE(DecodeSnmpMessage(Message(Binding(kSysDescrOid, null), 0xA4)));  // trap without its fields
}

TEST(SnmpBerDecode, RejectsLargeGarbage) {
  std::mt19937 random(42);
  Bytes garbage(65 * 1024);
  for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
  EXPECT_FALSE(DecodeSnmpRequest(garbage));
  // A frame whose declared length covers all of a 65 KB datagram of filler.
  Bytes filler = {0x30, 0x83, 0x01, 0x03, 0xfb};
  filler.resize(5 + 0x103fb, 0x30);
  EXPECT_FALSE(DecodeSnmpRequest(filler));
}

}  // namespace
}  // namespace vantor
