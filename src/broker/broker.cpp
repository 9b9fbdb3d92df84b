#include "broker/broker.hpp"

#include "core/message_header.hpp"

#include <fmt/format.h>

namespace vantor {

Broker::Broker(BrokerContext context)
    : clock_(context.clock),
      events_(context.events),
      programDir_(std::move(context.programDir)),
      debugMode_(context.debugMode),
      saveBrokenConnAlarm_(std::move(context.saveBrokenConnAlarm)),
      agentIdleLimit_(std::move(context.agentIdleLimit)),
      storeCustomerWrite_(std::move(context.storeCustomerWrite)),
      trace_(clock_, programDir_, debugMode_),
      plainEndpoint_(*this, ServerIndex::kPlain),
      tlsEndpoint_(*this, ServerIndex::kTls) {}

void Broker::AttachServers(WebSocketServer* plain, WebSocketServer* tls) {
  servers_ = {plain, tls};
}

Broker::Delivery Broker::SendTo(ConnectionRef connection, std::string&& text) const {
  WebSocketServer* server = ServerOf(connection);
  return server && server->Send(connection.id, std::move(text)) ? Delivery::kSent : Delivery::kGone;
}

Broker::Delivery Broker::DisconnectFrom(ConnectionRef connection) const {
  WebSocketServer* server = ServerOf(connection);
  return server && server->Disconnect(connection.id) ? Delivery::kSent : Delivery::kGone;
}

void Broker::ConfigureAdmissionLimits(RefusalLimiter::Limits limits, std::set<std::string> trustedProxies) {
  refusals_.SetLimits(limits);
  trustedProxies_ = std::move(trustedProxies);
}

void Broker::WatchAgentSilence(const CustomerRecord& agent) const {
  WebSocketServer* server = ServerOf(agent.connection);
  if (server && agentIdleLimit_ && agent.connected())
    server->SetIdleTimeout(agent.connection.id, agentIdleLimit_(agent.kaInterval));
}

std::string Broker::GoneText(std::string_view action, ConnectionRef connection) {
  return fmt::format("Cannot {}: connection {} is not open", action, connection.id);
}

Broker::Delivery Broker::Reply(ConnectionRef c, const std::string& header, std::string_view replyText,
                               Handled& handled) {
  handled.sent = ServerMessage(MessageView(header).customerId(), kAgentNumberField, replyText);
  const Delivery delivery = SendTo(c, std::string(handled.sent));
  if (delivery == Delivery::kGone) {
    ReportGone(c, c, header);
    handled.traced = false;
  }
  return delivery;
}

int Broker::RegisteredAgent(ConnectionRef c, std::string_view text) const {
  const MessageView message(text);
  const auto n = message.customerSlot();
  if (!n || *n < 1 || *n > kCustomerSlots) return 0;
  const CustomerRecord& record = tables_.Customer(static_cast<int>(*n));
  if (!record.HoldsConnection(c) || record.custID != message.customerId()) return 0;
  return static_cast<int>(*n);
}

int Broker::RegisteredMobile(ConnectionRef c, std::string_view text) const {
  const MessageView message(text);
  const auto n = message.mobileNumber();
  if (!n || *n < 1 || *n > kMobileSlots) return 0;
  const MobileRecord& record = tables_.Mobile(static_cast<int>(*n));
  if (!record.HoldsConnection(c) || record.custID != message.customerId()) return 0;
  return static_cast<int>(*n);
}

// Endpoints: each event goes to the broker with this server's identity.

asio::awaitable<void> BrokerEndpoint::OnConnectionRequest(std::string remoteAddress, int remotePort,
                                                          bool& accept) {
  co_await broker_.ConnectionRequest(server_, remoteAddress, remotePort, accept);
}
asio::awaitable<void> BrokerEndpoint::OnOpenRequest(OpenRequest& request) {
  co_await broker_.WebSocketOpenRequest(server_, request);
}
asio::awaitable<void> BrokerEndpoint::OnConnected(ConnectionId id) { co_await broker_.Connected(Ref(id)); }
asio::awaitable<void> BrokerEndpoint::OnDataIn(ConnectionId id, std::string text) {
  co_await broker_.DataIn(Ref(id), std::move(text));
}
asio::awaitable<void> BrokerEndpoint::OnDisconnected(ConnectionId id, int statusCode,
                                                     std::string description) {
  co_await broker_.Disconnected(Ref(id), statusCode, description);
}
asio::awaitable<void> BrokerEndpoint::OnError(ConnectionId id, int code, std::string description) {
  co_await broker_.Error(Ref(id), code, description);
}
asio::awaitable<void> BrokerEndpoint::OnConnectionRefused(std::string remoteAddress, std::string reason) {
  co_await broker_.ConnectionRefused(server_, remoteAddress, reason);
}
asio::awaitable<void> BrokerEndpoint::OnSslStatus(ConnectionId id, std::string message) {
  co_await broker_.SslStatus(Ref(id), message);
}

}  // namespace vantor
