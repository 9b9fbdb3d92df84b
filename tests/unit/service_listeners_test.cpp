#include "service_fixture.hpp"
#include "core/procedure_error.hpp"
#include "snmp/console_commands.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

namespace vantor::testing {
namespace {

using namespace std::chrono_literals;

bool StartsWithDate(const std::string& text) {
  return text.size() > 19 && text[4] == '-' && text[10] == ' ' && text[13] == ':';
}

TEST_F(ServiceTest, AllListenersDisabled) {
  dir_.Sql("UPDATE General_Settings SET SnmpEnabled = 0, WsEnabled = 0, WssEnabled = 0, DebugMode = 1");
  Start();
  for (const char* column : {"SnmpStatus", "WsStatus", "WssStatus"}) EXPECT_EQ(Setting(column), "Not Started");
  EXPECT_EQ(ReadFile(dir_.path() / "Debug" / "Services.txt"),
            "############ SNMP Agent Started ###########\r\nNot Started\r\n\r\n"
            "########### WS Server Started ############\r\nNot Started\r\n\r\n"
            "########### WSS Server Started ############\r\nNot Started\r\n\r\n");
  EXPECT_TRUE(snmp_->startCalls.empty());
  EXPECT_FALSE(ws_->Listening());
  EXPECT_FALSE(wss_->Listening());
}

TEST_F(ServiceTest, ListenersStartAndReportWhereTheyListen) {
  dir_.Sql("UPDATE General_Settings SET SnmpIpAddr = '0.0.0.0', SnmpPort = 1161, WsIpAddr = '0.0.0.0', "
           "WsPort = 9080, WssIpAddr = '127.0.0.1', WssPort = 9443");
  Start();
  ASSERT_EQ(snmp_->startCalls.size(), 1u);
  EXPECT_EQ(snmp_->startCalls[0].address, "127.0.0.1");  // every address means loopback here
  EXPECT_EQ(Setting("SnmpIpAddr"), "127.0.0.1");
  const std::string snmpStatus = Setting("SnmpStatus");
  EXPECT_TRUE(StartsWithDate(snmpStatus));
  EXPECT_EQ(snmpStatus.substr(19), "\r\nSNMP Agent Started\r\nIP=127.0.0.1\r\nPort=1161");
  EXPECT_EQ(Setting("WsStatus").substr(19), "\r\nWS Server Started\r\nIP=0.0.0.0\r\nPort=9080");
  EXPECT_EQ(Setting("WssStatus").substr(19), "\r\nWSS Server Started\r\nIP=127.0.0.1\r\nPort=9443");
  EXPECT_TRUE(wss_->tls.has_value());  // a certificate made at start
  EXPECT_EQ(ws_->configured, (std::vector<std::string>{"MaxOpeningPerAddress=16"}));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "CertInfo_Server.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "Services.txt"));  // debug off
}

TEST_F(ServiceTest, SnmpPortInUseLeavesTrapsOffAndTheServersStart) {
  dir_.Sql("UPDATE General_Settings SET SendAppEvents = 1");
  service();
  snmp_->startResult = std::make_error_code(std::errc::address_in_use);
  Start();
  const std::string status = Setting("SnmpStatus");
  EXPECT_EQ(status.substr(19), "\r\nFailed to Start\r\nPort was in use");
  EXPECT_NE(std::find(Events().begin(), Events().end(), "1\tmodVantorWebSrv_ServiceOpen\tSNMP Agent Port was in use"),
            Events().end());
  EXPECT_TRUE(ws_->Listening());
  EXPECT_TRUE(wss_->Listening());
  EXPECT_TRUE(snmp_->traps.empty());  // not even for the start event
  // The service manager hears what is up only once the servers have started, and the journal
  // has the reason of the failure.
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: WS 127.0.0.1:8080, WSS 127.0.0.1:8443; "
                                                   "failed: SNMP 127.0.0.1:16161: Address already in use",
                                                   "READY"}));
  EXPECT_EQ(host_.logged, (std::vector<std::string>{"<3>modVantorWebSrv_ServiceOpen: SNMP Agent Port was in use\n",
                                                    "<3>SNMP listener 127.0.0.1:16161 failed: Address already in use\n"}));
  EXPECT_EQ(service().exitCode(), 0);
  service().ForwardSendStatus("Mr Tavo", "Daily Test Message", 1, "PUSH: ok", "MobilePO");
  EXPECT_TRUE(snmp_->traps.empty());
}

TEST_F(ServiceTest, UnusableAddressesAndCertificates) {
  dir_.Sql("UPDATE General_Settings SET SnmpIpAddr = 'not-an-address', WsIpAddr = '10.1.2.3', "
           "CertSubject = 'nobody.example', CertType = 'User', CertStore = 'My'");
  service();
  ws_->listenError = std::make_error_code(std::errc::address_not_available);
  Start();
  EXPECT_EQ(Setting("SnmpStatus").substr(19), "\r\nFailed to Start\r\nIP Address is not valid");
  EXPECT_EQ(Setting("WsStatus").substr(19), "\r\nFailed to Start\r\n");
  EXPECT_EQ(Setting("WsIpAddr"), "0.0.0.0");  // the next start listens on every address
  EXPECT_EQ(Setting("WssIpAddr"), "127.0.0.1");  // a bad certificate keeps the address
  const auto events = Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "1\tmodVantorWebSrv_ServiceOpen\tSNMP Agent IP Address is not valid"), events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), "1\tmodVantorWebSrv_ServiceOpen\tWS Server IP Address is not valid"), events.end());
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) {
                            return e.find("ServiceOpen\tWSS listener 127.0.0.1:8443 failed: Server certificate: ") !=
                                   std::string::npos;
                          }),
            1);
  EXPECT_EQ(events.back(),
            "1\tfrmVantorWebSrv_dartSvc_State\tService Ended: No Listener Could Start (SNMP not-an-address:16161: not an "
            "IP address; WS 10.1.2.3:8080: Cannot assign requested address; WSS 127.0.0.1:8443: Server certificate: "
            "certificate store folder " + (dir_.path() / "Cert" / "My").string() + " not found)");
  EXPECT_FALSE(wss_->Listening());
  // Nothing listens: the rewritten address is a warning, and the process ends with a failure.
  EXPECT_NE(std::find(host_.logged.begin(), host_.logged.end(),
                      "<4>WsIpAddr changed from '10.1.2.3' to '0.0.0.0' for the next start\n"),
            host_.logged.end());
  EXPECT_EQ(host_.notes.size(), 1u);
  EXPECT_EQ(host_.notes[0].rfind("STATUS=Listening: none; failed: SNMP not-an-address:16161: not an IP address, ", 0), 0u);
  EXPECT_EQ(service().exitCode(), 1);
  EXPECT_EQ(stopped_, 1);
}

TEST_F(ServiceTest, SnmpRequestsAnswerFromTheSystemGroupAndIgnoreOtherCommunities) {
  dir_.Sql("UPDATE General_Settings SET ProgVersion = '4.2', SnmpIpAddr = '10.1.2.3', WssIpAddr = '0.0.0.0', "
           "SnmpSetComm = 'kept-secret'");
  Start();
  // Other hosts reach the agent and the TLS listener: the defaults left are warned of.
  EXPECT_EQ(host_.logged, (std::vector<std::string>{
                              "<4>SNMP listener 10.1.2.3:16161 takes the default read community 'public' from other "
                              "hosts (set SnmpGetComm)\n",
                              "<4>WSS listener 0.0.0.0:8443 serves other hosts a self-signed certificate made at this "
                              "start, which clients cannot verify (set CertSubject)\n"}));
  clock_.Advance(12s);
  SnmpMessage get;
  get.type = snmp_type::kGetV1;
  get.community = "public";
  get.variables = {{"1.3.6.1.2.1.1.1", snmp_value::kNull, ""}, {"1.3.6.1.2.1.1.3.0", snmp_value::kNull, ""}};
  auto answer = snmp_->Deliver(io_, get);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->type, snmp_type::kResponseV1);
  EXPECT_EQ(answer->variables[0], (SnmpVariable{"1.3.6.1.2.1.1.1.0", snmp_value::kOctetString, "Vantor Web, ver 4.2"}));
  // Whole seconds since the start time (taken before the listeners' pauses) times 100.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(clock_.Now() - service().startTime());
  EXPECT_GE(seconds.count(), 12);
  EXPECT_EQ(answer->variables[1].value, std::to_string(seconds.count() * 100));

  get.community = "Public";
  EXPECT_FALSE(snmp_->Deliver(io_, get));
  get.type = snmp_type::kSetV2c;
  for (const char* other : {"public", kDefaultSetCommunity}) {  // only SnmpSetComm opens the set commands
    get.community = other;
    EXPECT_FALSE(snmp_->Deliver(io_, get));
  }
  get.community = "kept-secret";
  EXPECT_TRUE(snmp_->Deliver(io_, get));
}

TEST_F(ServiceTest, ConsoleCommandsActOnTheNamedSlotOrAnswerAnError) {
  dir_.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES ('01000001', 1, 'Alpha Ltd')");
  Start();
  Run();
  io_.restart();
  asio::co_spawn(io_, ws_->Connect(3, "/agt?01000001 p__________"), asio::detached);
  Run();
  ws_->sent.clear();
  auto send = [&](std::vector<std::pair<std::string, std::string>> commands) {
    SnmpMessage m;
    m.type = snmp_type::kSetV1;
    m.community = kDefaultSetCommunity;
    for (auto& [oid, value] : commands) m.variables.push_back({oid, snmp_value::kOctetString, value});
    return snmp_->Deliver(io_, m);
  };
  auto set = [&](std::string oid, std::string value) { return send({{std::move(oid), std::move(value)}}); };
  auto error = [](const std::optional<SnmpMessage>& answer) {
    return answer ? std::pair(answer->errorStatus, answer->errorIndex) : std::pair(-1, -1);
  };
  auto stat = set(kCommandOidAgentCommand, "getStat1");
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->variables[0].value, "getStat1");
  EXPECT_EQ(error(stat), std::pair(0, 0));
  EXPECT_EQ(ws_->sent, (std::vector<FakeWebSocketServer::Sent>{{3, "CW01000001" "0  " "GetStat"}}));
  ws_->sent.clear();

  // Nothing done and no level-1 event: a value the object does not take, an empty slot, an
  // unknown object.
  const auto eventCount = Events().size();
  const std::vector<std::tuple<const char*, const char*, int>> refused = {
      {kCommandOidAgentCommand, "agentConnDisconnect-1", snmp_error::kBadValue},  // a command of .3.0
      {kCommandOidAgentCommand, "getstat1", snmp_error::kBadValue},
      {kCommandOidTableUpdate, "bogus", snmp_error::kBadValue},
      {kCommandOidAgentCommand, "getStat2", snmp_error::kGenErr},  // no customer in slot 2
      {kCommandOidDisconnect, "mobilConnDisconnect-1", snmp_error::kGenErr},
      {"1.3.6.1.2.1.1.5.0", "x", snmp_error::kNoSuchName},
  };
  for (const auto& [oid, value, status] : refused) {
    EXPECT_EQ(error(set(oid, value)), std::pair(status, 1)) << value;
  }
  EXPECT_EQ(Events().size(), eventCount);
  EXPECT_TRUE(ws_->sent.empty());
  EXPECT_TRUE(ws_->disconnected.empty());

  // A failed command ends the request: the variables before it keep their answers, the ones
  // after it are not run.
  auto stopped = send({{kCommandOidConsole, "console"},
                       {kCommandOidAgentCommand, "getStat2"},
                       {kCommandOidAgentCommand, "getStat1"}});
  EXPECT_EQ(error(stopped), std::pair(snmp_error::kGenErr, 2));
  EXPECT_TRUE(ws_->sent.empty());
  // A slot out of range, missing or overflowing also writes a level-1 event.
  EXPECT_EQ(error(send({{"1.3.6.1.2.1.1.5.0", "x"}, {kCommandOidDisconnect, "agentConnDisconnect-150"}})),
            std::pair(snmp_error::kGenErr, 2));
  EXPECT_EQ(Events().back(), "1\tfrmVantorWebSrv_SnmpSetRequest\tSubscript out of range");
  EXPECT_EQ(error(set(kCommandOidDisconnect, "mobilConnDisconnect-")), std::pair(snmp_error::kGenErr, 1));
  EXPECT_EQ(error(set(kCommandOidDisconnect, "agentConnDisconnect-99999")), std::pair(snmp_error::kGenErr, 1));
  EXPECT_EQ(Events().back(), "1\tfrmVantorWebSrv_SnmpSetRequest\tOverflow");
  // An unknown object does not stop the request.
  auto past = send({{"1.3.6.1.2.1.1.5.0", "x"}, {kCommandOidAgentCommand, "getStat1"}});
  EXPECT_EQ(error(past), std::pair(snmp_error::kNoSuchName, 1));
  EXPECT_EQ(ws_->sent.size(), 1u);

  auto drop = set(kCommandOidDisconnect, "agentConnDisconnect-1");
  EXPECT_EQ(drop->variables[0].value, "agentConnDisconnect-1");
  EXPECT_EQ(error(drop), std::pair(0, 0));
  EXPECT_EQ(ws_->disconnected, (std::vector<ConnectionId>{3}));
  EXPECT_EQ(service().broker().tables().Customer(1).connected(), false);
  const auto events = Events();
  EXPECT_NE(std::find(events.begin(), events.end(),
                      "3\tmodVantorWebSrv_SnmpSetRequest\tAlpha Ltd Disconnected From Server Due To Command From Console"),
            events.end());
  EXPECT_EQ(error(set(kCommandOidDisconnect, "agentConnDisconnect-1")), std::pair(snmp_error::kGenErr, 1));

  dir_.Sql("UPDATE Customer SET Enabled = NULL");  // the reload fails
  EXPECT_EQ(error(set(kCommandOidTableUpdate, "custTableUpdate")), std::pair(snmp_error::kGenErr, 1));
}

TEST(CommandSlot, LeadingNumberRoundedHalfToEven) {
  EXPECT_EQ(CommandSlot("7"), 7);
  EXPECT_EQ(CommandSlot(" 12abc"), 12);
  EXPECT_EQ(CommandSlot("2.5"), 2);
  EXPECT_EQ(CommandSlot("3.5"), 4);
  EXPECT_EQ(CommandSlot("x"), 0);
  EXPECT_EQ(CommandSlot(""), 0);
  EXPECT_EQ(CommandSlot("-4"), -4);
  EXPECT_THROW(CommandSlot("99999999"), ProcedureError);
}

TEST_F(ServiceTest, EventsAndNotificationsBecomeTrapsWhenSwitchedOn) {
  dir_.Sql("UPDATE General_Settings SET SendAppEvents = 1, TrapHost = '10.0.0.9', TrapPort = 1162, "
           "TrapComm = 'traps'");
  Start();
  ASSERT_FALSE(snmp_->traps.empty());
  const auto& started = snmp_->traps.back();  // the start event
  EXPECT_EQ(started.destinations, (std::vector<std::string>{"10.0.0.9:1162"}));
  EXPECT_EQ(started.message.community, "traps");
  EXPECT_EQ(started.message.enterprise, "1.3.6.1.4.1.50404.2.1.2");
  EXPECT_EQ(started.message.variables.at(5).value, "3");
  EXPECT_EQ(started.message.variables.at(4).value, "Service Started. Version: 1.0.0");

  service().ForwardSendStatus("Mr Tavo (01000001)", "subject", 3, "PUSH: Error", "MobilePO");
  const auto& status = snmp_->traps.back();
  EXPECT_EQ(status.destinations, (std::vector<std::string>{"127.0.0.1:162"}));
  EXPECT_EQ(status.message.community, "tidewalk");
  EXPECT_EQ(status.message.specificTrap, 5);
}

}  // namespace
}  // namespace vantor::testing
