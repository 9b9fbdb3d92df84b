#include "platform/snmp_answer.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

SnmpMessage Request(SnmpVersion version, int type) {
  SnmpMessage m;
  m.version = version;
  m.type = type;
  m.community = "public";
  m.requestId = 4711;
  m.variables = {{"1.3.6.1.2.1.1.7.0", snmp_value::kNull, ""}, {"1.3.6.1.2.1.1.5.0", snmp_value::kNull, ""},
                 {"1.3.6.1.9", snmp_value::kNull, ""}};
  return m;
}

// What the system-group handler writes when the middle variable is served and the others not.
SnmpMessage HandlerAnswer(const SnmpMessage& request) {
  SnmpMessage answer = request;
  answer.type = snmp_type::kResponseV2c;
  answer.variables[1] = {"1.3.6.1.2.1.1.6.0", snmp_value::kOctetString, "n/a"};
  answer.errorStatus = snmp_error::kNoSuchName;
  answer.errorIndex = 3;
  return answer;
}

TEST(PrepareSnmpAnswer, V1KeepsNoSuchNameAndAnswersInV1) {
  for (int type : {snmp_type::kGetV1, snmp_type::kGetNextV1, snmp_type::kSetV1}) {
    const auto request = Request(SnmpVersion::kV1, type);
    auto answer = HandlerAnswer(request);
    const auto written = answer;
    PrepareSnmpAnswer(request, answer);
    EXPECT_EQ(answer.type, snmp_type::kResponseV1);  // even where the handler wrote 66
    EXPECT_EQ(answer.errorStatus, snmp_error::kNoSuchName);
    EXPECT_EQ(answer.errorIndex, 3);
    EXPECT_EQ(answer.variables, written.variables);
  }
}

TEST(PrepareSnmpAnswer, V2cTurnsNoSuchNameIntoExceptions) {
  const auto next = Request(SnmpVersion::kV2c, snmp_type::kGetNextV2c);
  auto answer = HandlerAnswer(next);
  PrepareSnmpAnswer(next, answer);
  EXPECT_EQ(answer.type, snmp_type::kResponseV2c);
  EXPECT_EQ(answer.errorStatus, 0);
  EXPECT_EQ(answer.errorIndex, 0);
  EXPECT_EQ(answer.variables[0], (SnmpVariable{"1.3.6.1.2.1.1.7.0", snmp_value::kEndOfMibView, ""}));
  EXPECT_EQ(answer.variables[1], (SnmpVariable{"1.3.6.1.2.1.1.6.0", snmp_value::kOctetString, "n/a"}));
  EXPECT_EQ(answer.variables[2], (SnmpVariable{"1.3.6.1.9", snmp_value::kEndOfMibView, ""}));

  const auto get = Request(SnmpVersion::kV2c, snmp_type::kGetV2c);
  answer = HandlerAnswer(get);
  PrepareSnmpAnswer(get, answer);
  EXPECT_EQ(answer.errorStatus, 0);
  EXPECT_EQ(answer.variables[0].valueType, snmp_value::kNoSuchObject);
  EXPECT_EQ(answer.variables[1].valueType, snmp_value::kOctetString);
  EXPECT_EQ(answer.variables[2].valueType, snmp_value::kNoSuchObject);

  const auto set = Request(SnmpVersion::kV2c, snmp_type::kSetV2c);
  answer = HandlerAnswer(set);
  PrepareSnmpAnswer(set, answer);
  EXPECT_EQ(answer.errorStatus, snmp_error::kNotWritable);
  EXPECT_EQ(answer.errorIndex, 3);
  EXPECT_EQ(answer.variables[0].valueType, snmp_value::kNull);
}

TEST(PrepareSnmpAnswer, KeepsTheRequestsIdAndVersionWhateverTheHandlerWrote) {
  const auto request = Request(SnmpVersion::kV2c, snmp_type::kGetV2c);
  auto answer = request;
  answer.requestId = 1;
  answer.version = SnmpVersion::kV1;
  answer.type = snmp_type::kTrapV1;
  PrepareSnmpAnswer(request, answer);
  EXPECT_EQ(answer.requestId, 4711);
  EXPECT_EQ(answer.version, SnmpVersion::kV2c);
  EXPECT_EQ(answer.type, snmp_type::kResponseV2c);
  EXPECT_EQ(answer.variables, request.variables);  // no error: nothing mapped
}

}  // namespace
}  // namespace vantor
