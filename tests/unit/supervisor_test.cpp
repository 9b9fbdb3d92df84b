#include "broker_fixture.hpp"
#include "logging/backup.hpp"
#include "logging/connection_reports.hpp"
#include "supervision/supervisor.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

namespace vantor::testing {
namespace {

using namespace std::chrono_literals;

class SupervisorTest : public BrokerTest {
 protected:
  SupervisorTest()
      : supervisor_(SupervisorContext{clock_, pool_, log_, broker_, dir_.path(), debug_, lastHour_,
                                      SupervisionJobs{
                                          [this](std::string id) -> asio::awaitable<void> {
                                            alarms_.push_back(id + "@" + std::to_string(ticks_));
                                            co_return;
                                          },
                                          [this](int hour) -> asio::awaitable<void> {
                                            testMessages_.push_back(hour);
                                            co_return;
                                          }}}) {
    Connect(ws_, 1, "/agt?01000001 p__________");
    Connect(ws_, 2, "/mob?01000001 p__________");
    TakeSent(ws_);
  }

  void Tick(int count = 1) {
    for (int i = 0; i < count; ++i) {
      ++ticks_;
      Run(supervisor_.timer1());
    }
  }
  // Messages counted for the agent of `slot` as relayed (through a free mobile slot).
  void Traffic(int slot, int received, int sent) {
    for (int i = 0; i < received; ++i) Tables().CountRequest(slot, kMobileSlots);
    for (int i = 0; i < sent; ++i) Tables().CountAnswer(slot, kMobileSlots);
  }
  void RoundTrips(int slot, int count, std::int32_t each) {
    for (int i = 0; i < count; ++i) Tables().RecordKeepAlive(slot, each);
  }
  int Count(const std::string& text) {
    const std::string events = Events();
    int n = 0;
    for (auto pos = events.find(text); pos != std::string::npos; pos = events.find(text, pos + 1)) ++n;
    return n;
  }

  WorkerPool pool_{1};
  std::int16_t lastHour_ = 10;
  int ticks_ = 0;
  std::vector<std::string> alarms_;
  std::vector<int> testMessages_;
  Supervisor supervisor_;
};

TEST_F(SupervisorTest, SilentAgentDroppedAtAgingNinetyWithAlarmByInterval) {
  Tables().SetKeepAliveInterval(1, 30);
  Tick(3);
  EXPECT_EQ(Customer(1).aging, 90);
  EXPECT_TRUE(ws_.disconnected.empty());
  Tick();  // finds aging 90
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{1}));
  EXPECT_EQ(Customer(1).connection.id, 0);
  EXPECT_EQ(Count("\t2\tfrmVantorWebSrv_timer1\tAlpha Ltd Disconnected From Server Due To No Keep-Alive Messages\r\n"), 1);
  EXPECT_EQ(alarms_, (std::vector<std::string>{"01000001@4"}));
  EXPECT_FALSE(Customer(1).bcaWaitState);

  // Interval 60: pending at the drop, alarm three ticks later. Interval 0: one tick later.
  for (auto [interval, expectedTick] : std::vector<std::pair<int, int>>{{60, 3}, {0, 1}}) {
    alarms_.clear();
    Connect(ws_, 1, "/agt?01000001 p__________");
    Tables().SetKeepAliveInterval(1, static_cast<std::int16_t>(interval));
    Tables().AgeAgent(1, 90);
    const int dropTick = ticks_ + 1;
    Tick();
    EXPECT_TRUE(Customer(1).bcaWaitState);
    EXPECT_TRUE(alarms_.empty());
    Tick(expectedTick);
    EXPECT_EQ(alarms_, (std::vector<std::string>{"01000001@" + std::to_string(dropTick + expectedTick)}))
        << interval;
    EXPECT_FALSE(Customer(1).bcaWaitState);
  }
}

TEST_F(SupervisorTest, RecordFreedDuringTheDropStillGetsItsAlarmAndANewAgentIsLeftAlone) {
  Tables().SetKeepAliveInterval(1, 30);
  Tables().AgeAgent(1, 90);
  // The agent's own disconnect event arrives while the drop event pauses.
  clock_.onWait = [&](std::chrono::milliseconds d) {
    if (d == 500ms) asio::co_spawn(io_, ws_.Close(1, 1006), asio::detached);
  };
  Tick();
  EXPECT_TRUE(ws_.disconnected.empty());  // nothing left to disconnect
  EXPECT_EQ(alarms_.size(), 1u);
  clock_.onWait = nullptr;
  Tick(3);  // the alarm the disconnect event started is the one sent
  EXPECT_EQ(alarms_.size(), 1u);

  // This time a new agent takes the slot during the pause: it keeps its connection.
  alarms_.clear();
  Connect(ws_, 4, "/agt?01000001 p__________");
  Tables().AgeAgent(1, 90);
  clock_.onWait = [&](std::chrono::milliseconds d) {
    if (d != 500ms) return;
    clock_.onWait = nullptr;
    asio::co_spawn(io_, [&]() -> asio::awaitable<void> {
      co_await ws_.Close(4, 1006);
      co_await ws_.Connect(5, "/agt?01000001 p__________");
    }, asio::detached);
  };
  Tick();
  EXPECT_EQ(Customer(1).connection.id, 5);
  EXPECT_TRUE(ws_.disconnected.empty());
  EXPECT_TRUE(alarms_.empty());
}

// An agent that keeps the interval it announced is never dropped: the limit is the larger of 90 and
// the interval plus one tick's step, and the connection's idle limit follows the interval.
TEST_F(SupervisorTest, DropLimitHonoursTheAnnouncedInterval) {
  Run(ws_.Close(2, 1000));  // the mobile would be dropped within these ticks
  Receive(ws_, 1, "CA01000001" "0  " "VER:3.10 KEEPALIVE:150");
  EXPECT_EQ(ws_.idleLimits[1], 150'007ms);
  Tick(6);
  EXPECT_EQ(Customer(1).connection.id, 1);
  Tick();
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{1}));
  Connect(ws_, 3, "/agt?01000001 p__________");
  Receive(ws_, 3, "CA01000001" "0  " "VER:3.10 KEEPALIVE:60");
  Tick(3);
  EXPECT_EQ(Customer(1).connection.id, 3);
  Tick();
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{1, 3}));
  EXPECT_EQ(Supervisor::AgentIdleLimit(30, 30s), 180s);  // two ticks after the latest drop (120 s)
}

// An agent whose connection breaks raises its alarm after the wait, unless it comes back and
// announces its version; its own normal close and the service's disconnect raise none.
TEST_F(SupervisorTest, BrokenConnectionAlarmsUnlessTheAgentComesBack) {
  Receive(ws_, 1, "CA01000001" "0  " "VER:3.10 KEEPALIVE:30");
  Run(ws_.Close(1, kAbnormalClosure, "connection reset"));
  Tick();
  EXPECT_TRUE(alarms_.empty());
  Tick();
  EXPECT_EQ(alarms_, (std::vector<std::string>{"01000001@2"}));

  Connect(ws_, 3, "/agt?01000001 p__________");
  Run(ws_.Close(3, kAbnormalClosure, "connection reset"));
  Tick();
  Connect(ws_, 4, "/agt?01000001 p__________");
  Receive(ws_, 4, "CA01000001" "0  " "VER:3.10 KEEPALIVE:30");
  Run(ws_.Close(4, 1000));
  Connect(ws_, 5, "/agt?01000001 p__________");
  Run(ws_.Close(5, kClosedByServer));
  Tick(4);
  EXPECT_EQ(alarms_.size(), 1u);
  EXPECT_FALSE(Customer(1).bcaWaitState);
}

TEST_F(SupervisorTest, IdleMobileToldAndDroppedAtTheEleventhTick) {
  Tables().AgeAgent(1, -100000);  // keep the agent out of the way
  Tick(10);
  EXPECT_EQ(Mobile(1).aging, 300);
  EXPECT_TRUE(TakeSent(ws_).empty());
  Tick();
  EXPECT_EQ(TakeSent(ws_), (std::vector<Sent>{{2, "CW01000001" "0  " "MSG:Disconnected Due To\r\nInactive > 5 Minutes."}}));
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{2}));
  EXPECT_EQ(Mobile(1).connection.id, 0);
  EXPECT_EQ(Events().find("Alpha Ltd"), std::string::npos);  // no event for a mobile drop
}

TEST_F(SupervisorTest, HourlyBalanceAndRoundTripChecks) {
  Connect(ws_, 7, "/agt?02000002 p__________");
  Traffic(1, 5, 3);      // differs by 2: no event
  Traffic(2, 3, 6);      // differs by 3
  RoundTrips(1, 3, 1000);  // 1000: kept, samples cleared
  RoundTrips(2, 2, 1001);  // 1001: dropped without alarm
  Tick();  // same hour: nothing
  EXPECT_EQ(Customer(1).rttCount, 3);
  clock_.Set(LocalTimePoint(2026, 4, 1, 11, 0, 5));
  Tick();
  EXPECT_EQ(Count("PktDiff"), 1);
  EXPECT_EQ(Count("\t2\tfrmVantorWebSrv_timer1\tBeta Ltd PktDiff: Sent=6 Recv=3\r\n"), 1);
  EXPECT_EQ(Count("\t2\tfrmVantorWebSrv_timer1\tBeta Ltd RTT: 1001, Disconnected From Server Due To Long Keep-Alive RTT\r\n"), 1);
  EXPECT_EQ(Customer(1).rttCount, 0);
  EXPECT_EQ(Customer(1).connection.id, 1);
  EXPECT_EQ(Customer(2).connection.id, 0);
  EXPECT_EQ(ws_.disconnected, (std::vector<ConnectionId>{7}));
  EXPECT_TRUE(alarms_.empty());
  EXPECT_EQ(testMessages_, (std::vector<int>{11}));
  EXPECT_EQ(lastHour_, 11);
  Tick();
  EXPECT_EQ(testMessages_.size(), 1u);  // once per hour
}

TEST_F(SupervisorTest, FirstTickAfterMidnightRunsTheDailyJobs) {
  debug_ = true;
  dir_.Sql("UPDATE General_Settings SET DebugMode = 1");
  lastHour_ = 23;
  clock_.Set(LocalTimePoint(2027, 1, 1, 0, 0, 20));
  WriteFile(dir_.path() / "Debug" / "Ws9.txt", "trace");
  WriteFile(dir_.path() / "Backup" / "VantorWeb-12-29.mdb", "old");
  WriteFile(dir_.path() / "Debug" / "AppEvent.txt", "2026-10-01 00:00:00\t3\tm_p\told event\r\n");
  Traffic(1, 4, 4);
  RoundTrips(1, 1, 30);
  Tick();
  EXPECT_EQ(testMessages_, (std::vector<int>{0}));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "Ws9.txt"));
  EXPECT_EQ(Events().find("old event"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "Backup" / "VantorWeb-12-31.mdb"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Backup" / "VantorWeb-12-29.mdb"));
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "AgentTraffic.txt"),
            "TimePeriod\tCustomer\tFrom IpAddress\tLast Reconnect Time\tRecv\tSent\tRTT\tCompany\r\n"
            // The hourly check earlier in the same tick has already cleared the RTT samples.
            "2026-12-31\t01000001\t10.0.0.1\t4/1/2026 10:00:00 AM\t4\t4\t0\tAlpha Ltd\r\n");
  EXPECT_EQ(Customer(1).pktRecv + Customer(1).pktSent + Customer(1).rttSum + Customer(1).rttCount, 0);
  EXPECT_EQ(lastHour_, 0);
  RoundTrips(1, 1, 30);
  EXPECT_EQ(AgentTrafficLine(broker_.tables(), 1, clock_.Now()),
            "2026-12-31\t01000001\t10.0.0.1\t4/1/2026 10:00:00 AM\t0\t0\t30\tAlpha Ltd\r\n");

}

TEST_F(SupervisorTest, FailingStepEndsTheTickBeforeTheHourIsUpdated) {
  // The pending-alarm wait of customer 2 would leave its 16 bits.
  Tables().SetKeepAliveInterval(2, 32767);
  Tables().StartAlarmWait(2);
  Tables().AdvanceAlarmWait(2, 32750);
  clock_.Set(LocalTimePoint(2026, 4, 1, 11, 0, 5));
  Tick();
  EXPECT_EQ(Count("\t1\tfrmVantorWebSrv_timer1\tOverflow\r\n"), 1);
  EXPECT_EQ(lastHour_, 10);
  EXPECT_TRUE(testMessages_.empty());
}

TEST_F(SupervisorTest, ExtraReportWhileTheTriggerFileExists) {
  Tables().StartAlarmWait(2);
  Tables().AdvanceAlarmWait(2, 30);
  WriteFile(dir_.path() / "Log" / "ExtraLog.txt", "");
  Tick();
  EXPECT_EQ(ReadFile(dir_.path() / "Log" / "ExtraLog.txt"),
            "\r\n***********************************\r\n2026-04-01 10:00:00\r\n----- Customer -----\r\n"
            "custID\t\tconnType\tconnID\tconnStartTime\t\taging\tconnIpAddr\tbcaWaitState\tbcaWaitTime\r\n"
            "01000001\tws\t\t1\t4/1/2026 10:00:00 AM\t0\t10.0.0.1\tFalse\t0\r\n"
            "02000002\t\t\t0\t1/1/2000\t0\t0.0.0.0\tTrue\t30\r\n"
            "\r\n----- Mobile -----\r\n"
            "custID\t\tconnType\tconnID\tconnStartTime\t\taging\tconnIpAddr\r\n"
            "01000001\tws\t\t2\t4/1/2026 10:00:00 AM\t0\t10.0.0.2\r\n");
  std::filesystem::remove(dir_.path() / "Log" / "ExtraLog.txt");
  Tick();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Log" / "ExtraLog.txt"));
}

TEST(Backup, NamedAfterTheDayThatEndedAndAtomic) {
  EXPECT_EQ(BackupFileName(LocalTimePoint(2027, 1, 1, 0, 0, 20)), "VantorWeb-12-31.mdb");
  EXPECT_EQ(BackupFileName(LocalTimePoint(2026, 3, 14, 0, 0, 20)), "VantorWeb-03-13.mdb");

  TempProgramDir dir;
  dir.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES ('01000001', 1, 'Alpha')");
  asio::io_context io;
  FakeClock clock(LocalTimePoint(2026, 3, 15, 0, 0, 20));
  AppEventLog log(clock, dir.path());
  WorkerPool pool(1);
  WriteFile(dir.path() / "Backup" / "VantorWeb-03-12.mdb", "x");
  WriteFile(dir.path() / "Backup" / "VantorWeb-03-13.mdb", "y");
  RunToEnd(io, BackupDatabase(clock, pool, log, dir.path()));
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir.path() / "Backup")) names.push_back(e.path().filename());
  EXPECT_EQ(names, (std::vector<std::string>{"VantorWeb-03-14.mdb"}));
  // The copy is a readable database holding the customer.
  DbStatus status;
  auto copy = Database::Open(dir.path() / "Backup" / "VantorWeb-03-14.mdb", Database::Mode::kReadWrite, status);
  ASSERT_TRUE(copy) << status.error;
  std::vector<DbRow> rows;
  ASSERT_TRUE(copy->Query("SELECT Company FROM Customer", {}, rows));
  EXPECT_EQ(std::get<std::string>(rows.at(0).values[0]), "Alpha");

  // A copy that fails half-way keeps the backup there is and leaves no partial file.
  WriteFile(dir.database(), std::string(8192, 'x'));
  clock.Set(LocalTimePoint(2026, 3, 16, 0, 0, 20));
  RunToEnd(io, BackupDatabase(clock, pool, log, dir.path()));
  names.clear();
  for (auto& e : std::filesystem::directory_iterator(dir.path() / "Backup")) names.push_back(e.path().filename());
  EXPECT_EQ(names, (std::vector<std::string>{"VantorWeb-03-14.mdb"}));
  EXPECT_NE(ReadFile(log.file()).find("\t1\tmodVantorWebSrv_BackupDatabase\tBackup failed: "), std::string::npos);
}

}  // namespace
}  // namespace vantor::testing
