#include "snmp/snmp_requests.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;

const SnmpReadInputs kInputs{"2.4.1", 123400, "public"};

SnmpMessage Request(int type, std::vector<std::string> oids, std::string community = "public") {
  SnmpMessage m;
  m.version = type < snmp_type::kGetV2c ? SnmpVersion::kV1 : SnmpVersion::kV2c;
  m.type = type;
  m.community = std::move(community);
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

TEST(SnmpGetRequest, AnswersEachObjectUnderItsInstanceOrObjectOid) {
  for (const auto& expected : kSystemGroup) {
    const std::string objectOid = expected.oid.substr(0, expected.oid.size() - 2);
    for (const auto& asked : {expected.oid, objectOid}) {
      auto m = Request(snmp_type::kGetV2c, {asked});
      ASSERT_TRUE(SnmpGetRequest(m, kInputs));
      EXPECT_EQ(m.variables, std::vector<SnmpVariable>{expected}) << asked;
      EXPECT_EQ(m.errorStatus, 0);
    }
  }
  // The uptime is handed over whole, even beyond what time ticks can carry.
  auto m = Request(snmp_type::kGetV1, {"1.3.6.1.2.1.1.3.0"});
  ASSERT_TRUE(SnmpGetRequest(m, {"2.4.1", 429496729600, "public"}));
  EXPECT_EQ(m.variables[0].value, "429496729600");
}

TEST(SnmpGetRequest, MarksUnknownObjectsWithTheirPosition) {
  // Enterprise objects serve only set requests; instances other than .0 do not exist.
  for (const auto& oid : {"1.3.6.1.4.1.50404.1.18", "1.3.6.1.4.1.50404.1.18.1.0", "1.3.6.1.2.1.1",
                          "1.3.6.1.2.1.1.1.1", "1.3.6.1.2.1.1.8.0", ".1.3.6.1.2.1.1.1.0"}) {
    auto m = Request(snmp_type::kGetV1, {oid});
    const auto asked = m;
    ASSERT_TRUE(SnmpGetRequest(m, kInputs));
    EXPECT_EQ(m.errorStatus, snmp_error::kNoSuchName) << oid;
    EXPECT_EQ(m.errorIndex, 1);
    EXPECT_EQ(m.variables, asked.variables);
  }

  auto m = Request(snmp_type::kGetV1, {"1.3.6.1.2.1.1.9.0", "1.3.6.1.2.1.1.1.0", "1.3.6.1.4.1.50404.1.18.1.0"});
  ASSERT_TRUE(SnmpGetRequest(m, kInputs));
  EXPECT_EQ(m.variables[0].valueType, snmp_value::kNull);
  EXPECT_EQ(m.variables[1], kSystemGroup[0]);
  EXPECT_EQ(m.variables[2].valueType, snmp_value::kNull);
  EXPECT_EQ(m.errorStatus, snmp_error::kNoSuchName);
  EXPECT_EQ(m.errorIndex, 3);  // the last unknown one
}

TEST(SnmpReadRequests, WrongCommunityLeavesTheMessageAndIsNotAnswered) {
  for (const auto& community : {"Public", "", "public ", "marigolds"}) {
    auto get = Request(snmp_type::kGetV1, {"1.3.6.1.2.1.1.1.0", "1.3.6.1.9"}, community);
    const auto asked = get;
    EXPECT_FALSE(SnmpGetRequest(get, kInputs)) << community;
    EXPECT_EQ(get, asked);
    auto next = Request(snmp_type::kGetNextV2c, {"1.3.6.1.2.1.1"}, community);
    const auto askedNext = next;
    EXPECT_FALSE(SnmpGetNextRequest(next, kInputs)) << community;
    EXPECT_EQ(next, askedNext);
  }
}

TEST(SnmpGetNextRequest, FollowsLexicalOrder) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"1.3.6.1.2.1.1.1", 0}, {"1.3.6.1.2.1.1", 0}, {"1.3.6.1.2.1", 0}, {"1.3", 0},
      {"0.0", 0},             {"1.3.6.1.2.1.1.0.7", 0},
      {"1.3.6.1.2.1.1.1.0", 1}, {"1.3.6.1.2.1.1.2", 1},
      {"1.3.6.1.2.1.1.2.0", 2}, {"1.3.6.1.2.1.1.2.4294967295", 2}, {"1.3.6.1.2.1.1.3", 2},
      {"1.3.6.1.2.1.1.3.0", 3}, {"1.3.6.1.2.1.1.4", 3},
      {"1.3.6.1.2.1.1.4.0", 4}, {"1.3.6.1.2.1.1.5", 4},
      {"1.3.6.1.2.1.1.5.0", 5}, {"1.3.6.1.2.1.1.6", 5},
      {"1.3.6.1.2.1.1.6.0", 6}, {"1.3.6.1.2.1.1.6.1.2", 6}, {"1.3.6.1.2.1.1.7", 6},
  };
  for (const auto& [asked, index] : cases) {
    auto m = Request(snmp_type::kGetNextV1, {asked});
    ASSERT_TRUE(SnmpGetNextRequest(m, kInputs));
    EXPECT_EQ(m.variables, std::vector<SnmpVariable>{kSystemGroup[index]}) << asked;
    EXPECT_EQ(m.errorStatus, 0) << asked;
  }
  // Past the end; "1.3.6.1.2.1.1.10" sorts after .7 by number although before it as text.
  for (const auto& asked : {"1.3.6.1.2.1.1.7.0", "1.3.6.1.2.1.1.10", "1.3.6.1.2.1.2", "1.3.6.1.4.1.50404",
                            "2.0", "not an oid"}) {
    auto m = Request(snmp_type::kGetNextV2c, {"1.3.6.1.2.1.1.5.0", asked});
    ASSERT_TRUE(SnmpGetNextRequest(m, kInputs));
    EXPECT_EQ(m.variables[0], kSystemGroup[5]);
    EXPECT_EQ(m.variables[1].oid, asked);
    EXPECT_EQ(m.errorStatus, snmp_error::kNoSuchName) << asked;
    EXPECT_EQ(m.errorIndex, 2);
  }
}

TEST(SnmpUptime, CountsWholeSecondsAndNeverGoesNegative) {
  const SystemTime start{std::chrono::hours(1000)};
  EXPECT_EQ(SnmpUptimeHundredths(start, start + 90990ms), 9000u);
  EXPECT_EQ(SnmpUptimeHundredths(start, start + 300 * 24h), 2592000000u);
  EXPECT_EQ(SnmpUptimeHundredths(start, start - 5s), 0u);
}

}  // namespace
}  // namespace vantor

namespace vantor {
namespace {

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

TEST_F(ConnectionObjectsTest, GetServesConnectedSlotsOnly) {
  auto m = Request(snmp_type::kGetV2c, {std::string(kAgents) + ".1.3", std::string(kAgents) + ".8.3",
                                        std::string(kAgents) + ".1.4"});
  ASSERT_TRUE(SnmpGetRequest(m, inputs));
  EXPECT_EQ(m.variables[0].value, "03000003");
  EXPECT_EQ(m.variables[1], (SnmpVariable{std::string(kAgents) + ".8.3", snmp_value::kInteger, "90"}));
  EXPECT_EQ(m.errorStatus, snmp_error::kNoSuchName);  // slot 4 is free
  EXPECT_EQ(m.errorIndex, 3);
}

TEST_F(ConnectionObjectsTest, WalkOfTheBranchListsColumnsThenSlotsAndEnds) {
  std::vector<std::string> seen;
  std::string oid = "1.3.6.1.4.1.50404.1.18.10";
  for (;;) {
    auto m = Request(snmp_type::kGetNextV2c, {oid});
    ASSERT_TRUE(SnmpGetNextRequest(m, inputs));
    if (m.errorStatus != 0) break;
    oid = m.variables[0].oid;
    seen.push_back(oid);
  }
  ASSERT_EQ(seen.size(), 11u + 9u);  // every agent column of slot 3, every mobile column of slot 2
  EXPECT_EQ(seen.front(), std::string(kAgents) + ".1.3");
  EXPECT_EQ(seen[11], "1.3.6.1.4.1.50404.1.18.10.2.1.2");
}

TEST_F(ConnectionObjectsTest, SystemGroupWalkStillEndsAfterSysServices) {
  auto m = Request(snmp_type::kGetNextV2c, {"1.3.6.1.2.1.1.7.0"});
  ASSERT_TRUE(SnmpGetNextRequest(m, inputs));
  EXPECT_EQ(m.errorStatus, snmp_error::kNoSuchName);
}

}  // namespace
}  // namespace vantor
