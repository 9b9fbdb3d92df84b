#include "service_fixture.hpp"

namespace vantor {
namespace {

using namespace std::chrono_literals;

class ServiceStateTest : public testing::ServiceTest {
 protected:
  ServiceStateTest() {
    // The listeners are off here; their start-up has tests of its own.
    dir_.Sql("UPDATE General_Settings SET SnmpEnabled = 0, WsEnabled = 0, WssEnabled = 0");
  }
  Service& service_ = service();
};

TEST_F(ServiceStateTest, StartClearsTracesReadsSettingsAndLogsOnce) {
  testing::WriteFile(dir_.path() / "Debug" / "Ws5.txt", "old trace");
  dir_.Sql("UPDATE General_Settings SET ProgVersion = '3.2', DebugMode = 1");
  service_.PostState(kStateStart);
  service_.PostState(kStateStart);  // a second start in the same process does nothing
  service_.PostState(7);            // unknown states are ignored (pause and resume are logged)
  Run();

  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "Ws5.txt"));
  for (const char* column : {"SnmpStatus", "WsStatus", "WssStatus"}) EXPECT_EQ(Setting(column), "Not Started");
  EXPECT_EQ(testing::ReadFile(dir_.path() / "Debug" / "Services.txt"),
            "############ SNMP Agent Started ###########\r\nNot Started\r\n\r\n"
            "########### WS Server Started ############\r\nNot Started\r\n\r\n"
            "########### WSS Server Started ############\r\nNot Started\r\n\r\n");
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 3.2"}));
  const RunInfo& run = service_.run();
  EXPECT_EQ(run.progVersion, "3.2");
  EXPECT_TRUE(run.debugMode);
  EXPECT_EQ(run.connectionText, service_.databaseFile().string());
  EXPECT_EQ(run.startTime, testing::LocalTimePoint(2026, 5, 4, 13, 59, 58));
  EXPECT_EQ(run.lastHour, 13);
  EXPECT_TRUE(service_.timerEnabled());
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none", "READY"}));
  EXPECT_EQ(host_.logged, (std::vector<std::string>{"<4>No listener is enabled: the service serves nobody\n"}));
  EXPECT_EQ(service_.exitCode(), 0);
}

TEST_F(ServiceStateTest, StartWithUnreadableDatabaseLogsOneErrorAndEndsWithAFailure) {
  dir_.Sql("UPDATE General_Settings SET DebugMode = NULL");
  service_.PostState(kStateStart);
  Run();
  EXPECT_FALSE(service_.timerEnabled());
  // Never ready; the journal gets the level-1 events and the process a failing status.
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none"}));
  EXPECT_EQ(host_.logged,
            (std::vector<std::string>{
                "<3>frmVantorWebSrv_dartSvc_State: Invalid use of Null (General_Settings.DebugMode)\n",
                "<3>frmVantorWebSrv_dartSvc_State: Service Ended: Start Failed\n"}));
  EXPECT_EQ(service_.exitCode(), 1);
  EXPECT_EQ(stopped_, 1);
  EXPECT_EQ(Setting("ProgVersion"), "1.0.0");  // the database is not touched by a failed start
}

// The stop's event and the statuses it resets are checked against the real service.
TEST_F(ServiceStateTest, StopLetsQueuedEventsRunAndEndsTheService) {
  Start();
  SystemTime stopEvent{}, end{};
  service_.OnStopped([&] { end = clock_.Now(); });
  clock_.onWait = [&](std::chrono::milliseconds) {
    if (stopEvent == SystemTime{} && Events().size() == 2) stopEvent = clock_.Now();
  };
  service_.PostState(kStateStop);
  Run();

  // The stop gives the events queued around the closes time to run: more than a second passes
  // between the pause after its own event and the end.
  EXPECT_GE(end - stopEvent, 1200ms);
  EXPECT_FALSE(service_.timerEnabled());
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none", "READY", "STOPPING"}));
}

}  // namespace
}  // namespace vantor
