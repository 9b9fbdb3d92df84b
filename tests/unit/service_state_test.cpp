#include "service_fixture.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;
using testing::LocalTimePoint;
using testing::ReadFile;
using testing::TempProgramDir;
using testing::WriteFile;

class ServiceStateTest : public testing::ServiceTest {
 protected:
  ServiceStateTest() {
    // The listeners are off here; their start-up has tests of its own.
    dir_.Sql("UPDATE General_Settings SET SnmpEnabled = 0, WsEnabled = 0, WssEnabled = 0");
  }
  Service& service_ = service();
};

TEST_F(ServiceStateTest, StartClearsTracesReadsSettingsAndLogsOnce) {
  WriteFile(dir_.path() / "Debug" / "Ws5.txt", "old trace");
  dir_.Sql("UPDATE General_Settings SET ProgVersion = '3.2', DebugMode = 1");
  service_.PostState(kStateStart);
  service_.PostState(kStateStart);  // a second start in the same process does nothing
  Run();

  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "Ws5.txt"));
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 3.2"}));
  EXPECT_EQ(service_.progVersion(), "3.2");
  EXPECT_TRUE(service_.debugMode());
  EXPECT_EQ(service_.connectionText(), service_.databaseFile().string());
  EXPECT_EQ(service_.startTime(), LocalTimePoint(2026, 5, 4, 13, 59, 58));
  EXPECT_EQ(service_.lastHour(), 13);
  EXPECT_TRUE(service_.timerEnabled());
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none", "READY"}));
  EXPECT_EQ(host_.logged, (std::vector<std::string>{"<4>No listener is enabled: the service serves nobody\n"}));
  EXPECT_EQ(service_.exitCode(), 0);
}

TEST_F(ServiceStateTest, StartWithUnreadableDatabaseLogsOneErrorAndEndsWithAFailure) {
  dir_.Sql("UPDATE General_Settings SET DebugMode = NULL");
  service_.PostState(kStateStart);
  Run();
  EXPECT_EQ(Events(),
            (std::vector<std::string>{
                "1\tfrmVantorWebSrv_dartSvc_State\tInvalid use of Null (General_Settings.DebugMode)",
                "1\tfrmVantorWebSrv_dartSvc_State\tService Ended: Start Failed"}));
  EXPECT_FALSE(service_.timerEnabled());
  // Never ready; the journal gets the reason and the process a failing status.
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none"}));
  EXPECT_EQ(host_.logged,
            (std::vector<std::string>{
                "<3>frmVantorWebSrv_dartSvc_State: Invalid use of Null (General_Settings.DebugMode)\n",
                "<3>frmVantorWebSrv_dartSvc_State: Service Ended: Start Failed\n"}));
  EXPECT_EQ(service_.exitCode(), 1);
  EXPECT_EQ(stopped_, 1);

  // The database is not touched by a failed start.
  EXPECT_EQ(std::get<std::string>(dir_.SettingValue("ProgVersion")), "1.0.0");
}

TEST_F(ServiceStateTest, StopResetsStatusesWithItsPausesAndEndsTheService) {
  dir_.Sql("UPDATE General_Settings SET SnmpStatus = 'x' || char(13,10) || 'SNMP Agent Started', "
           "WsStatus = 'started', WssStatus = 'started'");
  service_.PostState(kStateStart);
  service_.PostState(kStateStop);  // queued behind the start
  Run();

  EXPECT_EQ(Events(),
            (std::vector<std::string>{"3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 1.0.0",
                                      "3\tfrmVantorWebSrv_dartSvc_State\tService Stopped"}));
  for (const char* column : {"SnmpStatus", "WsStatus", "WssStatus"}) {
    EXPECT_EQ(std::get<std::string>(dir_.SettingValue(column)), "Not Started") << column;
  }
  // Start (the SNMP branch's pause, the start event), then the stop: its event and the pauses
  // around the three closes.
  EXPECT_EQ(clock_.waits(),
            (std::vector<std::chrono::milliseconds>{500ms, 500ms, 500ms, 500ms, 100ms, 100ms, 500ms}));
  EXPECT_FALSE(service_.timerEnabled());
  EXPECT_EQ(stopped_, 1);
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"STATUS=Listening: none", "READY", "STOPPING"}));
}

TEST_F(ServiceStateTest, PauseAndResumeAreOnlyLogged) {
  service_.PostState(kStateStart);
  service_.PostState(kStatePause);
  service_.PostState(kStateResume);
  service_.PostState(7);  // unknown states are ignored
  Run();
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 1.0.0",
                                      "3\tfrmVantorWebSrv_dartSvc_State\tPause Not Implemented",
                                      "3\tfrmVantorWebSrv_dartSvc_State\tResume Not Implemented"}));
  EXPECT_TRUE(service_.timerEnabled());
  EXPECT_EQ(stopped_, 0);
}

TEST_F(ServiceStateTest, StopWaitsForRunningWorkWithinItsLimit) {
  service_.PostState(kStateStart);
  Run();
  auto work = std::make_unique<Service::WorkScope>(service_);
  service_.PostState(kStateStop);
  // Let the stop sequence run to the wait, then finish the work and let the stop complete.
  for (int i = 0; i < 200 && stopped_ == 0; ++i) io_.poll_one();
  EXPECT_EQ(stopped_, 0);
  work.reset();
  Run();
  EXPECT_EQ(stopped_, 1);
}

}  // namespace
}  // namespace vantor
