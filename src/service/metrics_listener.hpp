#pragma once
// The monitoring listener: an HTTP server of its own that answers GET /metrics with the
// service's figures in the Prometheus text format and GET / with the status page. While it runs
// it samples the relayed-message counter every 10 s into an hour's ring for the page's chart. Enabled by the optional MetricsEnabled; it
// binds MetricsIpAddr and MetricsPort (127.0.0.1 and 9480 when absent) and asks every request
// for MetricsToken as a bearer token when one is set. It refuses to start on an address other
// hosts can reach without a token. It has no status column; the token appears in no report.
//
// Limits (MonitorHttpLimits): request headers up to 8 KiB, 16 connections at once, 10 s for each
// read of a request and each write of an answer.

#include "platform/net/monitor_http_server.hpp"
#include "core/rate_ring.hpp"
#include "service/listener.hpp"

#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace vantor {

class MetricsListener final : public Listener {
 public:
  // What the listener serves; each function is called on the event thread and must outlive it.
  struct Pages {
    std::function<void(std::string&)> metrics;                  // appends the exposition of now
    std::function<void(const RateRing&, std::string&)> status;  // appends the page, given the chart's ring
    std::function<std::uint64_t()> relayedMessages;             // the counter the chart follows
  };

  MetricsListener(ListenerContext context, Pages pages);

 private:
  bool Enabled(const GeneralSettings& settings) const override;
  asio::awaitable<std::optional<StartFailure>> Start(GeneralSettings& settings) override;
  bool Running(const GeneralSettings&) const override { return server_.Listening(); }
  void Stop() override;
  void SampleRelayRate();

  Pages pages_;
  MonitorHttpServer server_;
  RateRing relayRate_;
  boost::asio::steady_timer sampleTimer_;
};

}  // namespace vantor
