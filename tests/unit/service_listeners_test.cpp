#include "service_fixture.hpp"
#include "core/procedure_error.hpp"
#include "snmp/console_commands.hpp"
#include "snmp/snmp_traps.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

namespace vantor::testing {
namespace {

using namespace std::chrono_literals;

const std::string kOpenFailed = "1\tmodVantorWebSrv_ServiceOpen\t";

// A status column's text after its date and time.
std::string AfterDate(const std::string& status) {
  EXPECT_TRUE(status.size() > 19 && status[4] == '-' && status[10] == ' ' && status[13] == ':') << status;
  return status.size() > 19 ? status.substr(19) : status;
}

TEST_F(ServiceTest, ListenersStartAndReportWhereTheyListen) {
  dir_.Sql("UPDATE General_Settings SET SnmpIpAddr = '0.0.0.0', SnmpPort = 1161, WsIpAddr = '0.0.0.0', "
           "WsPort = 9080, WssIpAddr = '127.0.0.1', WssPort = 9443");
  Start();
  EXPECT_EQ(snmp_->LocalAddress(), "127.0.0.1");  // every address means loopback here
  EXPECT_EQ(Setting("SnmpIpAddr"), "127.0.0.1");
  EXPECT_EQ(AfterDate(Setting("SnmpStatus")), "\r\nSNMP Agent Started\r\nIP=127.0.0.1\r\nPort=1161");
  EXPECT_EQ(AfterDate(Setting("WsStatus")), "\r\nWS Server Started\r\nIP=0.0.0.0\r\nPort=9080");
  EXPECT_EQ(AfterDate(Setting("WssStatus")), "\r\nWSS Server Started\r\nIP=127.0.0.1\r\nPort=9443");
  EXPECT_TRUE(wss_->tls.has_value());  // a certificate made at start
  EXPECT_EQ(ws_->configured, (std::vector<std::string>{"MaxOpeningPerAddress=16"}));
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: SNMP 127.0.0.1:1161, WS 0.0.0.0:9080, "
                                                   "WSS 127.0.0.1:9443", "READY"}));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "CertInfo_Server.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "Services.txt"));  // debug off
}

TEST_F(ServiceTest, SnmpPortInUseLeavesTrapsOffAndTheServersStart) {
  dir_.Sql("UPDATE General_Settings SET SendAppEvents = 1");
  service();
  snmp_->startResult = std::make_error_code(std::errc::address_in_use);
  Start();
  EXPECT_EQ(AfterDate(Setting("SnmpStatus")), "\r\nFailed to Start\r\nPort was in use");
  EXPECT_THAT(Events(), ::testing::Contains(kOpenFailed + "SNMP Agent Port was in use"));
  EXPECT_TRUE(ws_->Listening());
  EXPECT_TRUE(wss_->Listening());
  // The service manager hears what is up only once the servers have started, and the journal
  // has the reason of the failure.
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: WS 127.0.0.1:8080, WSS 127.0.0.1:8443; "
                                                   "failed: SNMP 127.0.0.1:16161: Address already in use",
                                                   "READY"}));
  EXPECT_EQ(host_.logged, (std::vector<std::string>{"<3>modVantorWebSrv_ServiceOpen: SNMP Agent Port was in use\n",
                                                    "<3>SNMP listener 127.0.0.1:16161 failed: Address already in use\n"}));
  EXPECT_EQ(service().exitCode(), 0);
  service().snmp().ForwardSendStatus("Mr Tavo", "Daily Test Message", 1, "PUSH: ok", "MobilePO");
  EXPECT_TRUE(snmp_->traps.empty());  // not even for the start event
}

TEST_F(ServiceTest, UnusableAddressesAndCertificatesEndTheService) {
  dir_.Sql("UPDATE General_Settings SET SnmpIpAddr = 'not-an-address', WsIpAddr = '10.1.2.3', "
           "CertSubject = 'nobody.example', CertType = 'User', CertStore = 'My'");
  service();
  ws_->listenError = std::make_error_code(std::errc::address_not_available);
  Start();
  EXPECT_EQ(AfterDate(Setting("SnmpStatus")), "\r\nFailed to Start\r\nIP Address is not valid");
  EXPECT_EQ(AfterDate(Setting("WsStatus")), "\r\nFailed to Start\r\n");
  EXPECT_EQ(Setting("WsIpAddr"), "0.0.0.0");  // the next start listens on every address
  EXPECT_EQ(Setting("WssIpAddr"), "127.0.0.1");  // a bad certificate keeps the address
  const std::string certFailure =
      "Server certificate: certificate store folder " + (dir_.path() / "Cert" / "My").string() + " not found";
  const std::string failures = "SNMP not-an-address:16161: not an IP address; WS 10.1.2.3:8080: Cannot assign "
                               "requested address; WSS 127.0.0.1:8443: " + certFailure;
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          kOpenFailed + "SNMP Agent IP Address is not valid",
                          kOpenFailed + "WS Server IP Address is not valid",
                          kOpenFailed + "WSS listener 127.0.0.1:8443 failed: " + certFailure,
                          "1\tfrmVantorWebSrv_dartSvc_State\tService Ended: No Listener Could Start (" + failures + ")"}));
  // Nothing listens: the rewritten address is a warning, and the process ends with a failure.
  EXPECT_THAT(host_.logged,
              ::testing::Contains("<4>WsIpAddr changed from '10.1.2.3' to '0.0.0.0' for the next start\n"));
  std::string listed = failures;
  std::replace(listed.begin(), listed.end(), ';', ',');
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none; failed: " + listed}));
  EXPECT_EQ(service().exitCode(), 1);
  EXPECT_EQ(stopped_, 1);
}

// The answers themselves are read by net-snmp's tools in the integration tests.
TEST_F(ServiceTest, ListenersReachableFromOtherHostsWarnOfTheirDefaultsAndUptimeCountsFromTheStart) {
  dir_.Sql("UPDATE General_Settings SET SnmpIpAddr = '10.1.2.3', WssIpAddr = '0.0.0.0'");
  Start();
  EXPECT_EQ(host_.logged, (std::vector<std::string>{
                              "<4>SNMP listener 10.1.2.3:16161 takes the default read community 'public' from other "
                              "hosts (set SnmpGetComm)\n",
                              "<4>SNMP listener 10.1.2.3:16161 takes console commands with the default set community "
                              "from other hosts (set SnmpSetComm)\n",
                              "<4>WSS listener 0.0.0.0:8443 serves other hosts a self-signed certificate made at this "
                              "start, which clients cannot verify (set CertSubject)\n"}));
  EXPECT_TRUE(snmp_->traps.empty());  // SendAppEvents is off
  clock_.Advance(12s);
  SnmpMessage get;
  get.type = snmp_type::kGetV1;
  get.community = "public";
  get.variables = {{"1.3.6.1.2.1.1.3.0", snmp_value::kNull, ""}};
  const auto answer = snmp_->Deliver(io_, get);
  ASSERT_TRUE(answer);
  // Whole seconds since the start time (taken before the listeners' pauses) times 100.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(clock_.Now() - service().run().startTime);
  EXPECT_GE(seconds.count(), 12);
  EXPECT_EQ(answer->variables[0].value, std::to_string(seconds.count() * 100));
}

using Commands = std::vector<std::pair<std::string, std::string>>;

// What the commands do to agents and mobiles is driven through net-snmp by the integration tests;
// here: how a request of several variables is answered.
TEST_F(ServiceTest, ConsoleCommandsNameTheFailedVariableAndStopThere) {
  dir_.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES ('01000001', 1, 'Alpha Ltd')");
  Start();
  asio::co_spawn(io_, ws_->Connect(3, "/agt?01000001 p__________"), asio::detached);
  Run();
  ws_->sent.clear();
  // The answer's error status and index; (-1, -1) when there is no answer.
  auto error = [&](const Commands& commands) {
    SnmpMessage m;
    m.type = snmp_type::kSetV1;
    m.community = kDefaultSetCommunity;
    for (auto& [oid, value] : commands) m.variables.push_back({oid, snmp_value::kOctetString, value});
    const auto answer = snmp_->Deliver(io_, m);
    if (!answer) return std::pair(-1, -1);
    EXPECT_EQ(answer->variables[0], m.variables[0]);  // values are echoed, not replaced
    return std::pair(answer->errorStatus, answer->errorIndex);
  };
  const std::string unknown = "1.3.6.1.2.1.1.5.0";
  // A failed command ends the request (getStat1 after it is not sent) and names its variable.
  // The single-command refusals are checked with net-snmp against the real service.
  const auto eventCount = Events().size();
  EXPECT_EQ(error({{kCommandOidConsole, "console"}, {kCommandOidAgentCommand, "getStat2"},
                   {kCommandOidAgentCommand, "getStat1"}}),
            std::pair(snmp_error::kGenErr, 2));
  EXPECT_EQ(Events().size(), eventCount);
  // A slot out of range or overflowing also writes a level-1 event.
  for (const auto& [command, event] : Commands{{"agentConnDisconnect-150", "Subscript out of range"},
                                               {"agentConnDisconnect-99999", "Overflow"}}) {
    EXPECT_EQ(error({{unknown, "x"}, {kCommandOidDisconnect, command}}), std::pair(snmp_error::kGenErr, 2));
    EXPECT_EQ(Events().back(), "1\tfrmVantorWebSrv_SnmpSetRequest\t" + event) << command;
  }
  // An unknown object does not stop the request; nothing else was sent or closed.
  EXPECT_EQ(error({{unknown, "x"}, {kCommandOidAgentCommand, "getStat1"}}), std::pair(snmp_error::kNoSuchName, 1));
  EXPECT_EQ(ws_->sent, (std::vector<FakeWebSocketServer::Sent>{{3, "CW01000001" "0  " "GetStat"}}));
  EXPECT_EQ(error({{kCommandOidDisconnect, "agentConnDisconnect-1"}}), std::pair(0, 0));
  EXPECT_EQ(ws_->disconnected, (std::vector<ConnectionId>{3}));  // only by the last command
  EXPECT_FALSE(service().broker().tables().Customer(1).connected());
  const auto events = Events();
  EXPECT_NE(std::find(events.begin(), events.end(),
                      "3\tmodVantorWebSrv_SnmpSetRequest\tAlpha Ltd Disconnected From Server Due To Command From Console"),
            events.end());
  dir_.Sql("UPDATE Customer SET Enabled = NULL");  // the reload fails
  EXPECT_EQ(error({{kCommandOidTableUpdate, "custTableUpdate"}}), std::pair(snmp_error::kGenErr, 1));
}

TEST(CommandSlot, LeadingNumberRoundedHalfToEven) {
  for (const auto& [text, slot] : {std::pair("7", 7), {" 12abc", 12}, {"2.5", 2}, {"3.5", 4}, {"x", 0}, {"", 0},
                                   {"-4", -4}}) {
    EXPECT_EQ(CommandSlot(text), slot) << text;
  }
  EXPECT_THROW(CommandSlot("99999999"), ProcedureError);
}

TEST_F(ServiceTest, EventsAndNotificationsBecomeTrapsWhenSwitchedOn) {
  dir_.Sql("UPDATE General_Settings SET SendAppEvents = 1, TrapHost = '10.0.0.9', TrapPort = 1162, "
           "TrapComm = 'traps'");
  Start();
  ASSERT_FALSE(snmp_->traps.empty());
  const auto started = snmp_->traps.back();  // the start event
  EXPECT_EQ(started.destinations, (std::vector<std::string>{"10.0.0.9:1162"}));
  EXPECT_EQ(started.message, BuildAppEventTrap({"frmVantorWebSrv", "dartSvc_State", "Service Started. Version: 1.0.0",
                                                3}, "traps", started.message.timeStamp, "127.0.0.1"));

  const SendStatus sent{"Mr Tavo (01000001)", "subject", 3, "PUSH: Error", "MobilePO"};
  service().snmp().ForwardSendStatus(sent.receiver, sent.subject, sent.resultCode, sent.resultText, sent.channel);
  const auto status = snmp_->traps.back();
  EXPECT_EQ(status.destinations, (std::vector<std::string>{"127.0.0.1:162"}));  // whatever the trap host
  EXPECT_EQ(status.message, BuildSendStatusTrap(sent, status.message.timeStamp, "127.0.0.1"));

  // A status trap the agent refuses is an event (whose own trap is refused as well).
  snmp_->acceptTraps = false;
  service().snmp().ForwardSendStatus(sent.receiver, sent.subject, sent.resultCode, sent.resultText, sent.channel);
  Run();
  EXPECT_EQ(Events().back(), "1\tmodVantorWebSrv_ForwardSendStatus\tThe SNMP agent could not send the status trap");
}

}  // namespace
}  // namespace vantor::testing
