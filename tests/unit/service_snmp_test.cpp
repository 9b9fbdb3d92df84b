// SNMP requests through the whole service: the request handler hands set requests to the console
// commands with the service's own context.

#include "service_fixture.hpp"

#include "snmp/console_commands.hpp"

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

// Regression: every set request used to abort the service (the console context was freed twice in
// the handler's coroutine frame). This one also suspends the handler on its event's pause; the
// commands' effects are checked end to end by test_snmp_service.py.
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
