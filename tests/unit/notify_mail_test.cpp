#include "notify/mail_address.hpp"
#include "notify/mail_message.hpp"
#include "notify_fixture.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace vantor {
namespace {

using testing::NotifyTest;

const std::string kAlarm(kAlarmMessage);

TEST(MailMessage, BuiltByteForByteWithoutLineBreaksInHeaders) {
  const auto date = std::chrono::system_clock::from_time_t(1773476430);  // 2026-03-14 08:20:30 UTC
  EXPECT_EQ(BuildMailMessage({"srv@example.com", "ops@example.org", "Vantor Com Server",
                              "Caf\xC3\xA9 = down\nline 2 ", "3"},
                             date),
            "From: srv@example.com\r\n"
            "To: ops@example.org\r\n"
            "Subject: Vantor Com Server\r\n"
            "Date: Sat, 14 Mar 2026 08:20:30 +0000\r\n"
            "X-Priority: 3\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=ISO-8859-1\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "\r\n"
            "Caf=E9 =3D down\r\n"
            "line 2=20\r\n");
  // A line break cannot start a header of its own; an odd priority is left out.
  const std::string m = BuildMailMessage({"a@b.c", "x@y.z", "Sub\r\nBcc: victim@evil.example", "body", "urgent"}, {});
  EXPECT_NE(m.find("Subject: Sub  Bcc: victim@evil.example\r\n"), std::string::npos);
  EXPECT_EQ(m.find("X-Priority"), std::string::npos);
}

TEST(MailMessage, Latin1ConversionAndQuotedPrintableLines) {
  EXPECT_EQ(Utf8ToLatin1("a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80z"), "a\xFC??z");  // ü, €, emoji
  EXPECT_EQ(Utf8ToLatin1("\xFF\xC3"), "??");                                   // malformed
  EXPECT_EQ(Utf8ToLatin1("\xC1\x81"), "?");                                    // overlong 'A'

  const std::string qp = QuotedPrintable(std::string(100, 'a') + "\r\n.\rb\t");
  EXPECT_EQ(qp, std::string(75, 'a') + "=\r\n" + std::string(25, 'a') + "\r\n.\r\nb=09");
}

TEST(MailAddress, AcceptsPlainAddressesOnly) {
  for (const char* good : {"ops@example.org", "first.last+tag@sub.example.co", "a@b"})
    EXPECT_TRUE(IsMailAddress(good)) << good;
  for (const char* bad : {"", "ops", "@example.org", "ops@", "ops@exa mple.org", "<ops@example.org>", "a@b,c@d",
                          "a..b@c", ".a@b", "a@-b.c", "a@b..c", "\"q\"@b", "ops@example.org>", "a\x01@b", "a@b\x7F",
                          "\xC3\xA9@b.c", "ops@example.org\r\n", "ops\r@example.org", "ops@exa\nmple.org",
                          "ops@example.org\r"})
    EXPECT_FALSE(IsMailAddress(bad)) << bad;
  EXPECT_FALSE(IsMailAddress(std::string(250, 'a') + "@b.cd"));
}

TEST_F(NotifyTest, MailSentAtSecondAttemptReportsSuccess) {
  smtp_.Queue(451, "busy");
  auto sent = Run(notifier_.SendMailSMTP(kAlarm, "ops@example.org", "3"));
  EXPECT_EQ(sent.status, kSendOk);
  EXPECT_EQ(sent.result, "SMTP: Message sent successfully.");

  auto attempts = smtp_.sent();
  ASSERT_EQ(attempts.size(), 2u);
  const MailRequest& r = attempts[0];
  EXPECT_EQ(std::tuple(r.host, r.port, r.from, r.to, r.security, r.auth),
            std::tuple(std::string("127.0.0.1"), 25, std::string("vantor-web@localhost"), std::string("ops@example.org"),
                       MailSecurity::kNone, MailAuth::kNone));
  EXPECT_EQ(r.message, BuildMailMessage({"vantor-web@localhost", "ops@example.org", "Vantor Com Server", kAlarm, "3"},
                                        clock_.Now()));
  EXPECT_TRUE(Events().empty());
}

TEST_F(NotifyTest, MailRefusedThreeTimesReportsThirdCode) {
  smtp_.Queue(421);
  smtp_.Queue(7, "Couldn't connect");
  smtp_.Queue(554);
  smtp_.Queue(0);  // a fourth attempt would succeed; there is none
  auto sent = Run(notifier_.SendMailSMTP(kAlarm, "ops@example.org", "3"));
  EXPECT_EQ(sent.status, kSendFailed);
  EXPECT_EQ(sent.result, "SMTP: Error when sending message. Error: 554");
  EXPECT_EQ(smtp_.sent().size(), 3u);
  // One event for the message, in the last attempt's words.
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "1\tmodVantorWebSrv_SendMailSMTP\tMail Address: ops@example.org, not sent after "
                          "3 attempts: refused"}));
}

TEST_F(NotifyTest, MailFailuresBeforeAnyAttemptAreNotRetried) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"MailPort = ''", "Type mismatch (General_Settings.MailPort = '')"},
      {"MailPort = 70000", "Invalid port (General_Settings.MailPort = 70000)"},
      {"MailPort = 25, MailSecurity = 'SSL'", "Invalid MailSecurity setting 'SSL' (None, STARTTLS or TLS expected)"},
  };
  for (const auto& [setting, error] : cases) {
    SCOPED_TRACE(setting);
    dir_.Sql("UPDATE General_Settings SET " + setting);
    auto sent = Run(notifier_.SendMailSMTP(kAlarm, "ops@example.org", "3"));
    EXPECT_EQ(sent.status, kSendFailed);
    EXPECT_EQ(sent.result, "SMTP: Error when sending message. " + error);
    ASSERT_FALSE(Events().empty());
    EXPECT_EQ(Events().back(), "1\tmodVantorWebSrv_SendMailSMTP\tMail Address: ops@example.org, " + error);
  }
  EXPECT_TRUE(smtp_.sent().empty());
  EXPECT_EQ(Events().size(), cases.size());
}

// A line break in the recipient would end the RCPT command and start one of the sender's
// choosing: such an address never reaches the mail client.
TEST_F(NotifyTest, MailToAddressWithLineBreakIsRefusedBeforeAnySend) {
  for (const std::string address : {"ops@example.org\r\n", "ops@example.org>\r\nRCPT TO:<spy@evil.example"}) {
    auto sent = Run(notifier_.SendMailSMTP(kAlarm, address, "3"));
    EXPECT_EQ(std::pair(sent.status, sent.result),
              std::pair(kSendFailed, std::string("SMTP: Error when sending message. Invalid recipient mail address")));
  }
  EXPECT_TRUE(smtp_.sent().empty());
  auto events = Events();
  ASSERT_EQ(events.size(), 2u);  // the event log escapes the line break
  EXPECT_EQ(events[0], "1\tmodVantorWebSrv_SendMailSMTP\tMail Address: ops@example.org\\r\\n, "
                       "Invalid recipient mail address");
}

// Which text selects LOGIN is seen by a real server in test_notify.py.
TEST_F(NotifyTest, MailAuthAndSecurityFollowSettings) {
  // Without MailUseAuth (NULL counts as no) the account is neither read nor given; the new
  // directory's MailAuthMode is AUTH LOGIN.
  dir_.Sql("UPDATE General_Settings SET MailUseAuth = NULL, MailAccount = 'acct', "
           "MailPassword = 'pw', MailSecurity = 'STARTTLS'");
  Run(notifier_.SendMailSMTP(kAlarm, "ops@example.org", "3"));
  dir_.Sql("UPDATE General_Settings SET MailUseAuth = 1, MailSecurity = 'TLS'");
  Run(notifier_.SendMailSMTP(kAlarm, "ops@example.org", "3"));
  dir_.Sql("UPDATE General_Settings SET MailSecurity = NULL");
  Run(notifier_.SendMailSMTP(kAlarm, "ops@example.org", "3"));

  std::vector<std::tuple<MailAuth, std::string, std::string, MailSecurity>> seen;
  for (const auto& r : smtp_.sent()) seen.emplace_back(r.auth, r.account, r.password, r.security);
  EXPECT_EQ(seen, (decltype(seen){{MailAuth::kNone, "", "", MailSecurity::kStartTls},
                                  {MailAuth::kLogin, "acct", "pw", MailSecurity::kTls},
                                  {MailAuth::kLogin, "acct", "pw", MailSecurity::kNone}}));
}

}  // namespace
}  // namespace vantor
