#include "broker/broker.hpp"

#include "core/message_header.hpp"
#include "core/procedure_error.hpp"

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
      plainEndpoint_(*this, kPlainServer),
      tlsEndpoint_(*this, kTlsServer) {}

void Broker::AttachServers(WebSocketServer* plain, WebSocketServer* tls) {
  plainServer_ = plain;
  tlsServer_ = tls;
}

WebSocketServer* Broker::ServerFor(std::string_view connType) const {
  return connType == "ws" ? plainServer_ : tlsServer_;
}

void Broker::SendTo(std::string_view connType, ConnectionId id, std::string&& text) const {
  WebSocketServer* server = ServerFor(connType);
  if (!server || !server->Send(id, std::move(text))) {
    throw ProcedureError("Cannot send: connection " + std::to_string(id) + " is not open");
  }
}

void Broker::DisconnectFrom(std::string_view connType, ConnectionId id) const {
  WebSocketServer* server = ServerFor(connType);
  if (!server || !server->Disconnect(id)) {
    throw ProcedureError("Cannot disconnect: connection " + std::to_string(id) + " is not open");
  }
}

void Broker::ConfigureAdmissionLimits(RefusalLimiter::Limits limits, std::set<std::string> trustedProxies) {
  refusals_.SetLimits(limits);
  trustedProxies_ = std::move(trustedProxies);
}

void Broker::WatchAgentSilence(const CustomerRecord& agent) const {
  WebSocketServer* server = ServerFor(agent.connType);
  if (server && agentIdleLimit_ && agent.connID != 0)
    server->SetIdleTimeout(agent.connID, agentIdleLimit_(agent.kaInterval));
}

void Broker::Reply(const ServerDescriptor& s, ConnectionId id, std::string_view header,
                   std::string_view replyText, std::string& sent) {
  sent = ServerMessage(MessageView(header).customerId(), kAgentNumberField, replyText);
  SendTo(s.type, id, std::string(sent));
}

CustomerRecord* Broker::RegisteredAgent(const ServerDescriptor& s, ConnectionId id,
                                        std::string_view text) {
  const MessageView message(text);
  const auto n = message.customerSlot();
  if (!n || *n < 1 || *n > kCustomerSlots) return nullptr;
  CustomerRecord& record = tables_.Customer(static_cast<int>(*n));
  if (!record.HoldsConnection(s.type, id) || record.custID != message.customerId()) return nullptr;
  return &record;
}

MobileRecord* Broker::RegisteredMobile(const ServerDescriptor& s, ConnectionId id,
                                       std::string_view text) {
  const MessageView message(text);
  const auto n = message.mobileNumber();
  if (!n || *n < 1 || *n > kMobileSlots) return nullptr;
  MobileRecord& record = tables_.Mobile(static_cast<int>(*n));
  if (!record.HoldsConnection(s.type, id) || record.custID != message.customerId()) return nullptr;
  return &record;
}

// Endpoints: each event goes to the broker with this server's descriptor.

asio::awaitable<void> BrokerEndpoint::OnConnectionRequest(std::string remoteAddress, int remotePort,
                                                          bool& accept) {
  co_await broker_.ConnectionRequest(server_, remoteAddress, remotePort, accept);
}
asio::awaitable<void> BrokerEndpoint::OnOpenRequest(OpenRequest& request) {
  co_await broker_.WebSocketOpenRequest(server_, request);
}
asio::awaitable<void> BrokerEndpoint::OnConnected(ConnectionId id) {
  co_await broker_.Connected(server_, id);
}
asio::awaitable<void> BrokerEndpoint::OnDataIn(ConnectionId id, std::string text) {
  co_await broker_.DataIn(server_, id, std::move(text));
}
asio::awaitable<void> BrokerEndpoint::OnDisconnected(ConnectionId id, int statusCode,
                                                     std::string description) {
  co_await broker_.Disconnected(server_, id, statusCode, description);
}
asio::awaitable<void> BrokerEndpoint::OnError(ConnectionId id, int code, std::string description) {
  co_await broker_.Error(server_, id, code, description);
}
asio::awaitable<void> BrokerEndpoint::OnConnectionRefused(std::string remoteAddress, std::string reason) {
  co_await broker_.ConnectionRefused(server_, remoteAddress, reason);
}
asio::awaitable<void> BrokerEndpoint::OnSslStatus(ConnectionId id, std::string message) {
  co_await broker_.SslStatus(server_, id, message);
}

}  // namespace vantor
