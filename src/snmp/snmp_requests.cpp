#include "snmp/snmp_requests.hpp"

#include "platform/snmp/snmp_oid.hpp"
#include "snmp/connection_objects.hpp"

#include <array>
#include <optional>

namespace vantor {
namespace {

struct SystemObject {
  const char* objectOid;    // without the instance
  const char* instanceOid;  // objectOid + ".0"
  int valueType;
};

// In lexical order of their OIDs; get-next relies on it.
constexpr std::array<SystemObject, 7> kSystemGroup = {{
    {"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.1.0", snmp_value::kOctetString},  // sysDescr
    {"1.3.6.1.2.1.1.2", "1.3.6.1.2.1.1.2.0", snmp_value::kObjectId},     // sysObjectID
    {"1.3.6.1.2.1.1.3", "1.3.6.1.2.1.1.3.0", snmp_value::kTimeTicks},    // sysUpTime
    {"1.3.6.1.2.1.1.4", "1.3.6.1.2.1.1.4.0", snmp_value::kOctetString},  // sysContact
    {"1.3.6.1.2.1.1.5", "1.3.6.1.2.1.1.5.0", snmp_value::kOctetString},  // sysName
    {"1.3.6.1.2.1.1.6", "1.3.6.1.2.1.1.6.0", snmp_value::kOctetString},  // sysLocation
    {"1.3.6.1.2.1.1.7", "1.3.6.1.2.1.1.7.0", snmp_value::kInteger},      // sysServices
}};

std::string ValueOf(std::size_t index, const SnmpReadInputs& in) {
  switch (index) {
    case 0: return "Vantor Web, ver " + in.progVersion;
    case 1: return kSysObjectId;
    case 2: return std::to_string(in.uptimeHundredths);
    case 6: return "72";
    default: return "n/a";
  }
}

SnmpVariable SystemAnswer(std::size_t index, const SnmpReadInputs& in) {
  return {kSystemGroup[index].instanceOid, kSystemGroup[index].valueType, ValueOf(index, in)};
}

std::optional<SnmpVariable> FindExact(const std::string& oid, const SnmpReadInputs& in) {
  for (std::size_t i = 0; i < kSystemGroup.size(); ++i)
    if (oid == kSystemGroup[i].objectOid || oid == kSystemGroup[i].instanceOid) return SystemAnswer(i, in);
  if (in.tables) return ConnectionObjectGet(*in.tables, oid);
  return std::nullopt;
}

std::optional<SnmpVariable> FindNext(const std::string& oid, const SnmpReadInputs& in) {
  const auto requested = ParseSnmpOid(oid);
  if (!requested) return std::nullopt;
  for (std::size_t i = 0; i < kSystemGroup.size(); ++i)
    if (CompareSnmpOid(*ParseSnmpOid(kSystemGroup[i].instanceOid), *requested) > 0) return SystemAnswer(i, in);
  if (in.tables) return ConnectionObjectNext(*in.tables, oid);
  return std::nullopt;
}

template <typename Find>
bool AnswerEach(SnmpMessage& message, const SnmpReadInputs& in, Find find) {
  if (message.community != in.getCommunity) return false;
  int position = 1;
  for (auto& var : message.variables) {
    if (auto answer = find(var.oid, in)) {
      var = std::move(*answer);
    } else {
      message.errorStatus = snmp_error::kNoSuchName;
      message.errorIndex = position;
    }
    ++position;
  }
  return true;
}

}  // namespace

std::uint64_t SnmpUptimeHundredths(SystemTime start, SystemTime now) {
  if (now < start) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()) * 100;
}

bool SnmpGetRequest(SnmpMessage& message, const SnmpReadInputs& inputs) {
  return AnswerEach(message, inputs, FindExact);
}

bool SnmpGetNextRequest(SnmpMessage& message, const SnmpReadInputs& inputs) {
  return AnswerEach(message, inputs, FindNext);
}

int SnmpResponseType(int requestType) {
  return requestType == snmp_type::kGetV1 ? snmp_type::kResponseV1 : snmp_type::kResponseV2c;
}

}  // namespace vantor
