#include "broker_fixture.hpp"

namespace vantor::testing {
namespace {

class BrokerProtocolTest : public BrokerTest {
 protected:
  BrokerProtocolTest() {
    Connect(wss_, 1, "/agt?01000001 p__________");  // agent of customer 1 on TLS
    Connect(ws_, 2, "/agt?02000002 q__________");   // agent of customer 2 on plain
    Connect(ws_, 3, "/mob?01000001 p__________");   // mobile 1 of customer 1 on plain
    Connect(wss_, 4, "/mob?01000001 p__________");  // mobile 2 of customer 1 on TLS
    Connect(ws_, 5, "/mob?02000002 q__________");   // mobile 3 of customer 2 on plain
    TakeSent(ws_);
    TakeSent(wss_);
  }
};

TEST_F(BrokerProtocolTest, KeepAliveEchoesAndSamplesRoundTrips) {
  Tables().AgeAgent(1, 60);
  Receive(wss_, 1, "CA01000001" "0  " "keep-alive\t35");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "CA01000001" "0  " "keep-alive"}}));
  EXPECT_EQ(Customer(1).aging, 0);
  EXPECT_EQ(Customer(1).rttSum, 35);
  EXPECT_EQ(Customer(1).rttCount, 1);

  for (const char* rtt : {"10000", "-1", "abc", ""}) {
    Receive(wss_, 1, std::string("CA01000001" "0  " "keep-alive\t") + rtt);
  }
  Receive(wss_, 1, "CA01000001" "0  " "keep-alive\t12.5");  // rounds half to even
  EXPECT_EQ(TakeSent(wss_).size(), 5u);  // every keep-alive is echoed
  EXPECT_EQ(Customer(1).rttSum, 47);
  EXPECT_EQ(Customer(1).rttCount, 2);
}

TEST_F(BrokerProtocolTest, VersionMessagesSetIntervalAndClearPendingAlarm) {
  Tables().StartAlarmWait(1);
  Tables().AdvanceAlarmWait(1, 30);
  Receive(wss_, 1, "CA01000001" "0  " "VER:3.31 KEEPALIVE:60");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "CW01000001" "0  " "VER:OK KEEPALIVE:OK"}}));
  EXPECT_EQ(Customer(1).version, "3.31");
  EXPECT_EQ(Customer(1).kaInterval, 60);
  EXPECT_FALSE(Customer(1).bcaWaitState);
  EXPECT_EQ(Customer(1).bcaWaitTime, 0);
  EXPECT_NE(Events().find("\t3\tfrmVantorWebSrv_wssServer_DataIn\tAlpha Ltd Connected From: 10.0.0.1 (connID=1)\r\n"),
            std::string::npos);

  Receive(wss_, 1, "CA01000001" "0  " "VER:3.32");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "CW01000001" "0  " "VER:OK"}}));
  EXPECT_EQ(Customer(1).kaInterval, 30);

  // Too long for the pending-alarm wait: clamped. Beyond 16 bits or not a number: an error,
  // after the reply and the version were already taken.
  Receive(wss_, 1, "CA01000001" "0  " "VER:3.33 KEEPALIVE:32767");
  EXPECT_EQ(Customer(1).kaInterval, 32737);
  Receive(wss_, 1, "CA01000001" "0  " "VER:3.34 KEEPALIVE:40000");
  Receive(wss_, 1, "CA01000001" "0  " "VER:3.35 KEEPALIVE:soon");
  EXPECT_EQ(Customer(1).version, "3.35");
  EXPECT_EQ(Customer(1).kaInterval, 32737);
  EXPECT_NE(Events().find("\t1\tfrmVantorWebSrv_wssServer_DataIn\tOverflow(connID=1, text=CA01000001"
                          "0  VER:3.34 KEEPALIVE:40000)\r\n"),
            std::string::npos);
  EXPECT_NE(Events().find("Type mismatch(connID=1, text="), std::string::npos);
}

TEST_F(BrokerProtocolTest, AlarmReceiverAndStatistics) {
  Receive(wss_, 1, "CA01000001" "0  " "BCA:  Ann\tMailSMTP\t\t\tann@example.com  ");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "CW01000001" "0  " "BCA:OK"}}));
  EXPECT_EQ(saved_, (std::vector<std::string>{"01000001|Ann\tMailSMTP\t\t\tann@example.com"}));
  storeReceivers_ = false;  // not stored (malformed, or the write was given up): no acknowledgement
  Receive(wss_, 1, "CA01000001" "0  " "BCA:no tabs at all");
  EXPECT_TRUE(TakeSent(wss_).empty());

  Tables().SetAgentVersion(1, "3.30");
  Receive(wss_, 1, "CA01000001" "0  " "StatLog:2026-03\t1\t2\r\n2026-04\t3\t4\r\npartial");
  EXPECT_TRUE(TakeSent(wss_).empty());  // no reply at all
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "StatLog.txt"),
            "Company\tProgVer\tYearMonth\tPushOK\tPushUnknown\tPushFailed\tSmsOK\tSmsUnknown\tSmsFailed\t"
            "MailOK\tMailUnknown\tMailFailed\tWebRx\tWebTxOk\tWebTxErr\tWebKaDiff\tWebKaRTT\tWebKaDays\r\n"
            "Alpha Ltd\t3.30\t2026-03\t1\t2\r\n"
            "Alpha Ltd\t3.30\t2026-04\t3\t4\r\n");
}

TEST_F(BrokerProtocolTest, RequestsAndAnswersAreRelayedAcrossServers) {
  // Mobile 1 on the plain server, agent on TLS: the request goes out through the TLS server.
  Receive(ws_, 3, "DM01000001" "1  " "GET\xC2\xA0status");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "DM01000001" "1  " "GETstatus"}}));
  Receive(wss_, 4, "DM01000001" "2  " "x\xC3\x82\xC2\xA0y  ");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "DM01000001" "2  " "xy"}}));
  EXPECT_EQ(Customer(1).pktRecv, 2);
  EXPECT_EQ(Mobile(1).pktRecv, 1);

  Tables().AgeMobile(1, 90);
  Receive(wss_, 1, "DA01000001" "1  " "status: ok");
  EXPECT_EQ(TakeSent(ws_), (std::vector<Sent>{{3, "DA01000001" "1  " "status: ok"}}));
  EXPECT_EQ(Customer(1).pktSent, 1);
  EXPECT_EQ(Mobile(1).pktSent, 1);
  EXPECT_EQ(Mobile(1).aging, 90);  // answers do not count as the mobile's activity

  // Mobile 3 belongs to customer 2: the answer is refused, not delivered.
  Receive(wss_, 1, "DA01000001" "3  " "for somebody else");
  EXPECT_EQ(TakeSent(wss_), (std::vector<Sent>{{1, "CW01000001" "0  " "Mobile Software Not Connected"}}));
  EXPECT_TRUE(TakeSent(ws_).empty());

  // Mobile number 0 in an answer is a failure before anything is sent.
  Receive(wss_, 1, "DA01000001" "0  " "x");
  EXPECT_TRUE(TakeSent(ws_).empty());
  EXPECT_NE(Events().find("Subscript out of range(connID=1, text=DA01000001" "0  x)"), std::string::npos);
  // A long text is echoed in the event only up to its first 256 characters.
  Receive(wss_, 1, "DA01000001" "0  " + std::string(1000, 'y'));
  EXPECT_NE(Events().find("text=DA01000001" "0  " + std::string(243, 'y') + "... (1013 characters))\r\n"),
            std::string::npos);

  // The agent's connection is closing: the request cannot go out, the event shows what was not
  // sent, nothing is counted, and the mobile's next message is not held up by a pause.
  wss_.Disconnect(1);
  const auto waits = clock_.waits().size();
  Receive(ws_, 3, "DM01000001" "1  " "GET\xC2\xA0late");
  EXPECT_EQ(clock_.waits().size(), waits);
  EXPECT_NE(Events().find("Cannot send: connection 1 is not open(connID=3, text=DM01000001" "1  GETlate)"),
            std::string::npos);
  EXPECT_EQ(Customer(1).pktRecv, 2);
}

TEST_F(BrokerProtocolTest, CountsWhatWasRelayedAndAgentsThatWent) {
  Receive(ws_, 3, "DM01000001" "1  " "GET\xC2\xA0status");  // cleaned: 22 bytes go out
  Receive(wss_, 1, "DA01000001" "1  " "ok");
  Receive(wss_, 1, "DA01000001" "3  " "for somebody else");  // refused: not relayed
  const BrokerCounts& counts = broker_.counts();
  EXPECT_EQ(counts.relayedMessages, (CountsBy<RelayDirection>{1, 1}));
  EXPECT_EQ(counts.relayedBytes, (CountsBy<RelayDirection>{22, 15}));
  EXPECT_EQ(Customer(1).relayedToAgent, 1u);
  EXPECT_EQ(Customer(1).relayedToMobile, 1u);
  // The daily clearing and a new connection keep them; another customer in the slot does not.
  Tables().ClearDailyCounts(1);
  Tables().UpdateCustomer(1, true, "01000001", "Alpha Ltd");
  EXPECT_EQ(Customer(1).relayedToAgent, 1u);
  Run(ws_.Close(2, 1000));  // its own normal close: no drop
  Run(wss_.Close(1, kAbnormalClosure));
  EXPECT_EQ(counts.agentsDropped, (CountsBy<AgentDrop>{0, 0, 1, 0, 0}));
  Tables().UpdateCustomer(1, true, "01000009", "Other Ltd");
  EXPECT_EQ(Customer(1).relayedToMobile, 0u);
}

TEST_F(BrokerProtocolTest, RequestWithoutAgentAndVersionCheck) {
  Run(wss_.Close(1, 1006));
  Receive(ws_, 3, "DM01000001" "1  " "GET");
  EXPECT_EQ(TakeSent(ws_), (std::vector<Sent>{{3, "CW01000001" "0  " "MSG:Agent Software Not Connected"}}));
  EXPECT_EQ(Mobile(1).pktRecv, 0);

  Tables().SetAgentVersion(2, "2.10");
  Receive(ws_, 5, "CM02000002" "3  " "VER:2.3 ");
  EXPECT_EQ(TakeSent(ws_), (std::vector<Sent>{{5, "CW02000002" "0  " "VER:OK"}}));
  EXPECT_EQ(Mobile(3).version, "2.3 ");
  Receive(ws_, 5, "CM02000002" "3  " "VER:1.9 ");
  EXPECT_EQ(TakeSent(ws_),
            (std::vector<Sent>{{5, "CW02000002" "0  " "MSG:Program Version Mismatch.\r\nDownload New Software\r\n"
                                   "From Your Browser at:\r\nhttps://download.example.com/vantor-web/2/"}}));
  EXPECT_NE(Events().find("\t2\tfrmVantorWebSrv_wsServer_DataIn\tMobile CustID: 02000002 Program Version Mismatch\r\n"),
            std::string::npos);
  dir_.Sql("UPDATE General_Settings SET DownloadHost2 = 'https://mirror.test/v2'");
  Receive(ws_, 5, "CM02000002" "3  " "VER:1.9 ");
  EXPECT_TRUE(TakeSent(ws_).at(0).text.ends_with("at:\r\nhttps://mirror.test/v2"));
  Tables().SetAgentVersion(2, "4.00");
  Receive(ws_, 5, "CM02000002" "3  " "VER:1.9 ");
  EXPECT_EQ(TakeSent(ws_), (std::vector<Sent>{{5, "CW02000002" "0  " "MSG:Program Version Mismatch."}}));
}

TEST_F(BrokerProtocolTest, OnlyTheRegisteredConnectionSpeaksForACustomer) {
  // A refused client (wrong pass) and the agent of customer 2 try to act for customer 1.
  Connect(ws_, 9, "/mob?01000001 wrong__________");
  TakeSent(ws_);
  const std::vector<std::pair<FakeWebSocketServer*, ConnectionId>> intruders{{&ws_, 9}, {&ws_, 2}, {&ws_, 5}};
  for (auto [server, id] : intruders) {
    Receive(*server, id, "CA01000001" "0  " "BCA:Eve\tMailSMTP\t\t\teve@example.com");
    Receive(*server, id, "CA01000001" "0  " "VER:9.99 KEEPALIVE:0");
    Receive(*server, id, "CA01000001" "0  " "keep-alive\t1");
    Receive(*server, id, "DA01000001" "1  " "forged answer");
    Receive(*server, id, "DM01000001" "1  " "forged request");
    Receive(*server, id, "DM01000001" "2  " "forged request");
    Receive(*server, id, "CM01000001" "1  " "VER:9.99");
  }
  EXPECT_TRUE(saved_.empty());
  EXPECT_EQ(Customer(1).version, "");
  EXPECT_EQ(Customer(1).rttCount, 0);
  EXPECT_EQ(Customer(1).pktRecv + Customer(1).pktSent, 0);
  EXPECT_EQ(Mobile(1).version, "");
  EXPECT_TRUE(TakeSent(ws_).empty());
  EXPECT_TRUE(TakeSent(wss_).empty());
  // Garbage and short messages from anybody are ignored without a reply or an error.
  for (const char* junk : {"", "D", "DM", "DM01", "CA01000001", "XX01000001" "0  keep-alive", "DMzz000001" "1  x"}) {
    Receive(ws_, 3, junk);
  }
  EXPECT_TRUE(TakeSent(ws_).empty());
  EXPECT_EQ(Events().find("\t1\t"), std::string::npos);
}

TEST_F(BrokerProtocolTest, DisconnectionFreesTheRightRecord) {
  // Id 1 is the agent on TLS; a plain connection with id 1 is someone else.
  Connect(ws_, 1, "/mob?01000001 p__________");  // mobile 4 of customer 1, plain, id 1
  Run(ws_.Close(1, 1000));
  EXPECT_EQ(Mobile(4).connection.id, 0);
  EXPECT_EQ(Customer(1).connection.id, 1);  // the TLS agent with the same id is untouched

  Tables().SetKeepAliveInterval(1, 60);
  Tables().StartAlarmWait(1);
  Run(wss_.Close(1, 1001));
  EXPECT_EQ(Customer(1).connection.id, 0);
  EXPECT_EQ(Customer(1).connType(), "");
  EXPECT_EQ(Customer(1).kaInterval, 60);
  EXPECT_TRUE(Customer(1).bcaWaitState);
  EXPECT_EQ(Mobile(1).connection.id, 3);  // its mobiles stay registered
  EXPECT_NE(Events().find("\t3\tfrmVantorWebSrv_wssServer_Disconnected\tAlpha Ltd Disconnected From Server "
                          "Due To Going Away (connID=1)\r\n"),
            std::string::npos);
  // An agent that went without a close of its own starts its alarm; the service's disconnect does not.
  Run(ws_.Close(2, kAbnormalClosure, "connection ended without a close frame: Connection reset by peer"));
  EXPECT_EQ(Customer(2).connection.id, 0);
  EXPECT_TRUE(Customer(2).bcaWaitState);
  EXPECT_NE(Events().find("\t2\tfrmVantorWebSrv_wsServer_Disconnected\tBeta Ltd Disconnected From Server Due To "
                          "Broken Connection (connID=2, code 1006: connection ended without a close frame: "
                          "Connection reset by peer)\r\n"),
            std::string::npos);
  Run(ws_.Close(2, kClosedByServer));  // gone already: nothing happens
  Tables().ClearAlarmWait(2);
  Connect(ws_, 9, "/agt?02000002 p__________");
  Run(ws_.Close(9, kClosedByServer));
  EXPECT_EQ(Customer(2).connection.id, 0);
  EXPECT_FALSE(Customer(2).bcaWaitState);
  EXPECT_EQ(Events().find("(connID=9"), std::string::npos);
}

TEST_F(BrokerProtocolTest, DebugTracesByteForByte) {
  debug_ = true;
  Receive(wss_, 1, "CA01000001" "0  " "keep-alive\t35");
  Receive(wss_, 1, "CA01000001" "0  " "keep-alive");
  EXPECT_EQ(ReadFile(dir_.path() / "KeepAlive" / "WssAgtDataInKA-1.txt"),
            "\r\n2026-04-01 10:00:00.000\tlast keep-alive rtt\t35\r\n<--- CA01000001" "0  keep-alive\r\n"
            "---> CA01000001" "0  keep-alive\r\n"
            "\r\n2026-04-01 10:00:00.000\tlast keep-alive rtt\t\r\n<--- CA01000001" "0  keep-alive\r\n"
            "---> CA01000001" "0  keep-alive\r\n");

  Receive(ws_, 3, "DM01000001" "1  " "002:select");
  Receive(wss_, 1, "DA01000001" "1  " "002:rows");
  // Request and answer both land in the mobile's session file.
  EXPECT_EQ(ReadFile(dir_.path() / "Debug" / "WsMobSession-3.txt"),
            "\r\n##### DataIn From Mobile #####\r\n2026-04-01 10:00:00.000\r\n"
            "<--- DM01000001" "1  002:select\r\n---> DM01000001" "1  002:select\r\n"
            "\r\n##### DataIn From Agent #####\r\n2026-04-01 10:00:00.000\r\n"
            "<--- DA01000001" "1  002:rows\r\n---> DA01000001" "1  002:rows\r\n");
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "Sql002.txt"),
            "2026-04-01 10:00:00.000\tFrom Mobile: \t01000001\tDM01000001" "1  002:select\r\n"
            "2026-04-01 10:00:00.000\tFrom Agent : \t01000001\tDA01000001" "1  002:rows\r\n\r\n");

  Receive(wss_, 1, "CA01000001" "0  " "StatLog:x\r\n");
  EXPECT_NE(ReadFile(dir_.path() / "Debug" / "WssAgtDataIn-1.txt")
                .find("<--- CA01000001" "0  StatLog:x\\r\\n\r\n---> noReply (due to web server sent the query)\r\n"),
            std::string::npos);

  clock_.Set(LocalTimePoint(2026, 4, 1, 11, 0, 0) + std::chrono::milliseconds(7));
  Connect(ws_, 20, "/agt?01999999 x__________");
  EXPECT_EQ(ReadFile(dir_.path() / "Debug" / "WsConnected-20.txt"),
            "\r\n##### Connected #####\r\n2026-04-01 11:00:00.007\r\n"
            "---> CW00000000" "0  MSG:Disconnected. CustID: 01999999 Not Found\r\n");
  const std::string open = ReadFile(dir_.path() / "Debug" / "WsAgtWebSocketOpenRequest-20.txt");
  EXPECT_EQ(open.substr(0, 67), "\r\n\r\n\r\n\r\n##### WebSocketOpenRequest #####\r\n2026-04-01 11:00:00.007\r\n");
  EXPECT_NE(open.find("\r\nRequestURI:                /agt?01999999 x__________\r\n"), std::string::npos);
  EXPECT_NE(open.find("\r\nStatusCode:                101\r\n"), std::string::npos);
}

TEST_F(BrokerProtocolTest, NoTraceFilesWithDebugOff) {
  Receive(wss_, 1, "CA01000001" "0  " "keep-alive\t35");
  Receive(ws_, 3, "DM01000001" "1  " "002:select");
  Run(ws_.Close(3, 1000));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path() / "KeepAlive"));
  for (auto& entry : std::filesystem::directory_iterator(dir_.path() / "Debug")) {
    EXPECT_EQ(entry.path().filename(), "AppEvent.txt");
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Log" / "Sql002.txt"));
}

}  // namespace
}  // namespace vantor::testing
