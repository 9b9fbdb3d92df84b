#include "service/metrics_listener.hpp"

#include "core/metrics_settings.hpp"
#include "metrics/prometheus_text.hpp"
#include "platform/net/ip_address.hpp"

namespace vantor {

namespace {

constexpr std::chrono::seconds kRelaySampleInterval{10};

}  // namespace

MetricsListener::MetricsListener(ListenerContext context, Pages pages)
    : Listener(context, Names{"METRICS", "Metrics", "Metrics Listener Started", "", false, {}, false}),
      pages_(std::move(pages)),
      server_(context.io),
      relayRate_(kRelaySampleInterval, 3600 / kRelaySampleInterval.count()),
      sampleTimer_(context.io) {
  server_.AddResource("/metrics", MonitorResource{std::string(kPrometheusContentType), pages_.metrics});
  server_.AddResource("/", MonitorResource{"text/html; charset=utf-8",
                                           [this](std::string& out) { pages_.status(relayRate_, out); }});
}

void MetricsListener::Stop() {
  sampleTimer_.cancel();
  server_.Shutdown();
}

void MetricsListener::SampleRelayRate() {
  relayRate_.Sample(RateRing::Clock::now(), pages_.relayedMessages());
  sampleTimer_.expires_after(kRelaySampleInterval);
  sampleTimer_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) SampleRelayRate();
  });
}

bool MetricsListener::Enabled(const GeneralSettings& settings) const {
  return settings.OptionalFlag("MetricsEnabled");
}

asio::awaitable<std::optional<Listener::StartFailure>> MetricsListener::Start(GeneralSettings& settings) {
  const std::string address = settings.Optional("MetricsIpAddr").value_or(kDefaultMetricsAddress);
  const int port = settings.Optional("MetricsPort") ? settings.Int32("MetricsPort") : kDefaultMetricsPort;
  Configured(address, port);
  const std::string token = settings.Optional("MetricsToken").value_or("");
  if (MetricsNeedToken(address, token)) {
    co_return StartFailure{"no MetricsToken, which an address other hosts can reach needs", "", ""};
  }
  if (!IsMetricsToken(token)) co_return StartFailure{"MetricsToken holds blanks or control characters", "", ""};
  server_.SetBearerToken(token);
  if (const std::error_code ec = server_.Listen(address, port)) {
    co_return StartFailure{IsIpAddress(address) ? ec.message() : "not an IP address", "", ""};
  }
  Bound(server_.LocalAddress(), server_.LocalPort());
  SampleRelayRate();
  co_return std::nullopt;
}

}  // namespace vantor
