#include "fakes/fake_snmp_agent.hpp"
#include "platform/snmp/snmp_ber.hpp"
#include "snmp/snmp_traps.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

const SendStatus kMailStatus{"Mr Tavo (1042)", "No Keep-Alive Messages From Agent. Probably Due To Broken Connection.",
                             -3, "Send Failed", "MailSMTP"};

TEST(SendStatusTrap, CarriesTheFiveVariablesUnderItsEnterprise) {
  const auto trap = BuildSendStatusTrap(kMailStatus, 123400, "127.0.0.1");
  SnmpMessage expected;
  expected.version = SnmpVersion::kV1;
  expected.type = snmp_type::kTrapV1;
  expected.community = "tidewalk";
  expected.enterprise = "1.3.6.1.4.1.50404.1.18.2";
  expected.genericTrap = 6;
  expected.specificTrap = 5;
  expected.timeStamp = 123400;
  expected.agentAddress = "127.0.0.1";
  expected.variables = {
      {"1.3.6.1.4.1.50404.1.18.1.7.1", snmp_value::kOctetString, "Mr Tavo (1042)"},
      {"1.3.6.1.4.1.50404.1.18.1.7.2", snmp_value::kOctetString, kMailStatus.subject},
      {"1.3.6.1.4.1.50404.1.18.1.7.3", snmp_value::kInteger, "2"},
      {"1.3.6.1.4.1.50404.1.18.1.7.4", snmp_value::kInteger, "-3"},
      {"1.3.6.1.4.1.50404.1.18.1.7.5", snmp_value::kOctetString, "Send Failed"},
  };
  EXPECT_EQ(trap, expected);
  const auto bytes = EncodeSnmpMessage(trap);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(DecodeSnmpMessage(*bytes), expected);

  auto push = kMailStatus;
  push.channel = "MobilePO";
  EXPECT_EQ(BuildSendStatusTrap(push, 0, "127.0.0.1").variables[2].value, "1");
  push.channel = "mobilepo";
  EXPECT_EQ(BuildSendStatusTrap(push, 0, "127.0.0.1").variables[2].value, "0");
}

TEST(TrapTimeStamp, IsCappedJustBelowTwoToThe31) {
  EXPECT_EQ(SnmpTrapTimeStamp(0), 0u);
  EXPECT_EQ(SnmpTrapTimeStamp(2147483646), 2147483646u);
  EXPECT_EQ(SnmpTrapTimeStamp(2147483647), 2147483647u);
  EXPECT_EQ(SnmpTrapTimeStamp(4294967296ull * 100), 2147483647u);
  EXPECT_EQ(BuildSendStatusTrap(kMailStatus, 2592000000u, "127.0.0.1").timeStamp, 2147483647u);
  EXPECT_EQ(BuildAppEventTrap({}, "c", 2592000000u, "127.0.0.1").timeStamp, 2147483647u);
}

TEST(AppEventTrap, CarriesTheSixVariablesWithTheTextCut) {
  const EventTrapRecord event{"frmVantorWebSrv", "dartSvc_State", std::string(300, 'x'), 1};
  const auto trap = BuildAppEventTrap(event, "trapcomm", 500, "10.0.0.5");
  EXPECT_EQ(trap.type, snmp_type::kTrapV1);
  EXPECT_EQ(trap.community, "trapcomm");
  EXPECT_EQ(trap.enterprise, "1.3.6.1.4.1.50404.2.1.2");
  EXPECT_EQ(trap.genericTrap, 6);
  EXPECT_EQ(trap.specificTrap, 1);
  EXPECT_EQ(trap.timeStamp, 500u);
  EXPECT_EQ(trap.agentAddress, "10.0.0.5");
  const std::vector<SnmpVariable> expected = {
      {"1.3.6.1.4.1.50404.2.1.1.1", snmp_value::kOctetString, "10.0.0.5"},
      {"1.3.6.1.4.1.50404.2.1.1.2", snmp_value::kOctetString, "Vantor Web"},
      {"1.3.6.1.4.1.50404.2.1.1.3", snmp_value::kOctetString, "frmVantorWebSrv"},
      {"1.3.6.1.4.1.50404.2.1.1.4", snmp_value::kOctetString, "dartSvc_State"},
      {"1.3.6.1.4.1.50404.2.1.1.5", snmp_value::kOctetString, std::string(240, 'x')},
      {"1.3.6.1.4.1.50404.2.1.1.6", snmp_value::kInteger, "1"},
  };
  EXPECT_EQ(trap.variables, expected);
  EXPECT_TRUE(EncodeSnmpMessage(trap));
}

TEST(AppEventTrap, CutsByCharactersNotBytes) {
  std::string accented;
  for (int i = 0; i < 300; ++i) accented += "\xc3\xa9";  // é
  EXPECT_EQ(FirstCharacters(accented, 240), accented.substr(0, 480));
  EXPECT_EQ(FirstCharacters("ab\xe2\x82\xac" "cd", 3), "ab\xe2\x82\xac");  // € kept whole
  EXPECT_EQ(FirstCharacters("short", 240), "short");
  EXPECT_EQ(FirstCharacters(std::string(240, 'y'), 240), std::string(240, 'y'));
  EXPECT_EQ(FirstCharacters("a\x80" "bc", 2), "a\x80");  // a stray continuation byte counts alone
}

TEST(TrapSenders, SendOnlyWhenEnabledAndStarted) {
  testing::FakeSnmpAgent agent;
  ASSERT_FALSE(agent.Start(161, "127.0.0.1"));
  EXPECT_TRUE(ForwardSendStatus(agent, false, true, kMailStatus, 100));
  EXPECT_TRUE(ForwardSendStatus(agent, true, false, kMailStatus, 100));
  EXPECT_TRUE(SendAppEventTrap(agent, false, true, "10.1.1.1", 1162, "c", {}, 100));
  EXPECT_TRUE(SendAppEventTrap(agent, true, false, "10.1.1.1", 1162, "c", {}, 100));
  EXPECT_TRUE(agent.traps.empty());

  agent.acceptTraps = false;
  EXPECT_FALSE(ForwardSendStatus(agent, true, true, kMailStatus, 100));
  agent.acceptTraps = true;
  agent.acceptDestinations = false;
  EXPECT_FALSE(SendAppEventTrap(agent, true, true, "10.1.1.1", 1162, "c", {}, 100));
  EXPECT_TRUE(agent.traps.empty());
}

TEST(TrapSenders, StatusGoesToLocalPort162AndEventsToTheTrapHost) {
  testing::FakeSnmpAgent agent;
  ASSERT_FALSE(agent.Start(1161, "192.168.7.2"));
  agent.AddTrapDestination("10.9.9.9:9162");  // left over from an earlier trap

  ASSERT_TRUE(SendAppEventTrap(agent, true, true, "10.1.1.1", 1162, "comm", {"m", "p", "t", 3}, 4200));
  ASSERT_TRUE(ForwardSendStatus(agent, true, true, kMailStatus, 4200));
  ASSERT_EQ(agent.traps.size(), 2u);
  EXPECT_EQ(agent.traps[0].destinations, std::vector<std::string>{"10.1.1.1:1162"});
  EXPECT_EQ(agent.traps[0].message, BuildAppEventTrap({"m", "p", "t", 3}, "comm", 4200, "192.168.7.2"));
  EXPECT_EQ(agent.traps[1].destinations, std::vector<std::string>{"127.0.0.1:162"});
  EXPECT_EQ(agent.traps[1].message, BuildSendStatusTrap(kMailStatus, 4200, "192.168.7.2"));
}

}  // namespace
}  // namespace vantor
