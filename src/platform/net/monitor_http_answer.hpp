#pragma once
// The answer of the monitoring HTTP server to one request, decided from its header alone (the
// server takes no request bodies): the bearer token first, then the method, then the path.
// Pure logic on the caller's thread; the render function of the path served is called once for
// GET and HEAD alike, and HEAD gets its length without its body.

#include "platform/net/monitor_http_server.hpp"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <map>
#include <string>
#include <string_view>

namespace vantor {

using MonitorRequestHeader = boost::beast::http::request_header<>;
using MonitorResponse = boost::beast::http::response<boost::beast::http::string_body>;

struct MonitorRoutes {
  std::map<std::string, MonitorResource, std::less<>> resources;
  std::string token;  // empty: no Authorization asked for
};

MonitorResponse AnswerMonitorRequest(const MonitorRoutes& routes, const MonitorRequestHeader& request);

// Whether `header` (an Authorization value) is "Bearer <token>", the scheme in any case; the
// tokens are compared in time that does not depend on where they differ.
bool PresentsBearerToken(std::string_view header, std::string_view token);

}  // namespace vantor
