#include "broker_fixture.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

namespace vantor::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(BrokerTest, AgentAdmissionVerdicts) {
  EXPECT_EQ(Connect(ws_, 1, "/agt?01000001 secret__________xyz"), "CW01000001" "0  " "Connection Accepted");
  const CustomerRecord& agent = Customer(1);
  EXPECT_EQ(agent.connection.id, 1);
  EXPECT_EQ(agent.connType(), "ws");
  EXPECT_EQ(agent.connIpAddr, "10.0.0.1");
  EXPECT_EQ(agent.custPass, "secret");
  EXPECT_EQ(agent.connStartTime, clock_.Now());

  Tables().SetKeepAliveInterval(1, 60);
  EXPECT_EQ(Connect(wss_, 2, "/agt?01000001 secret__________"),
            "CW00000000" "0  " "MSG:Connection Exist.");
  EXPECT_EQ(Customer(1).aging, 60);
  EXPECT_EQ(Customer(1).connection.id, 1);  // the registered agent stays

  // A prefix before the marker shifts the fixed positions: the id is read from the wrong place.
  // Slot 00 is out of range: a level-1 event, no registration, and a refusal.
  const std::pair<const char*, const char*> refusals[] = {
      {"/agt?01999999 x__________", "01999999 Not Found"}, {"/agt?03000003 x__________", "03000003 Not Enabled"},
      {"/agt?AB000001 x__________", "AB000001 Not Found"}, {"/x/agt?02000002 x__________", "t?020000 Not Found"},
      {"/agt?00000002 x__________", "00000002 Not Found"}, {"/agt?0", "0 Not Found"}};
  ConnectionId id = 3;
  for (const auto& [uri, refusal] : refusals) {
    EXPECT_EQ(Connect(ws_, id++, uri), std::string("CW00000000" "0  " "MSG:Disconnected. CustID: ") + refusal);
  }
  EXPECT_NE(Events().find("\t1\tmodVantorWebSrv_OpenRequestAgent\tSubscript out of range\r\n"),
            std::string::npos);
}

// Rows deleted from the table leave their slots (above the last row) disabled after a reload: the
// agent there is disconnected, its pending alarm dropped, and its id no longer found.
TEST_F(BrokerTest, DeletedCustomersAreGoneAfterAReload) {
  Connect(ws_, 1, "/agt?02000002 p__________");
  Tables().StartAlarmWait(2);
  dir_.Sql("DELETE FROM Customer WHERE CustID IN ('02000002', '03000003')");
  EXPECT_TRUE(Reload());
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{1}));
  EXPECT_NE(Events().find("\t3\tmodVantorWebSrv_CustTableUpdate\tBeta Ltd Disconnected From Server Due To "
                          "Account Disabled\r\n"),
            std::string::npos);
  Run(ws_.Close(1, kClosedByServer));
  EXPECT_EQ(Customer(2).connection.id, 0);
  EXPECT_FALSE(Customer(2).bcaWaitState);
  EXPECT_EQ(Connect(ws_, 2, "/agt?02000002 p__________"),
            "CW00000000" "0  " "MSG:Disconnected. CustID: 02000002 Not Found");
  EXPECT_EQ(Connect(ws_, 3, "/agt?03000003 p__________"),
            "CW00000000" "0  " "MSG:Disconnected. CustID: 03000003 Not Found");
  EXPECT_EQ(Customer(1).custID, "01000001");
}

TEST_F(BrokerTest, MobileAdmissionVerdicts) {
  EXPECT_EQ(Connect(ws_, 1, "/mob?01000001 secret__________"),
            "CW00000000" "0  " "MSG:Disconnected. Agent Software Not Connected");
  Connect(wss_, 1, "/agt?01000001 secret__________");
  EXPECT_EQ(Connect(ws_, 2, "/mob?01000001 wrong__________"),
            "CW00000000" "0  " "MSG:Disconnected. Invalid CustPass");
  EXPECT_EQ(Connect(ws_, 3, "/mob?01000001 secret__________"), "CW01000001" "1  " "Connection Accepted");
  EXPECT_EQ(Connect(ws_, 4, "/mob?01000001 secret__________"), "CW01000001" "2  " "Connection Accepted");
  EXPECT_EQ(Mobile(1).connection.id, 3);
  EXPECT_EQ(Mobile(1).company, "Alpha Ltd");
  EXPECT_EQ(Mobile(1).custPass, "secret");
  EXPECT_EQ(Mobile(2).connIpAddr, "10.0.0.4");

  // No underscores: an empty pass text, which matches only an agent's empty pass text.
  Connect(ws_, 10, "/agt?02000002");
  EXPECT_EQ(Connect(ws_, 11, "/mob?02000002"), "CW02000002" "3  " "Connection Accepted");
  EXPECT_EQ(Connect(ws_, 12, "/mob?02000002 pw__________"), "CW00000000" "0  " "MSG:Disconnected. Invalid CustPass");
}

TEST_F(BrokerTest, FiftyMobilesInAllThenRefusal) {
  Connect(ws_, 1, "/agt?01000001 p__________");
  Connect(ws_, 2, "/agt?02000002 p__________");
  for (int i = 0; i < 50; ++i) {
    const std::string id = i % 2 ? "02000002" : "01000001";
    ASSERT_EQ(Connect(wss_, static_cast<ConnectionId>(100 + i), "/mob?" + id + " p__________"),
              "CW" + id + FixedWidth(std::to_string(i + 1), 3) + "Connection Accepted");
  }
  EXPECT_EQ(Connect(wss_, 200, "/mob?01000001 p__________"),
            "CW00000000" "0  " "MSG:Disconnected. Max Connection is 50");
}

TEST_F(BrokerTest, VerdictBelongsToItsOwnConnection) {
  Connect(ws_, 1, "/agt?01000001 p__________");
  // Two open requests before either connected event: each still gets its own verdict.
  ws_.MarkOpen(5);
  ws_.MarkOpen(6);
  ws_.sent.clear();
  Run([&]() -> asio::awaitable<void> {
    OpenRequest good, bad;
    good.id = 5, good.uri = "/mob?01000001 p__________";
    bad.id = 6, bad.uri = "/mob?01000001 wrong__________";
    co_await broker_.plainEvents().OnOpenRequest(good);
    co_await broker_.plainEvents().OnOpenRequest(bad);
    co_await broker_.plainEvents().OnConnected(5);
    co_await broker_.plainEvents().OnConnected(6);
  }());
  EXPECT_EQ(ws_.sent, (std::vector<Sent>{{5, "CW01000001" "1  " "Connection Accepted"},
                                         {6, "CW00000000" "0  " "MSG:Disconnected. Invalid CustPass"}}));
  EXPECT_EQ(Mobile(1).connection.id, 5);
  EXPECT_EQ(Mobile(2).connection.id, 0);
}

// The grace lets a refused client read its refusal and close by itself; the service closes only
// a connection that is still the refused one when the grace has passed.
TEST_F(BrokerTest, RefusedAndUnmarkedConnectionsAreClosedAfterGrace) {
  std::optional<std::size_t> closedAtGrace;
  clock_.onWait = [&](std::chrono::milliseconds d) {
    if (d == Broker::kRefusalGrace) closedAtGrace = ws_.disconnected.size();
  };
  EXPECT_EQ(Connect(ws_, 9, "/index.html"), "CW00000000" "0  " "MSG:Disconnected. Invalid Request Path");
  EXPECT_EQ(closedAtGrace, 0u);
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{9}));

  // This client closes within the grace and its id goes to an agent that is admitted.
  clock_.onWait = [&](std::chrono::milliseconds d) {
    if (d != Broker::kRefusalGrace) return;
    clock_.onWait = nullptr;
    asio::co_spawn(io_, [&]() -> asio::awaitable<void> {
      co_await ws_.Close(10, 1000);
      co_await ws_.Connect(10, "/agt?01000001 x__________");
    }, asio::detached);
  };
  Connect(ws_, 10, "/agt?01999999 x__________");
  EXPECT_EQ(TakeSent(ws_), (std::vector<Sent>{{9, "CW00000000" "0  " "MSG:Disconnected. Invalid Request Path"},
                                              {10, "CW00000000" "0  " "MSG:Disconnected. CustID: 01999999 Not Found"},
                                              {10, "CW01000001" "0  " "Connection Accepted"}}));
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{9}));
}

TEST_F(BrokerTest, ConnectionLogs) {
  Connect(ws_, 1, "/agt?01000001 p__________");
  Connect(wss_, 2, "/mob?01000001 p__________",
          "Host: h\r\nUser-Agent: VantorMobile/2.1 (Android)\r\nAccept: */*");
  Connect(wss_, 3, "/mob?01000001 p__________", "Host: h");  // no User-Agent: no line
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "MobileConnection.txt"),
            "2026-04-01 10:00:00.000\t10.0.0.2\tAlpha Ltd           \tUser-Agent: VantorMobile/2.1 (Android)\r\n");
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "WsConnectionRequest.txt"),
            "2026-04-01 10:00:00.000\tFrom: 10.0.0.1\t50000\tAccept: True\r\n");
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "WssConnectionRequest.txt"),
            "2026-04-01 10:00:00.000\tFrom: 10.0.0.2\t50000\tAccept: True\r\n"
            "2026-04-01 10:00:00.000\tFrom: 10.0.0.3\t50000\tAccept: True\r\n");
}

std::string StoredPassHash(const TempProgramDir& dir, const std::string& custID) {
  DbStatus status;
  auto db = Database::Open(dir.database(), Database::Mode::kReadOnly, status);
  std::vector<DbRow> rows;
  if (db) status = db->Query("SELECT AgentPassHash FROM Customer WHERE CustID = ?", {custID}, rows);
  if (!status || rows.empty()) throw std::runtime_error(status.error);
  const auto* text = std::get_if<std::string>(&rows[0].values[0]);
  return text ? *text : "";
}

// Refusals of another pass, their events and the console's re-pinning are checked against the
// real service; here what is stored, and a pin cleared in the table.
TEST_F(BrokerTest, PinnedAgentPass) {
  dir_.Sql("UPDATE General_Settings SET PinAgentPass = 1");
  ASSERT_TRUE(Reload());
  // The first agent pins its pass: a salted hash in the table, never the pass.
  EXPECT_EQ(Connect(ws_, 1, "/agt?01000001 first__________"), "CW01000001" "0  " "Connection Accepted");
  const std::string hash = StoredPassHash(dir_, "01000001");
  EXPECT_TRUE(hash.starts_with("pbkdf2-sha256$")) << hash;
  EXPECT_EQ(hash.find("first"), std::string::npos);
  // Only the holder of the pass meets the connected agent, with its effect on the agent's age.
  Tables().SetKeepAliveInterval(1, 60);
  EXPECT_EQ(Connect(wss_, 2, "/agt?01000001 other__________"), "CW00000000" "0  " "MSG:Disconnected. Invalid CustPass");
  EXPECT_EQ(Customer(1).aging, 0);
  EXPECT_EQ(Connect(ws_, 3, "/agt?01000001 first__________"), "CW00000000" "0  " "MSG:Connection Exist.");
  EXPECT_EQ(Customer(1).aging, 60);

  // Unpinned in the table and reloaded: the next agent pins its own pass.
  Run(ws_.Close(1, 1000));
  dir_.Sql("UPDATE Customer SET AgentPassHash = NULL");
  ASSERT_TRUE(Reload());
  EXPECT_EQ(Connect(ws_, 6, "/agt?01000001 second__________"), "CW01000001" "0  " "Connection Accepted");
  EXPECT_NE(StoredPassHash(dir_, "01000001"), hash);
}

// Without the setting, or on a database made before pinning, agents are admitted as they always
// were: any pass, nothing pinned.
TEST_F(BrokerTest, WithoutPinningAnyPassIsAdmitted) {
  const std::vector<std::vector<std::string>> databases{
      {"UPDATE General_Settings SET PinAgentPass = NULL"},
      {"ALTER TABLE General_Settings DROP COLUMN PinAgentPass", "ALTER TABLE Customer DROP COLUMN AgentPassHash"}};
  for (const auto& statements : databases) {
    SCOPED_TRACE(statements.back());
    for (const auto& sql : statements) dir_.Sql(sql);
    ASSERT_TRUE(Reload());
    EXPECT_EQ(Connect(ws_, 1, "/agt?01000001 first__________"), "CW01000001" "0  " "Connection Accepted");
    Run(ws_.Close(1, 1000));
    EXPECT_EQ(Connect(ws_, 2, "/agt?01000001 other__________"), "CW01000001" "0  " "Connection Accepted");
    Run(ws_.Close(2, 1000));
  }
  EXPECT_EQ(Events().find("Pinned"), std::string::npos);
}

}  // namespace
}  // namespace vantor::testing

namespace vantor::testing {
namespace {

// Each open request counts once, under the outcome its first message tells.
TEST_F(BrokerTest, AdmissionsAreCountedByOutcome) {
  const struct {
    std::string uri;
    AdmissionOutcome outcome;
  } cases[] = {
      {"/agt?01000001 p__________", AdmissionOutcome::kAccepted},
      {"/agt?01000001 p__________", AdmissionOutcome::kConnectionExists},
      {"/mob?01000001 x__________", AdmissionOutcome::kInvalidPass},
      {"/mob?02000002 q__________", AdmissionOutcome::kAgentNotConnected},
      {"/agt?03000003 r__________", AdmissionOutcome::kNotEnabled},
      {"/agt?04000004 s__________", AdmissionOutcome::kNotFound},
      {"/status", AdmissionOutcome::kInvalidPath},
  };
  ConnectionId id = 1;
  for (const auto& c : cases) {
    const auto before = broker_.counts().admissions;
    Connect(ws_, id++, c.uri);
    auto expected = before;
    ++expected[static_cast<std::size_t>(c.outcome)];
    EXPECT_EQ(broker_.counts().admissions, expected) << c.uri;
  }
}

}  // namespace
}  // namespace vantor::testing
