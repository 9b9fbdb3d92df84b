#include "service/metrics_listener.hpp"

#include "core/metrics_settings.hpp"
#include "metrics/prometheus_text.hpp"
#include "platform/net/ip_address.hpp"

namespace vantor {

MetricsListener::MetricsListener(ListenerContext context, std::function<void(std::string&)> render)
    : Listener(context, Names{"METRICS", "Metrics", "Metrics Listener Started", "", false, {}, false}),
      server_(context.io) {
  server_.AddResource("/metrics", MonitorResource{std::string(kPrometheusContentType), std::move(render)});
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
  co_return std::nullopt;
}

}  // namespace vantor
