#include "platform/snmp/snmp_ber.hpp"
#include "snmp/snmp_traps.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

const SendStatus kMailStatus{"Mr Tavo (1042)", "No Keep-Alive Messages From Agent. Probably Due To Broken Connection.",
                             -3, "Send Failed", "MailSMTP"};

SnmpMessage EnterpriseTrap(std::string community, std::string enterprise, int specific, std::uint32_t time,
                           std::string agent, std::vector<SnmpVariable> variables) {
  SnmpMessage m;
  m.version = SnmpVersion::kV1;
  m.type = snmp_type::kTrapV1;
  m.community = std::move(community);
  m.enterprise = std::move(enterprise);
  m.genericTrap = 6;
  m.specificTrap = specific;
  m.timeStamp = time;
  m.agentAddress = std::move(agent);
  m.variables = std::move(variables);
  return m;
}

TEST(SnmpTraps, CarryTheirVariablesUnderTheirEnterpriseAndCanBeEncoded) {
  const std::string status = "1.3.6.1.4.1.50404.1.18.1.7.";
  const auto sendStatus = EnterpriseTrap(
      "tidewalk", "1.3.6.1.4.1.50404.1.18.2", 5, 123400, "127.0.0.1",
      {{status + "1", snmp_value::kOctetString, "Mr Tavo (1042)"},
       {status + "2", snmp_value::kOctetString, kMailStatus.subject},
       {status + "3", snmp_value::kInteger, "2"},
       {status + "4", snmp_value::kInteger, "-3"},
       {status + "5", snmp_value::kOctetString, "Send Failed"}});
  const std::string event = "1.3.6.1.4.1.50404.2.1.1.";
  const auto appEvent = EnterpriseTrap(
      "trapcomm", "1.3.6.1.4.1.50404.2.1.2", 1, 500, "10.0.0.5",
      {{event + "1", snmp_value::kOctetString, "10.0.0.5"},
       {event + "2", snmp_value::kOctetString, "Vantor Web"},
       {event + "3", snmp_value::kOctetString, "frmVantorWebSrv"},
       {event + "4", snmp_value::kOctetString, "dartSvc_State"},
       {event + "5", snmp_value::kOctetString, std::string(240, 'x')},
       {event + "6", snmp_value::kInteger, "1"}});
  const EventTrapRecord record{"frmVantorWebSrv", "dartSvc_State", std::string(300, 'x'), 1};
  for (const auto& [built, expected] :
       {std::pair(BuildSendStatusTrap(kMailStatus, 123400, "127.0.0.1"), sendStatus),
        std::pair(BuildAppEventTrap(record, "trapcomm", 500, "10.0.0.5"), appEvent)}) {
    EXPECT_EQ(built, expected);
    EXPECT_TRUE(EncodeSnmpMessage(built));
  }
}

TEST(SnmpTraps, ChannelNumberAndCappedTimeStamp) {
  for (const auto& [channel, number] : {std::pair("MobilePO", "1"), {"MailSMTP", "2"}, {"mobilepo", "0"}, {"", "0"}}) {
    auto status = kMailStatus;
    status.channel = channel;
    EXPECT_EQ(BuildSendStatusTrap(status, 0, "127.0.0.1").variables[2].value, number) << channel;
  }
  for (const auto& [uptime, stamp] : {std::pair<std::uint64_t, std::uint32_t>(0, 0), {2147483646, 2147483646},
                                      {2147483647, 2147483647}, {4294967296ull * 100, 2147483647}}) {
    EXPECT_EQ(SnmpTrapTimeStamp(uptime), stamp) << uptime;
    EXPECT_EQ(BuildSendStatusTrap(kMailStatus, uptime, "127.0.0.1").timeStamp, stamp);
    EXPECT_EQ(BuildAppEventTrap({}, "c", uptime, "127.0.0.1").timeStamp, stamp);
  }
}

TEST(SnmpTraps, EventTextIsCutByCharactersNotBytes) {
  std::string accented;
  for (int i = 0; i < 300; ++i) accented += "\xc3\xa9";  // é
  const std::vector<std::tuple<std::string, std::size_t, std::string>> cases = {
      {accented, 240, accented.substr(0, 480)},
      {"ab\xe2\x82\xac" "cd", 3, "ab\xe2\x82\xac"},  // € kept whole
      {"short", 240, "short"},
      {std::string(240, 'y'), 240, std::string(240, 'y')},
      {"a\x80" "bc", 2, "a\x80"},  // a stray continuation byte counts alone
  };
  for (const auto& [text, count, first] : cases) EXPECT_EQ(FirstCharacters(text, count), first) << text;
}

}  // namespace
}  // namespace vantor
