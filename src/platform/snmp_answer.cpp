#include "platform/snmp_answer.hpp"

namespace vantor {
namespace {

bool IsGet(int type) { return type == snmp_type::kGetV1 || type == snmp_type::kGetV2c; }
bool IsGetNext(int type) { return type == snmp_type::kGetNextV1 || type == snmp_type::kGetNextV2c; }

void MapNoSuchNameToV2c(int requestType, SnmpMessage& answer) {
  if (IsGet(requestType) || IsGetNext(requestType)) {
    const int exception = IsGet(requestType) ? snmp_value::kNoSuchObject : snmp_value::kEndOfMibView;
    for (auto& var : answer.variables) {
      if (var.valueType != snmp_value::kNull) continue;
      var.valueType = exception;
      var.value.clear();
    }
    answer.errorStatus = snmp_error::kNoError;
    answer.errorIndex = 0;
  } else {
    answer.errorStatus = snmp_error::kNotWritable;
  }
}

}  // namespace

void PrepareSnmpAnswer(const SnmpMessage& request, SnmpMessage& answer) {
  answer.version = request.version;
  answer.requestId = request.requestId;
  answer.type = request.version == SnmpVersion::kV1 ? snmp_type::kResponseV1 : snmp_type::kResponseV2c;
  if (request.version == SnmpVersion::kV2c && answer.errorStatus == snmp_error::kNoSuchName)
    MapNoSuchNameToV2c(request.type, answer);
}

}  // namespace vantor
