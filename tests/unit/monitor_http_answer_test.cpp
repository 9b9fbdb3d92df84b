#include "platform/net/monitor_http_answer.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

namespace http = boost::beast::http;

struct AnswerCase {
  http::verb method;
  std::string target;
  std::string authorization;  // empty: no header
  unsigned status;
  std::string allow;
  std::string wwwAuthenticate;
};

class MonitorHttpAnswerTest : public ::testing::TestWithParam<AnswerCase> {
 protected:
  MonitorHttpAnswerTest() {
    routes_.resources["/metrics"] = {"text/plain; version=0.0.4", [](std::string& body) { body += "up 1\n"; }};
    routes_.token = "s3cret";
  }
  MonitorRoutes routes_;
};

// The token first, whatever the method or path; then the method, then the path.
TEST_P(MonitorHttpAnswerTest, StatusAndHeaders) {
  const AnswerCase& c = GetParam();
  MonitorRequestHeader request;
  request.method(c.method);
  request.target(c.target);
  request.version(11);
  if (!c.authorization.empty()) request.set(http::field::authorization, c.authorization);
  const MonitorResponse response = AnswerMonitorRequest(routes_, request);
  EXPECT_EQ(response.result_int(), c.status);
  EXPECT_EQ(response[http::field::allow], c.allow);
  EXPECT_EQ(response[http::field::www_authenticate], c.wwwAuthenticate);
  if (c.status != 200) return;
  EXPECT_EQ(response[http::field::content_type], "text/plain; version=0.0.4");
  EXPECT_EQ(response[http::field::content_length], "5");
  EXPECT_EQ(response.body(), c.method == http::verb::head ? "" : "up 1\n");
}

INSTANTIATE_TEST_SUITE_P(
    Requests, MonitorHttpAnswerTest,
    ::testing::Values(AnswerCase{http::verb::get, "/metrics", "Bearer s3cret", 200, "", ""},
                      AnswerCase{http::verb::get, "/metrics?x=1", "bearer  s3cret ", 200, "", ""},
                      AnswerCase{http::verb::head, "/metrics", "Bearer s3cret", 200, "", ""},
                      AnswerCase{http::verb::get, "/metrics", "", 401, "", "Bearer"},
                      AnswerCase{http::verb::get, "/metrics", "Bearer s3cre", 401, "", "Bearer"},
                      AnswerCase{http::verb::get, "/metrics", "Basic s3cret", 401, "", "Bearer"},
                      AnswerCase{http::verb::post, "/nowhere", "", 401, "", "Bearer"},
                      AnswerCase{http::verb::post, "/metrics", "Bearer s3cret", 405, "GET, HEAD", ""},
                      AnswerCase{http::verb::get, "/", "Bearer s3cret", 404, "", ""},
                      AnswerCase{http::verb::get, "/metricsx", "Bearer s3cret", 404, "", ""}));

TEST(MonitorHttpAnswer, WithoutATokenNoneIsAskedFor) {
  MonitorRoutes routes;
  routes.resources["/metrics"] = {"text/plain", [](std::string& body) { body += "x"; }};
  MonitorRequestHeader request;
  request.method(http::verb::get);
  request.target("/metrics");
  EXPECT_EQ(AnswerMonitorRequest(routes, request).result_int(), 200u);
  EXPECT_FALSE(PresentsBearerToken("Bearer ", "s3cret"));
  EXPECT_FALSE(PresentsBearerToken("Bearer", ""));
}

}  // namespace
}  // namespace vantor
