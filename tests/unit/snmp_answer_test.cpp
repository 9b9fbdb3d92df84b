#include "platform/snmp/snmp_answer.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace vantor {
namespace {

SnmpMessage Request(SnmpVersion version, int type) {
  SnmpMessage m;
  m.version = version;
  m.type = type;
  m.community = "public";
  m.requestId = 4711;
  // Managers send NULL; any other value must be treated alike.
  m.variables = {{"1.3.6.1.2.1.1.7.0", snmp_value::kNull, ""}, {"1.3.6.1.2.1.1.5.0", snmp_value::kNull, ""},
                 {"1.3.6.1.9", snmp_value::kInteger, "5"}};
  return m;
}

// What the system-group handler writes when the middle variable is served and the others not;
// it also writes 66 whatever the version, and may leave id and version in any state.
SnmpMessage HandlerAnswer(const SnmpMessage& request) {
  SnmpMessage answer = request;
  answer.type = snmp_type::kResponseV2c;
  answer.requestId = 1;
  answer.variables[1] = {"1.3.6.1.2.1.1.6.0", snmp_value::kOctetString, "n/a"};
  answer.errorStatus = snmp_error::kNoSuchName;
  answer.errorIndex = 3;
  return answer;
}

// v1 answers keep noSuchName and its index: test_snmp_service.py sees them through net-snmp.
TEST(PrepareSnmpAnswer, ErrorsTakeTheFormsOfTheRequestsVersion) {
  const std::vector<std::pair<int, int>> exceptions = {{snmp_type::kGetV2c, snmp_value::kNoSuchObject},
                                                       {snmp_type::kGetNextV2c, snmp_value::kEndOfMibView}};
  for (const auto& [type, exception] : exceptions) {
    const auto request = Request(SnmpVersion::kV2c, type);
    auto answer = HandlerAnswer(request);
    PrepareSnmpAnswer(request, answer);
    EXPECT_EQ(std::tuple(answer.type, answer.requestId, answer.errorStatus, answer.errorIndex),
              std::tuple(snmp_type::kResponseV2c, 4711, 0, 0));
    EXPECT_EQ(answer.variables, (std::vector<SnmpVariable>{{"1.3.6.1.2.1.1.7.0", exception, ""},
                                                           {"1.3.6.1.2.1.1.6.0", snmp_value::kOctetString, "n/a"},
                                                           {"1.3.6.1.9", exception, ""}}));
  }

  const auto set = Request(SnmpVersion::kV2c, snmp_type::kSetV2c);
  auto answer = HandlerAnswer(set);
  PrepareSnmpAnswer(set, answer);
  EXPECT_EQ(std::pair(answer.errorStatus, answer.errorIndex), std::pair(snmp_error::kNotWritable, 3));
  EXPECT_EQ(answer.variables[0], set.variables[0]);

  // A v1 answer never carries a v2c-only code (RFC 3584). The console commands' badValue and
  // genErr in both versions are seen through net-snmp in test_snmp_service.py.
  const std::pair<int, int> statuses[] = {{snmp_error::kWrongValue, snmp_error::kBadValue},
                                          {snmp_error::kNotWritable, snmp_error::kNoSuchName},
                                          {14 /* commitFailed */, snmp_error::kGenErr}};
  for (const auto& [written, sent] : statuses) {
    const auto request = Request(SnmpVersion::kV1, snmp_type::kSetV1);
    answer = request;
    answer.errorStatus = written;
    answer.errorIndex = 2;
    PrepareSnmpAnswer(request, answer);
    EXPECT_EQ(std::pair(answer.errorStatus, answer.errorIndex), std::pair(sent, 2)) << written;
  }

  // Without an error nothing is mapped.
  const auto get = Request(SnmpVersion::kV2c, snmp_type::kGetV2c);
  answer = get;
  PrepareSnmpAnswer(get, answer);
  EXPECT_EQ(answer.variables, get.variables);
}

}  // namespace
}  // namespace vantor
