#pragma once
// The monitoring listener: an HTTP server of its own that answers GET /metrics with the
// service's figures in the Prometheus text format. Enabled by the optional MetricsEnabled; it
// binds MetricsIpAddr and MetricsPort (127.0.0.1 and 9480 when absent) and asks every request
// for MetricsToken as a bearer token when one is set. It refuses to start on an address other
// hosts can reach without a token. It has no status column; the token appears in no report.
//
// Limits (MonitorHttpLimits): request headers up to 8 KiB, 16 connections at once, 10 s for each
// read of a request and each write of an answer.

#include "platform/net/monitor_http_server.hpp"
#include "service/listener.hpp"

#include <functional>
#include <string>

namespace vantor {

class MetricsListener final : public Listener {
 public:
  // `render` appends the exposition of the figures now; it is called on the event thread, once
  // per scrape, and must outlive the listener.
  MetricsListener(ListenerContext context, std::function<void(std::string&)> render);

 private:
  bool Enabled(const GeneralSettings& settings) const override;
  asio::awaitable<std::optional<StartFailure>> Start(GeneralSettings& settings) override;
  bool Running(const GeneralSettings&) const override { return server_.Listening(); }
  void Stop() override { server_.Shutdown(); }

  MonitorHttpServer server_;
};

}  // namespace vantor
