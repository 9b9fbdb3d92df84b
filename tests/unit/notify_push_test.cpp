#include "notify/push_form.hpp"
#include "notify_fixture.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using testing::FakeHttpsClient;
using testing::NotifyTest;

const std::string kTokenField = "token=q7Lm2Rx9TbW4nKv8Hs3JdPf6Yc1GzE";
const std::string kFixedFields = "&priority=0&sound=tugboat&title=Vantor%20Com%20Server";

// Fields in order, device left out when empty; values are percent-encoded so no value adds a field.
TEST(PushForm, FieldsInOrderAndValuesEncoded) {
  EXPECT_EQ(BuildPushForm("uKey1", "phone2", "0", "Hello"),
            kTokenField + "&user=uKey1&device=phone2" + kFixedFields + "&message=Hello");
  EXPECT_EQ(BuildPushForm("uKey1", "", "0", "Hello"), kTokenField + "&user=uKey1" + kFixedFields + "&message=Hello");

  EXPECT_EQ(PercentEncode("a b&c=d+e%f\"g'h"), "a%20b%26c%3Dd%2Be%25f%22g%27h");
  EXPECT_EQ(PercentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(PercentEncode("\xC3\xA9\r\n"), "%C3%A9%0D%0A");  // UTF-8 bytes, line breaks
  const std::string form = BuildPushForm("k&device=evil", "d", "0", "x&priority=2");
  EXPECT_EQ(form.find("&device=evil"), std::string::npos);
  EXPECT_NE(form.find("&user=k%26device%3Devil&"), std::string::npos);
  EXPECT_NE(form.find("&message=x%26priority%3D2"), std::string::npos);
}

TEST(PushForm, ApiErrorTextAndLimitValues) {
  EXPECT_EQ(PushApiErrorText(R"({"user":"invalid","errors":["user identifier is invalid",)"
                             R"( "a \"quoted\" word"],"status":0})"),
            "user identifier is invalid; a \"quoted\" word");
  EXPECT_EQ(PushApiErrorText("<html>Bad Gateway</html>"), "<html>Bad Gateway</html>");
  EXPECT_EQ(PushApiErrorText(std::string(500, 'x'), 10), "xxxxxxxxxx... (500 characters)");
  EXPECT_EQ(PushApiErrorText(""), "");

  int n = 7;
  EXPECT_TRUE(ParseLimitValue("7500", n));
  EXPECT_EQ(n, 7500);
  for (const char* bad : {"", "12abc", "abc", " 12", "1.5", "99999999999"}) {
    EXPECT_FALSE(ParseLimitValue(bad, n)) << bad;
    EXPECT_EQ(n, 7500) << bad;
  }
}

TEST_F(NotifyTest, PushSuccessGivesStatusLineAndBodyAsReceipt) {
  https_.Queue(FakeHttpsClient::Ok(R"({"status":1,"request":"r-1"})"));
  auto sent = Run(notifier_.SendMobilePO("Alarm & more", "uKey", "", "0"));
  EXPECT_EQ(sent.status, kSendOk);
  EXPECT_EQ(sent.result, "PUSH: Message sent successfully.\r\nHTTP/1.1 200 OK\r\n{\"status\":1,\"request\":\"r-1\"}");

  auto posts = https_.posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(std::pair(posts[0].url, posts[0].caFile), std::pair(std::string("https://api.pushover.net/1/messages.json"), std::string()));
  EXPECT_EQ(posts[0].body, kTokenField + "&user=uKey" + kFixedFields + "&message=Alarm%20%26%20more");
  EXPECT_LE(posts[0].timeouts.total.count(), 60000);
  EXPECT_TRUE(Events().empty());
}

TEST_F(NotifyTest, LimitHeadersIgnoreCaseAndKeepValueOnText) {
  https_.Queue(FakeHttpsClient::Reply(
      200, "HTTP/2 200", {{"x-limit-app-limit", "10000"}, {"X-LIMIT-APP-REMAINING", "9876"}, {"X-Limit-App-Reset", "5"}},
      ""));
  https_.Queue(FakeHttpsClient::Reply(
      200, "HTTP/1.1 200 OK", {{"X-Limit-App-Limit", "lots"}, {"X-Limit-App-Remaining", "9875"}}, ""));
  Run(notifier_.SendMobilePO("m", "k", "", "0"));
  EXPECT_EQ(std::pair(notifier_.appLimit(), notifier_.appRemaining()), std::pair(10000, 9876));
  EXPECT_EQ(Run(notifier_.SendMobilePO("m", "k", "", "0")).status, kSendOk);
  EXPECT_EQ(std::pair(notifier_.appLimit(), notifier_.appRemaining()), std::pair(10000, 9875));
}

// Each failure is status 3 with the reason in the result and in one event.
TEST_F(NotifyTest, NonSuccessReplyOrTransportFailureIsStatusThreeWithEvent) {
  const std::pair<HttpsReply, std::string> cases[] = {
      {FakeHttpsClient::Reply(400, "HTTP/1.1 400 Bad Request", {{"X-Limit-App-Remaining", "41"}},
                              R"({"user":"invalid","errors":["user identifier is invalid"],"status":0})"),
       "HTTP/1.1 400 Bad Request: user identifier is invalid"},
      {FakeHttpsClient::Reply(500, "HTTP/1.1 500 Internal Server Error", {}, ""), "HTTP/1.1 500 Internal Server Error"},
      {FakeHttpsClient::TransportError("Connection timed out after 20001 milliseconds"),
       "Connection timed out after 20001 milliseconds"},
  };
  std::vector<std::string> events;
  for (const auto& [reply, why] : cases) {
    https_.Queue(reply);
    const auto sent = Run(notifier_.SendMobilePO("m", "k", "", "0"));
    EXPECT_EQ(std::pair(sent.status, sent.result), std::pair(kSendFailed, "PUSH: Error when sending message. " + why));
    events.push_back("1\tmodVantorWebSrv_SendMobilePO\tUserKey: k, " + why);
  }
  EXPECT_EQ(notifier_.appRemaining(), 41);  // an error reply still reports the allowance
  EXPECT_EQ(Events(), events);

  std::filesystem::remove(dir_.database());
  EXPECT_EQ(Run(notifier_.SendMobilePO("m", "k", "", "0")).status, kSendFailed);
  EXPECT_EQ(https_.posts().size(), 3u);  // nothing posted without the settings
  ASSERT_EQ(Events().size(), 4u);
  EXPECT_EQ(Events()[3].rfind("1\tmodVantorWebSrv_SendMobilePO\tUserKey: k, ", 0), 0u);
}

}  // namespace
}  // namespace vantor
