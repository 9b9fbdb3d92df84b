// The end of a connection frees the record it held, and an agent that went without a normal close
// starts its broken-connection alarm; the other socket events are only traced.

#include "broker/broker.hpp"
#include "core/procedure.hpp"
#include "core/text_fields.hpp"

#include <fmt/format.h>

namespace vantor {

asio::awaitable<void> Broker::Disconnected(ConnectionRef c, int statusCode, const std::string& description) {
  const ServerDescriptor& s = Describe(c.server);
  const ConnectionId id = c.id;
  verdicts_.erase(c);
  clientAddresses_.erase(c);
  co_await Guarded(events_, kFormModule, s.Handler("Disconnected"), [&]() -> asio::awaitable<void> {
    const std::vector<std::string> lines{fmt::format("StatusCode:  {}", statusCode),
                                         "Description: " + description};
    const std::string banner = "##### Disconnected #####";
    trace_.Block(std::string(s.filePrefix) + "Disconnected-", id, banner, lines);
    for (int m = 1; m <= kMobileSlots; ++m) {
      if (!tables_.Mobile(m).HoldsConnection(c)) continue;
      tables_.ReleaseMobile(m);
      trace_.Block(std::string(s.filePrefix) + "MobSession-", id, banner, lines);
      co_return;
    }
    for (int slot = 1; slot <= kCustomerSlots; ++slot) {
      if (!tables_.Customer(slot).HoldsConnection(c)) continue;
      const std::string company = tables_.Customer(slot).company;
      tables_.ReleaseAgent(slot);
      if (statusCode == kClosedByServer) co_return;  // the service's own disconnect: no event
      std::string text;
      int level = kLevelInfo;
      if (statusCode == 1000 || statusCode == 1001) {
        text = fmt::format("{} Disconnected From Server Due To {} (connID={})", company,
                           statusCode == 1000 ? "Normal Closure" : "Going Away", id);
      } else {
        // The agent went without saying goodbye: its site lost the network or power, or its
        // process ended. The alarm waits as after a drop by supervision, so an agent that comes
        // back and announces its version within the wait raises none.
        tables_.StartAlarmWait(slot);
        CountAgentDrop(AgentDrop::kBrokenConnection);
        text = fmt::format("{} Disconnected From Server Due To Broken Connection (connID={}, code {}: {})",
                           company, id, statusCode, ShortenForEvent(description));
        level = kLevelDropped;
      }
      co_await events_.AppEvent(kFormModule, s.Handler("Disconnected"), text, level);
      co_return;
    }
  });
}

asio::awaitable<void> Broker::Error(ConnectionRef c, int code, const std::string& description) {
  const ServerDescriptor& s = Describe(c.server);
  const ConnectionId id = c.id;
  co_await Guarded(events_, kFormModule, s.Handler("Error"), [&]() -> asio::awaitable<void> {
    trace_.Block(std::string(s.filePrefix) + "Error-", id, "##### Error #####",
                 {fmt::format("ErrorCode:   {}", code), "Description: " + description});
    co_return;
  });
}

asio::awaitable<void> Broker::SslStatus(ConnectionRef c, const std::string& message) {
  const ServerDescriptor& s = Describe(c.server);
  const ConnectionId id = c.id;
  co_await Guarded(events_, kFormModule, s.Handler("SSLStatus"), [&]() -> asio::awaitable<void> {
    trace_.Block(std::string(s.filePrefix) + "SSLStatus-", id, "##### SSLStatus #####",
                 {"Message: " + message});
    co_return;
  });
}

}  // namespace vantor
