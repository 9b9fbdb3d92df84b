#include "fakes/fake_clock.hpp"
#include "fakes/fake_service_host.hpp"
#include "service/service.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FakeServiceHost;
using testing::LocalTimePoint;
using testing::ReadFile;
using testing::TempProgramDir;
using testing::WriteFile;

// The event texts of Debug/AppEvent.txt without their timestamps.
std::vector<std::string> EventsWithoutTime(const std::filesystem::path& dir) {
  std::vector<std::string> events;
  std::string text = ReadFile(dir / "Debug" / "AppEvent.txt");
  std::size_t start = 0;
  for (auto end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    events.push_back(text.substr(start + 20, end - start - 20));
    start = end + 2;
  }
  return events;
}

class ServiceStateTest : public ::testing::Test {
 protected:
  ServiceStateTest()
      : clock_(LocalTimePoint(2026, 5, 4, 13, 59, 58)),
        service_(io_, clock_, pool_, host_, dir_.path()) {
    service_.OnStopped([&] { ++stopped_; });
  }

  void Run() {
    io_.run();
    io_.restart();
  }

  TempProgramDir dir_;
  asio::io_context io_;
  FakeClock clock_;
  WorkerPool pool_{1};
  FakeServiceHost host_;
  Service service_;
  int stopped_ = 0;
};

TEST_F(ServiceStateTest, StartClearsTracesReadsSettingsAndLogsOnce) {
  WriteFile(dir_.path() / "Debug" / "Ws5.txt", "old trace");
  dir_.Sql("UPDATE General_Settings SET ProgVersion = '3.2', DebugMode = 1");
  service_.PostState(kStateStart);
  service_.PostState(kStateStart);  // a second start in the same process does nothing
  Run();

  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "Debug" / "Ws5.txt"));
  EXPECT_EQ(EventsWithoutTime(dir_.path()),
            (std::vector<std::string>{"3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 3.2"}));
  EXPECT_EQ(service_.progVersion(), "3.2");
  EXPECT_TRUE(service_.debugMode());
  EXPECT_EQ(service_.connectionText(), service_.databaseFile().string());
  EXPECT_EQ(service_.startTime(), LocalTimePoint(2026, 5, 4, 13, 59, 58));
  EXPECT_EQ(service_.lastHour(), 13);
  EXPECT_TRUE(service_.timerEnabled());
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"READY"}));
}

TEST_F(ServiceStateTest, StartWithUnreadableDatabaseLogsOneErrorAndStaysIdle) {
  dir_.Sql("UPDATE General_Settings SET DebugMode = NULL");
  service_.PostState(kStateStart);
  Run();
  EXPECT_EQ(EventsWithoutTime(dir_.path()),
            (std::vector<std::string>{
                "1\tfrmVantorWebSrv_dartSvc_State\tInvalid use of Null (General_Settings.DebugMode)"}));
  EXPECT_FALSE(service_.timerEnabled());
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"READY"}));

  // The database is not touched by a failed start.
  EXPECT_EQ(std::get<std::string>(dir_.SettingValue("ProgVersion")), "1.0.0");
}

TEST_F(ServiceStateTest, StopResetsStatusesWithItsPausesAndEndsTheService) {
  dir_.Sql("UPDATE General_Settings SET SnmpStatus = 'x' || char(13,10) || 'SNMP Agent Started', "
           "WsStatus = 'started', WssStatus = 'started'");
  service_.PostState(kStateStart);
  service_.PostState(kStateStop);  // queued behind the start
  Run();

  EXPECT_EQ(EventsWithoutTime(dir_.path()),
            (std::vector<std::string>{"3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 1.0.0",
                                      "3\tfrmVantorWebSrv_dartSvc_State\tService Stopped"}));
  for (const char* column : {"SnmpStatus", "WsStatus", "WssStatus"}) {
    EXPECT_EQ(std::get<std::string>(dir_.SettingValue(column)), "Not Started") << column;
  }
  // Start event, then the stop: its event and the pauses between the three closes.
  EXPECT_EQ(clock_.waits(),
            (std::vector<std::chrono::milliseconds>{500ms, 500ms, 500ms, 100ms, 100ms, 500ms}));
  EXPECT_FALSE(service_.timerEnabled());
  EXPECT_EQ(stopped_, 1);
  EXPECT_EQ(host_.notes, (std::vector<std::string>{"READY", "STOPPING"}));
}

TEST_F(ServiceStateTest, PauseAndResumeAreOnlyLogged) {
  service_.PostState(kStateStart);
  service_.PostState(kStatePause);
  service_.PostState(kStateResume);
  service_.PostState(7);  // unknown states are ignored
  Run();
  EXPECT_EQ(EventsWithoutTime(dir_.path()),
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
