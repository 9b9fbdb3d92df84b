// SNMP requests through the whole service: the request handler hands set requests to the console
// commands with the service's own context.

#include "service_fixture.hpp"

#include "snmp/console_commands.hpp"

#include <filesystem>

namespace vantor::testing {
namespace {

class ServiceSnmpTest : public ServiceTest {
 protected:
  std::optional<SnmpMessage> Set(const std::string& oid, const std::string& value) {
    SnmpMessage request;
    request.version = SnmpVersion::kV2c;
    request.type = snmp_type::kSetV2c;
    request.community = kSetCommunity;
    request.requestId = 7;
    request.variables.push_back({oid, snmp_value::kOctetString, value});
    return snmp_->Deliver(io_, request);
  }
};

TEST_F(ServiceSnmpTest, ConsoleCommandIsRunAndAnswered) {
  Start();
  const auto answer = Set(kCommandOidConsole, "console");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->type, snmp_type::kResponseV2c);
  EXPECT_EQ(answer->errorStatus, 0);
  EXPECT_EQ(answer->variables.at(0).value, "console");
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "Debug" / "AgtConn.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "Debug" / "MobConn.txt"));
}

TEST_F(ServiceSnmpTest, CommandThatWaitsForItsEventIsAnsweredAndTheServiceGoesOn) {
  Start();
  // The missing slot ends the command with an event, whose pause suspends the handler.
  const auto answer = Set(kCommandOidDisconnect, "agentConnDisconnect-");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->variables.at(0).value, "agentConnDisconnect-");
  ASSERT_FALSE(Events().empty());
  EXPECT_EQ(Events().back().substr(0, 33), "1\tfrmVantorWebSrv_SnmpSetRequest\t");
  EXPECT_TRUE(Set(kCommandOidConsole, "console"));
}

}  // namespace
}  // namespace vantor::testing
