// The database writer against a real database file that another connection locks. These tests
// wait on real time (a lock held for a few hundred milliseconds), with shortened retry and
// stall-report times.
#include "platform/db/database_writer.hpp"
#include "test_support.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

namespace vantor {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::RunToEnd;
using testing::TempProgramDir;

constexpr DatabaseWriter::Timing kShort{20ms, 20ms, 150ms};

DbWrite SetCompany(const std::string& custID, const std::string& company) {
  return {"Customer.Company." + custID, "UPDATE Customer SET Company = ? WHERE CustID = ?", {company, custID}};
}

class DatabaseWriterTest : public ::testing::Test {
 protected:
  DatabaseWriterTest() {
    for (const char* id : {"01", "02", "03"}) dir_.Sql("INSERT INTO Customer (CustID, Company) VALUES (?, 'old')", {id});
  }
  std::string Company(const std::string& custID) {
    return std::get<std::string>(dir_.FirstRow("SELECT Company FROM Customer WHERE CustID = ?", {custID}).at(0));
  }

  TempProgramDir dir_;
  asio::io_context io_;
  std::vector<std::string> reports_;
  DatabaseWriter writer_{io_, dir_.database(),
                         DatabaseWriter::Reports{
                             [this](bool stalled, const std::string& text) {
                               reports_.push_back((stalled ? "stalled: " : "resumed: ") + text);
                             },
                             [this](const std::string& text) { reports_.push_back("failed: " + text); }},
                         kShort};
};

TEST_F(DatabaseWriterTest, WritesWaitOutAForeignLockInOrderOncePerKeyAndReportTheStallOnce) {
  DbStatus status;  // another program's exclusive lock on the database
  auto lock = Database::Open(dir_.database(), Database::Mode::kReadWrite, status);
  ASSERT_TRUE(lock && lock->ExecuteScript("BEGIN EXCLUSIVE"));
  writer_.Submit(SetCompany("01", "first"));
  std::this_thread::sleep_for(50ms);  // the writer is now retrying "first" against the lock
  writer_.Submit(SetCompany("02", "a"));
  writer_.Submit(SetCompany("01", "second"));  // queued behind the write in progress
  writer_.Submit(SetCompany("02", "b"));       // supersedes "a" in its place
  EXPECT_EQ(writer_.pending(), 3u);

  bool committed = false, idleWhileLocked = true, idle = false;
  RunToEnd(io_, [&]() -> asio::awaitable<void> {
    asio::co_spawn(io_, [&]() -> asio::awaitable<void> {
      DbWrite write = SetCompany("03", "acknowledged");
      committed = co_await writer_.Commit(std::move(write));
    }, asio::detached);
    idleWhileLocked = co_await writer_.WhenIdle(300ms);
    EXPECT_TRUE(lock->ExecuteScript("COMMIT"));
    idle = co_await writer_.WhenIdle(5s);
  }());
  EXPECT_EQ(std::tuple(idleWhileLocked, idle, committed), std::tuple(false, true, true));
  EXPECT_EQ(std::tuple(Company("01"), Company("02"), Company("03")), std::tuple("second", "b", "acknowledged"));
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[0].rfind("stalled: ", 0), 0u) << reports_[0];
  EXPECT_NE(reports_[0].find("locked"), std::string::npos) << reports_[0];
  EXPECT_EQ(reports_[1], "resumed: database writes go through again");
}

TEST_F(DatabaseWriterTest, AStatementThatCannotSucceedIsGivenUpAndTheNextOneIsWritten) {
  bool bad = true, good = false;
  std::string error;
  RunToEnd(io_, [&]() -> asio::awaitable<void> {
    DbWrite impossible{"x", "UPDATE Customer SET NoSuchColumn = 1", {}};
    bad = co_await writer_.Commit(std::move(impossible), &error);
    DbWrite after = SetCompany("01", "after");
    good = co_await writer_.Commit(std::move(after));
  }());
  EXPECT_EQ(std::tuple(bad, good, Company("01")), std::tuple(false, true, "after"));
  EXPECT_NE(error.find("NoSuchColumn"), std::string::npos) << error;
  EXPECT_EQ(reports_, std::vector<std::string>{"failed: " + error});
}

}  // namespace
}  // namespace vantor
