#include "platform/snmp/snmp_ber.hpp"
#include "snmp/snmp_traps.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

const SendStatus kMailStatus{"Mr Tavo (1042)", "No Keep-Alive Messages From Agent. Probably Due To Broken Connection.",
                             -3, "Send Failed", "MailSMTP"};

// The application event trap's variables are checked through net-snmp's trap receiver.
TEST(SnmpTraps, SendStatusCarriesItsVariablesUnderItsEnterprise) {
  const SnmpMessage trap = BuildSendStatusTrap(kMailStatus, 123400, "127.0.0.1");
  const std::string status = "1.3.6.1.4.1.50404.1.18.1.7.";
  EXPECT_EQ(std::tuple(trap.type, trap.enterprise, trap.genericTrap, trap.specificTrap, trap.timeStamp),
            std::tuple(snmp_type::kTrapV1, std::string("1.3.6.1.4.1.50404.1.18.2"), 6, 5, 123400u));
  EXPECT_EQ(trap.variables, (std::vector<SnmpVariable>{{status + "1", snmp_value::kOctetString, "Mr Tavo (1042)"},
                                                       {status + "2", snmp_value::kOctetString, kMailStatus.subject},
                                                       {status + "3", snmp_value::kInteger, "2"},
                                                       {status + "4", snmp_value::kInteger, "-3"},
                                                       {status + "5", snmp_value::kOctetString, "Send Failed"}}));
  EXPECT_TRUE(EncodeSnmpMessage(trap));
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
