#include "notify_fixture.hpp"

namespace vantor {
namespace {

using testing::FakeHttpsClient;
using testing::NotifyTest;
using testing::Trap;
using namespace std::chrono_literals;

const std::string kAlarm(kAlarmMessage);
const std::string kPushOk = "PUSH: Message sent successfully.\r\nHTTP/1.1 200 OK\r\nReceipt = UnKnown";

class AlarmTest : public NotifyTest {
 protected:
  std::vector<std::string> StoredReceiver(const std::string& custID) {
    std::vector<std::string> out;
    for (const auto& v : dir_.FirstRow("SELECT BcaRecvName, BcaRecvType, BcaPoUserKey, BcaPoDevice, "
                                       "BcaMailAddress FROM Customer WHERE CustID = ?", {custID}))
      out.push_back(std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : "NULL");
    return out;
  }
};

TEST_F(AlarmTest, NoneOrNullNameAndOtherTypesSendNothing) {
  SetReceiver("01000001", {"None", "MobilePO", "k", "", "a@b.c"});
  SetReceiver("02000002", {nullptr, "MailSMTP", "k", "", "a@b.c"});
  SetReceiver("03000003", {"Ann", "None", "k", "", "a@b.c"});
  SetReceiver("04000004", {"Ann", "mobilepo", "k", "", "a@b.c"});
  for (const char* id : {"01000001", "02000002", "03000003", "04000004", "99999999", "01' OR '1'='1"})
    Run(notifier_.SendBrokenConnAlarm(id));
  EXPECT_TRUE(https_.posts().empty());
  EXPECT_TRUE(smtp_.sent().empty());
  EXPECT_TRUE(traps_.empty());
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(Waited(), 0ms);
}

TEST_F(AlarmTest, PushOrMailAlarmWithEmptyNameForwardsTrapThenPauses) {
  SetReceiver("01000001", {"", "MobilePO", "uKey", "", "ops@example.org"});
  SetReceiver("05000005", {"Ann", "MailSMTP", "k", "d", "ops@example.org"});
  Run(notifier_.SendBrokenConnAlarm("01000001"));
  // The trap goes out at once; the pause after it spaces this alarm from the next one.
  EXPECT_EQ(trapsAfter_, (std::vector{0ms}));
  EXPECT_GT(Waited(), 0ms);
  Run(notifier_.SendBrokenConnAlarm("05000005"));

  // The push form and the mail's recipient are read by real servers in test_notify.py.
  EXPECT_EQ(https_.posts().size(), 1u);
  ASSERT_EQ(smtp_.sent().size(), 1u);
  EXPECT_NE(smtp_.sent()[0].message.find("\r\nX-Priority: 3\r\n"), std::string::npos);
  EXPECT_EQ(traps_, (std::vector<Trap>{{"Mr Tavo (01000001)", kAlarm, 1, kPushOk, "MobilePO"},
                                       {"Mr Tavo (05000005)", kAlarm, 1, "SMTP: Message sent successfully.",
                                        "MailSMTP"}}));
}

TEST_F(AlarmTest, FailedPushFromNullFieldsStillForwardsTrap) {
  SetReceiver("01000001", {"Ann", "MobilePO", nullptr, nullptr, nullptr});
  https_.Queue(FakeHttpsClient::Reply(400, "HTTP/1.1 400 Bad Request", {}, R"({"errors":["user key is invalid"]})"));
  Run(notifier_.SendBrokenConnAlarm("01000001"));
  ASSERT_EQ(https_.posts().size(), 1u);
  EXPECT_NE(https_.posts()[0].body.find("&user=&priority=0&"), std::string::npos);
  const std::string refused = "PUSH: Error when sending message. HTTP/1.1 400 Bad Request: user key is invalid";
  EXPECT_EQ(traps_, (std::vector<Trap>{{"Mr Tavo (01000001)", kAlarm, 3, refused, "MobilePO"}}));
  // The sender's failure event pauses before the trap; the alarm's own pause still follows it.
  ASSERT_EQ(trapsAfter_.size(), 1u);
  EXPECT_GT(trapsAfter_[0], 0ms);
  EXPECT_GT(Waited(), trapsAfter_[0]);
}

// Sending and saving each report a table they cannot use as one event of their own (a missing
// file or a lock is waited out by the writer instead).
TEST_F(AlarmTest, DatabaseFailureIsOneEventPerProcedure) {
  dir_.Sql("ALTER TABLE Customer DROP COLUMN BcaPoDevice");
  Run(notifier_.SendBrokenConnAlarm("01000001"));
  EXPECT_FALSE(Run(notifier_.SaveBrokenConnAlarm("01000001", "a\tb\tc\td\te")));
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rfind("1\tmodVantorWebSrv_SendBrokenConnAlarm\t", 0), 0u);
  EXPECT_EQ(events[1].rfind("1\tmodVantorWebSrv_SaveBrokenConnAlarm\t", 0), 0u);
  EXPECT_TRUE(traps_.empty());
}

class DailyTest : public AlarmTest {
 protected:
  void EnableDaily(const char* device = "") {
    dir_.Sql("UPDATE General_Settings SET TestMessDaily = 1, TestMessUserKey = 'tKey', TestMessDevice = ?",
             {std::string(device)});
  }
};

// Not due, or a setting missing: nothing is sent, and only the missing setting has an event.
TEST_F(DailyTest, DueOnlyWhenSetAndAtEightAndComplete) {
  Run(notifier_.TestMessDaily(8));  // TestMessDaily is 0
  dir_.Sql("UPDATE General_Settings SET TestMessDaily = NULL");
  Run(notifier_.TestMessDaily(8));
  EnableDaily();
  Run(notifier_.TestMessDaily(7));
  Run(notifier_.TestMessDaily(9));
  dir_.Sql("UPDATE General_Settings SET TestMessDevice = NULL");
  Run(notifier_.TestMessDaily(8));
  EXPECT_TRUE(https_.posts().empty());
  EXPECT_TRUE(traps_.empty());
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "1\tmodVantorWebSrv_TestMessDaily\tInvalid use of Null (General_Settings.TestMessDevice)"}));
}

TEST_F(DailyTest, TwoMessagesAndTrapsInOrderWithAllowance) {
  EnableDaily("tab");
  https_.Queue(FakeHttpsClient::Reply(200, "HTTP/1.1 200 OK",
                                      {{"X-Limit-App-Limit", "10000"}, {"X-Limit-App-Remaining", "9000"}}, "r1"));
  https_.Queue(FakeHttpsClient::Reply(200, "HTTP/1.1 200 OK", {{"X-Limit-App-Remaining", "8999"}}, "r2"));
  Run(notifier_.TestMessDaily(8));

  auto posts = https_.posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_NE(posts[0].body.find("&user=tKey&device=tab&"), std::string::npos);
  EXPECT_NE(posts[0].body.find("&message=Daily%20Test%20Message%20From%20192.0.2.7"), std::string::npos);
  EXPECT_NE(posts[1].body.find("&message=App-Limit%3A%2010000%2C%20App-Remaining%3A%209000"), std::string::npos);
  const std::string ok = "PUSH: Message sent successfully.\r\nHTTP/1.1 200 OK\r\n";
  EXPECT_EQ(traps_, (std::vector<Trap>{{"Mr Tavo", "Daily Test Message", 1, ok + "r1", "MobilePO"},
                                       {"Mr Tavo", "App-Limit: 10000, App-Remaining: 8999", 1, ok + "r2",
                                        "MobilePO"}}));
  // The allowance message waits a while after the test message.
  ASSERT_EQ(trapsAfter_.size(), 2u);
  EXPECT_GT(trapsAfter_[1], trapsAfter_[0]);
}

TEST_F(DailyTest, AllowanceIsZeroWithoutHeadersAndFailuresStillTrap) {
  EnableDaily();
  https_.Queue(FakeHttpsClient::TransportError("Could not resolve host"));
  Run(notifier_.TestMessDaily(8));
  auto posts = https_.posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_NE(posts[1].body.find("&message=App-Limit%3A%200%2C%20App-Remaining%3A%200"), std::string::npos);
  ASSERT_EQ(traps_.size(), 2u);
  EXPECT_EQ(traps_[0].status, 3);
  EXPECT_EQ(traps_[1].subject, "App-Limit: 0, App-Remaining: 0");
  EXPECT_EQ(traps_[1].status, 1);
}

TEST_F(AlarmTest, SaveSplitsAtFirstFourTabsStoresVerbatimOrNothing) {
  SetReceiver("01000001", {"Old", "MobilePO", "k", "d", "m@x.y"});
  SetReceiver("02000002", {"Keep", "MailSMTP", "", "", "k@x.y"});
  EXPECT_TRUE(Run(notifier_.SaveBrokenConnAlarm("01000001", "Ann\tMailSMTP\t\t\tops@example.org\textra")));
  EXPECT_EQ(StoredReceiver("01000001"),
            (std::vector<std::string>{"Ann", "MailSMTP", "", "", "ops@example.org\textra"}));

  const std::string evil = "O'Brien\"; DROP TABLE Customer; --";
  Run(notifier_.SaveBrokenConnAlarm("01000001", evil + "\tMobilePO\tk'1\td&2\t' OR 1=1 --"));
  EXPECT_EQ(StoredReceiver("01000001"), (std::vector<std::string>{evil, "MobilePO", "k'1", "d&2", "' OR 1=1 --"}));
  // A quote in the customer id matches no row and changes nothing elsewhere.
  Run(notifier_.SaveBrokenConnAlarm("02000002' OR '1'='1", "X\tX\tX\tX\tX"));
  EXPECT_EQ(StoredReceiver("02000002"), (std::vector<std::string>{"Keep", "MailSMTP", "", "", "k@x.y"}));
  EXPECT_TRUE(Events().empty());

  // Fewer than four tabs: nothing is stored, and the event says why.
  EXPECT_FALSE(Run(notifier_.SaveBrokenConnAlarm("02000002", "Ann MailSMTP ops@example.org")));
  EXPECT_FALSE(Run(notifier_.SaveBrokenConnAlarm("02000002", "Ann\tMailSMTP\t\tops@example.org")));
  EXPECT_EQ(StoredReceiver("02000002"), (std::vector<std::string>{"Keep", "MailSMTP", "", "", "k@x.y"}));
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "1\tmodVantorWebSrv_SaveBrokenConnAlarm\tInvalid alarm receiver: four "
                       "TAB-separated fields expected (28 characters received)");
}

}  // namespace
}  // namespace vantor
