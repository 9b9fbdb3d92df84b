#include "platform/snmp/snmp_answer.hpp"

namespace vantor {
namespace {

bool IsGet(int type) { return type == snmp_type::kGetV1 || type == snmp_type::kGetV2c; }
bool IsGetNext(int type) { return type == snmp_type::kGetNextV1 || type == snmp_type::kGetNextV2c; }

void MapNoSuchNameToV2c(const SnmpMessage& request, SnmpMessage& answer) {
  if (IsGet(request.type) || IsGetNext(request.type)) {
    const int exception = IsGet(request.type) ? snmp_value::kNoSuchObject : snmp_value::kEndOfMibView;
    // An answered variable has a new value (and, for get-next, a new OID); one the handler left
    // exactly as received was not found. Managers usually send NULL, but any value is allowed.
    for (std::size_t i = 0; i < answer.variables.size() && i < request.variables.size(); ++i) {
      auto& var = answer.variables[i];
      if (var != request.variables[i]) continue;
      var.valueType = exception;
      var.value.clear();
    }
    answer.errorStatus = snmp_error::kNoError;
    answer.errorIndex = 0;
  } else {
    answer.errorStatus = snmp_error::kNotWritable;
  }
}

// RFC 3584, 4.4: each v2c-only code refines one of the v1 codes.
int V1ErrorStatus(int status) {
  switch (status) {
    case 7:   // wrongType
    case 8:   // wrongLength
    case 9:   // wrongEncoding
    case snmp_error::kWrongValue:
    case 12:  // inconsistentValue
      return snmp_error::kBadValue;
    case 13:  // resourceUnavailable
    case 14:  // commitFailed
    case 15:  // undoFailed
      return snmp_error::kGenErr;
    default:  // noAccess, noCreation, authorizationError, notWritable, inconsistentName
      return status <= snmp_error::kGenErr ? status : snmp_error::kNoSuchName;
  }
}

}  // namespace

void PrepareSnmpAnswer(const SnmpMessage& request, SnmpMessage& answer) {
  answer.version = request.version;
  answer.requestId = request.requestId;
  answer.type = request.version == SnmpVersion::kV1 ? snmp_type::kResponseV1 : snmp_type::kResponseV2c;
  if (request.version == SnmpVersion::kV1) {
    answer.errorStatus = V1ErrorStatus(answer.errorStatus);
  } else if (answer.errorStatus == snmp_error::kNoSuchName) {
    MapNoSuchNameToV2c(request, answer);
  } else if (answer.errorStatus == snmp_error::kBadValue) {
    answer.errorStatus = snmp_error::kWrongValue;
  }
}

}  // namespace vantor
