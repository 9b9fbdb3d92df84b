#include "snmp/snmp_requests.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;

const SnmpReadInputs kInputs{"2.4.1", 123400, "public"};
constexpr int kUnknown = -1;

SnmpMessage Request(int type, std::vector<std::string> oids) {
  SnmpMessage m;
  m.version = type < snmp_type::kGetV2c ? SnmpVersion::kV1 : SnmpVersion::kV2c;
  m.type = type;
  m.community = "public";
  m.requestId = 99;
  for (auto& oid : oids) m.variables.push_back({std::move(oid), snmp_value::kNull, ""});
  return m;
}

const std::vector<SnmpVariable> kSystemGroup = {
    {"1.3.6.1.2.1.1.1.0", snmp_value::kOctetString, "Vantor Web, ver 2.4.1"},
    {"1.3.6.1.2.1.1.2.0", snmp_value::kObjectId, "1.3.6.1.4.1.50404.1.18"},
    {"1.3.6.1.2.1.1.3.0", snmp_value::kTimeTicks, "123400"},
    {"1.3.6.1.2.1.1.4.0", snmp_value::kOctetString, "n/a"},
    {"1.3.6.1.2.1.1.5.0", snmp_value::kOctetString, "n/a"},
    {"1.3.6.1.2.1.1.6.0", snmp_value::kOctetString, "n/a"},
    {"1.3.6.1.2.1.1.7.0", snmp_value::kInteger, "72"},
};

// Asks for `asked` after a known object; `index` is the system object expected, or kUnknown for
// a noSuchName at position 2 with the variable left as asked.
void ExpectAnswer(bool next, const std::string& asked, int index) {
  auto m = Request(next ? snmp_type::kGetNextV1 : snmp_type::kGetV2c,
                   {next ? "1.3.6.1.2.1.1.5.0" : "1.3.6.1.2.1.1.6.0", asked});
  ASSERT_TRUE(next ? SnmpGetNextRequest(m, kInputs) : SnmpGetRequest(m, kInputs));
  EXPECT_EQ(m.variables[0], kSystemGroup[5]);
  if (index == kUnknown) {
    EXPECT_EQ(m.variables[1], (SnmpVariable{asked, snmp_value::kNull, ""})) << asked;
    EXPECT_EQ(std::pair(m.errorStatus, m.errorIndex), std::pair(int(snmp_error::kNoSuchName), 2)) << asked;
  } else {
    EXPECT_EQ(m.variables[1], kSystemGroup[index]) << asked;
    EXPECT_EQ(m.errorStatus, 0) << asked;
  }
}

TEST(SnmpGetRequest, AnswersEachObjectUnderItsInstanceOrObjectOidAndNothingElse) {
  for (int i = 0; i < 7; ++i) {
    ExpectAnswer(false, kSystemGroup[i].oid, i);
    ExpectAnswer(false, kSystemGroup[i].oid.substr(0, kSystemGroup[i].oid.size() - 2), i);
  }
  // Enterprise objects serve only set requests; instances other than .0 do not exist.
  for (const auto& oid : {"1.3.6.1.4.1.50404.1.18", "1.3.6.1.4.1.50404.1.18.1.0", "1.3.6.1.2.1.1",
                          "1.3.6.1.2.1.1.1.1", "1.3.6.1.2.1.1.8.0", ".1.3.6.1.2.1.1.1.0"}) {
    ExpectAnswer(false, oid, kUnknown);
  }
  // The last unknown position is the error index; the uptime is handed over whole, even beyond
  // what time ticks can carry.
  auto m = Request(snmp_type::kGetV1, {"1.3.6.1.2.1.1.9.0", "1.3.6.1.2.1.1.3.0", "1.3.6.1.4.1.50404.1.18.1.0"});
  ASSERT_TRUE(SnmpGetRequest(m, {"2.4.1", 429496729600, "public"}));
  EXPECT_EQ(m.variables[1].value, "429496729600");
  EXPECT_EQ(m.errorIndex, 3);
}

TEST(SnmpGetNextRequest, FollowsLexicalOrderAndEndsAfterTheGroup) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"1.3.6.1.2.1.1.1", 0}, {"1.3.6.1.2.1.1", 0}, {"1.3.6.1.2.1", 0}, {"1.3", 0},
      {"0.0", 0},             {"1.3.6.1.2.1.1.0.7", 0},
      {"1.3.6.1.2.1.1.1.0", 1}, {"1.3.6.1.2.1.1.2", 1},
      {"1.3.6.1.2.1.1.2.0", 2}, {"1.3.6.1.2.1.1.2.4294967295", 2}, {"1.3.6.1.2.1.1.3", 2},
      {"1.3.6.1.2.1.1.3.0", 3}, {"1.3.6.1.2.1.1.4", 3},
      {"1.3.6.1.2.1.1.4.0", 4}, {"1.3.6.1.2.1.1.5", 4},
      {"1.3.6.1.2.1.1.5.0", 5}, {"1.3.6.1.2.1.1.6", 5},
      {"1.3.6.1.2.1.1.6.0", 6}, {"1.3.6.1.2.1.1.6.1.2", 6}, {"1.3.6.1.2.1.1.7", 6},
      // "1.3.6.1.2.1.1.10" sorts after .7 by number although before it as text.
      {"1.3.6.1.2.1.1.7.0", kUnknown}, {"1.3.6.1.2.1.1.10", kUnknown}, {"1.3.6.1.2.1.2", kUnknown},
      {"1.3.6.1.4.1.50404", kUnknown}, {"2.0", kUnknown}, {"not an oid", kUnknown},
  };
  for (const auto& [asked, index] : cases) ExpectAnswer(true, asked, index);
}

TEST(SnmpUptime, CountsWholeSecondsAndNeverGoesNegative) {
  const SystemTime start{std::chrono::hours(1000)};
  EXPECT_EQ(SnmpUptimeHundredths(start, start + 90990ms), 9000u);
  EXPECT_EQ(SnmpUptimeHundredths(start, start + 300 * 24h), 2592000000u);
  EXPECT_EQ(SnmpUptimeHundredths(start, start - 5s), 0u);
}

constexpr char kAgents[] = "1.3.6.1.4.1.50404.1.18.10.1";

// Customer slot 3 and mobile slot 2 connected; every other slot free.
struct ConnectionObjectsTest : ::testing::Test {
  ConnectionTables tables;
  SnmpReadInputs inputs{"2.4.1", 0, "public", &tables};
  ConnectionObjectsTest() {
    tables.LoadCustomer(3, true, "03000003", "");
    tables.RegisterAgent(3, {{ServerIndex::kPlain, 7}, "0.0.0.0", FreeRecordStartTime(), ""});
    for (int i = 0; i < 3; ++i) tables.RecordKeepAlive(3, 30);
    tables.RegisterMobile(2, "03000003", {{ServerIndex::kPlain, 8}, "0.0.0.0", FreeRecordStartTime(), ""}, "");
  }
};

TEST_F(ConnectionObjectsTest, ServedForConnectedSlotsOnlyAndNeverExtendTheSystemGroup) {
  auto m = Request(snmp_type::kGetV2c, {std::string(kAgents) + ".1.3", std::string(kAgents) + ".8.3",
                                        std::string(kAgents) + ".1.4"});
  ASSERT_TRUE(SnmpGetRequest(m, inputs));
  EXPECT_EQ(m.variables[0].value, "03000003");
  EXPECT_EQ(m.variables[1], (SnmpVariable{std::string(kAgents) + ".8.3", snmp_value::kInteger, "90"}));
  EXPECT_EQ(std::pair(m.errorStatus, m.errorIndex), std::pair(int(snmp_error::kNoSuchName), 3));  // slot 4 is free

  std::vector<std::string> walked;
  for (std::string oid = "1.3.6.1.4.1.50404.1.18.10";;) {
    auto next = Request(snmp_type::kGetNextV2c, {oid});
    ASSERT_TRUE(SnmpGetNextRequest(next, inputs));
    if (next.errorStatus != 0) break;
    walked.push_back(oid = next.variables[0].oid);
  }
  ASSERT_EQ(walked.size(), 11u + 9u);  // every agent column of slot 3, every mobile column of slot 2
  EXPECT_EQ(walked.front(), std::string(kAgents) + ".1.3");
  EXPECT_EQ(walked[11], "1.3.6.1.4.1.50404.1.18.10.2.1.2");
  auto past = Request(snmp_type::kGetNextV2c, {"1.3.6.1.2.1.1.7.0"});
  ASSERT_TRUE(SnmpGetNextRequest(past, inputs));
  EXPECT_EQ(past.errorStatus, snmp_error::kNoSuchName);
}

}  // namespace
}  // namespace vantor
