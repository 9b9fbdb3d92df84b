#include "fakes/fake_clock.hpp"
#include "logging/app_event.hpp"
#include "logging/debug_cleanup.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using testing::FakeClock;
using testing::LocalTimePoint;
using testing::ReadFile;
using testing::RunToEnd;
using testing::TempProgramDir;
using testing::WriteFile;

TEST(AppEvent, WritesOneEscapedCrLfLinePausesAndThenTraps) {
  TempProgramDir dir(false);
  asio::io_context io;
  FakeClock clock(LocalTimePoint(2026, 3, 14, 9, 5, 7));
  AppEventLog log(clock, dir.path());
  std::vector<std::string> traps;
  auto lastTrap = clock.Now();
  log.SetTrapSink([&](const AppEventRecord& r) {
    // Each event's pause comes before its trap, so traps never go out back to back.
    EXPECT_GT(clock.Now(), lastTrap);
    lastTrap = clock.Now();
    traps.push_back(std::string(r.module) + "|" + std::string(r.procedure) + "|" +
                    std::string(r.text) + "|" + std::to_string(r.level));
  });
  const std::string longText(300, 'x');
  RunToEnd(io, [&]() -> asio::awaitable<void> {
    co_await log.AppEvent(kFormModule, "dartSvc_State", "Service Stopped", kLevelInfo);
    co_await log.AppEvent(kCodeModule, "ServiceOpen", longText, kLevelError);
  });
  // Line breaks and tabs in a text cannot split the line or its columns.
  ASSERT_TRUE(log.WriteLine(kCodeModule, "X", "a\r\nb\nc\rd\te", kLevelError));
  // The second line carries the time after the first event's pause, and all 300 characters.
  EXPECT_EQ(ReadFile(log.file()),
            "2026-03-14 09:05:07\t3\tfrmVantorWebSrv_dartSvc_State\tService Stopped\r\n"
            "2026-03-14 09:05:07\t1\tmodVantorWebSrv_ServiceOpen\t" + longText + "\r\n"
            "2026-03-14 09:05:08\t1\tmodVantorWebSrv_X\ta\\r\\nb\\nc\\rd\\te\r\n");
  ASSERT_EQ(traps.size(), 2u);
  EXPECT_EQ(traps[0], "frmVantorWebSrv|dartSvc_State|Service Stopped|3");
}

TEST(AppEvent, UnwritableFileIsSilentAndSendsNoTrap) {
  TempProgramDir dir(false);
  asio::io_context io;
  const auto start = LocalTimePoint(2026, 1, 2);
  FakeClock clock(start);
  // Two folders missing: only the last level of a path is ever made again.
  AppEventLog log(clock, dir.path() / "gone");
  int traps = 0;
  log.SetTrapSink([&](const AppEventRecord&) { ++traps; });
  RunToEnd(io, log.AppEvent(kCodeModule, "X", "lost", kLevelInfo));
  EXPECT_FALSE(std::filesystem::exists(log.file()));
  EXPECT_EQ(traps, 0);
  EXPECT_GT(clock.Now(), start);  // the pause still happens
}

std::chrono::year_month_day Date(int y, unsigned m, unsigned d) {
  return std::chrono::year_month_day{std::chrono::year(y), std::chrono::month(m), std::chrono::day(d)};
}

TEST(EventLogAging, SixtyDayBoundaryShortAndUndatedLines) {
  const std::vector<std::string> lines{
      "garbage at the top, kept",
      "2026-09-01 10:00:00\t3\tm_p\told",
      "continuation of old",
      "short",
      "2026-09-02 10:00:00\t3\tm_p\tyounger",
      "continuation of younger",
      "2027-01-01 10:00:00\t3\tm_p\tfuture date (clock set back), kept",
  };
  // 2026-09-01 is 59 days before 2026-10-30 and 60 days before 2026-10-31.
  EXPECT_EQ(KeepRecentEventLines(lines, Date(2026, 10, 30)),
            (std::vector<std::string>{lines[0], lines[1], lines[2], lines[4], lines[5], lines[6]}));
  EXPECT_EQ(KeepRecentEventLines(lines, Date(2026, 10, 31)),
            (std::vector<std::string>{lines[0], lines[4], lines[5], lines[6]}));
}

TEST(EventLogAging, RunRewritesFileAndMergesStaleBackup) {
  TempProgramDir dir(false);
  asio::io_context io;
  FakeClock clock(LocalTimePoint(2026, 10, 31));
  AppEventLog log(clock, dir.path());
  const auto debug = dir.path() / "Debug";
  WriteFile(debug / "AppEvent.bak", "2026-09-01 00:00:00\t3\tm_p\tstale old\r\n"
                                    "2026-10-01 00:00:00\t3\tm_p\tstale recent\r\n");
  WriteFile(debug / "AppEvent.txt", "2026-10-30 00:00:00\t3\tm_p\tcurrent\r\n");
  const std::string kept = "2026-10-01 00:00:00\t3\tm_p\tstale recent\r\n2026-10-30 00:00:00\t3\tm_p\tcurrent\r\n";
  RunToEnd(io, ClearDebugDir_AE(dir.path(), Date(2026, 10, 31), log));
  EXPECT_EQ(ReadFile(debug / "AppEvent.txt"), kept);
  EXPECT_FALSE(std::filesystem::exists(debug / "AppEvent.bak"));
  EXPECT_FALSE(std::filesystem::exists(debug / "AppEvent.new"));

  // A run interrupted after the rename leaves only the .bak: its lines are carried over.
  std::filesystem::rename(debug / "AppEvent.txt", debug / "AppEvent.bak");
  RunToEnd(io, ClearDebugDir_AE(dir.path(), Date(2026, 10, 31), log));
  EXPECT_EQ(ReadFile(debug / "AppEvent.txt"), kept);
}

TEST(DebugCleanup, DeletesOnlyTracePatternsAndToleratesMissingFolders) {
  TempProgramDir dir(false);
  asio::io_context io;
  FakeClock clock(LocalTimePoint(2026, 1, 1));
  AppEventLog log(clock, dir.path());
  const auto debug = dir.path() / "Debug";
  for (const char* name : {"Ws12.txt", "Test1.txt", "AppEvent.txt", "ws1.txt", "Ws1.log", "Services.txt"})
    WriteFile(debug / name, "x");
  std::filesystem::remove_all(dir.path() / "KeepAlive");
  RunToEnd(io, ClearDebugDir(dir.path(), log));
  std::vector<std::string> left;
  for (auto& entry : std::filesystem::directory_iterator(debug)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  // AppEvent.txt is untouched and no failure event was written into it.
  EXPECT_EQ(left, (std::vector<std::string>{"AppEvent.txt", "Services.txt", "Ws1.log", "ws1.txt"}));
  EXPECT_EQ(ReadFile(debug / "AppEvent.txt"), "x");
}

}  // namespace
}  // namespace vantor
