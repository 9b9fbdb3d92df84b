#pragma once
// One SNMP message as the service sees it: codes and texts, no wire bytes. A request, its answer
// and a trap are each a message of their own; nothing here is shared between them.

#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

enum class SnmpVersion : int { kV1 = 0, kV2c = 1 };  // the wire value of the version field

// Message type codes. The first family is SNMPv1 (its trap has the v1 trap fields), the second
// is SNMPv2c.
namespace snmp_type {
inline constexpr int kGetV1 = 32;
inline constexpr int kGetNextV1 = 33;
inline constexpr int kResponseV1 = 34;
inline constexpr int kSetV1 = 35;
inline constexpr int kTrapV1 = 36;
inline constexpr int kGetV2c = 64;
inline constexpr int kGetNextV2c = 65;
inline constexpr int kResponseV2c = 66;
inline constexpr int kSetV2c = 67;
}  // namespace snmp_type

// Value type codes. The service writes only the first four; the others appear in decoded
// requests (managers put NULL into get requests) and are written back unchanged.
namespace snmp_value {
inline constexpr int kInteger = 1;      // decimal text, -2147483648 .. 2147483647
inline constexpr int kOctetString = 2;  // the bytes themselves
inline constexpr int kObjectId = 3;     // dotted decimal text, "1.3.6.1.2.1.1.1.0"
inline constexpr int kIpAddress = 4;    // dotted quad text
inline constexpr int kNull = 5;         // empty text
inline constexpr int kCounter32 = 6;    // decimal text, 0 .. 4294967295
inline constexpr int kTimeTicks = 7;    // decimal text, hundredths of a second (see EncodeSnmpMessage)
inline constexpr int kGauge32 = 8;      // decimal text, 0 .. 4294967295
inline constexpr int kOpaque = 9;       // the bytes themselves
inline constexpr int kCounter64 = 10;   // decimal text, 0 .. 18446744073709551615; v2c only
// v2c exception values of a response variable (empty text); never valid in v1.
inline constexpr int kNoSuchObject = 128;
inline constexpr int kNoSuchInstance = 129;
inline constexpr int kEndOfMibView = 130;
}  // namespace snmp_value

// Error status codes. Handlers write the v1 codes; PrepareSnmpAnswer gives a v2c answer the
// v2c codes and keeps v2c-only codes out of a v1 answer.
namespace snmp_error {
inline constexpr int kNoError = 0;
inline constexpr int kNoSuchName = 2;  // v1; notWritable in a v2c set answer
inline constexpr int kBadValue = 3;    // v1; wrongValue in v2c
inline constexpr int kGenErr = 5;
inline constexpr int kWrongValue = 10;   // v2c
inline constexpr int kNotWritable = 17;  // v2c
}  // namespace snmp_error

struct SnmpVariable {
  std::string oid;    // dotted decimal, no leading dot
  int valueType = snmp_value::kNull;
  std::string value;  // always text, interpreted by valueType

  bool operator==(const SnmpVariable&) const = default;
};

struct SnmpMessage {
  SnmpVersion version = SnmpVersion::kV1;
  int type = 0;  // snmp_type code
  std::string community;
  std::int32_t requestId = 0;
  int errorStatus = 0;
  int errorIndex = 0;  // 1-based position in `variables`, 0 for none
  std::vector<SnmpVariable> variables;

  // v1 trap fields (type snmp_type::kTrapV1 only).
  std::string enterprise;    // dotted decimal OID
  int genericTrap = 0;       // 0 .. 6, 6 = enterpriseSpecific
  int specificTrap = 0;
  std::uint32_t timeStamp = 0;  // hundredths of a second
  std::string agentAddress;     // dotted quad

  bool operator==(const SnmpMessage&) const = default;
};

}  // namespace vantor
