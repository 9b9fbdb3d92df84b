#pragma once
// The connection broker: admits agents and mobiles, relays mobile requests to their customer's
// agent and the answers back, handles the agents' control messages and frees records when
// connections end. Both WebSocket servers report to it through one endpoint each; the endpoints
// differ only by the server they name.

#include "broker/agent_pass_pins.hpp"
#include "broker/broker_counts.hpp"
#include "broker/debug_trace.hpp"
#include "broker/refusal_limiter.hpp"
#include "broker/report_throttle.hpp"
#include "broker/server_descriptor.hpp"
#include "core/login_path.hpp"
#include "core/message_header.hpp"
#include "core/tables.hpp"
#include "logging/app_event.hpp"
#include "platform/db/database_writer.hpp"
#include "platform/host/clock.hpp"
#include "platform/net/websocket_server.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace vantor {

class Broker;

// Receives one server's events and hands them to the broker with that server's identity.
class BrokerEndpoint final : public WebSocketEvents {
 public:
  BrokerEndpoint(Broker& broker, ServerIndex server) : broker_(broker), server_(server) {}

  asio::awaitable<void> OnConnectionRequest(std::string remoteAddress, int remotePort,
                                            bool& accept) override;
  asio::awaitable<void> OnOpenRequest(OpenRequest& request) override;
  asio::awaitable<void> OnConnected(ConnectionId id) override;
  asio::awaitable<void> OnDataIn(ConnectionId id, std::string text) override;
  asio::awaitable<void> OnDisconnected(ConnectionId id, int statusCode,
                                       std::string description) override;
  asio::awaitable<void> OnError(ConnectionId id, int code, std::string description) override;
  asio::awaitable<void> OnSslStatus(ConnectionId id, std::string message) override;
  asio::awaitable<void> OnConnectionRefused(std::string remoteAddress, std::string reason) override;

 private:
  ConnectionRef Ref(ConnectionId id) const { return {server_, id}; }

  Broker& broker_;
  ServerIndex server_;
};

// What the broker needs from the rest of the service.
struct BrokerContext {
  Clock& clock;
  AppEventLog& events;
  std::filesystem::path programDir;
  const bool& debugMode;
  // Stores the alarm receiver an agent announces (customer id, receiver payload); true once it
  // is committed, false when it cannot be stored (the callee reports why).
  std::function<asio::awaitable<bool>(std::string, std::string)> saveBrokenConnAlarm;
  // How long an admitted agent with this keep-alive interval may stay silent before its server
  // closes the connection: longer than supervision needs to drop it. Empty: the server's own.
  std::function<std::chrono::milliseconds(std::int16_t kaInterval)> agentIdleLimit;
  // Queues one write of the Customer table (an agent's pinned pass) without holding up the
  // caller; true once committed, false when it was given up (the writer reports why). Empty:
  // pins are kept in memory only.
  std::function<asio::awaitable<bool>(DbWrite)> storeCustomerWrite;
};

class Broker {
 public:
  explicit Broker(BrokerContext context);

  // The servers are attached once they exist; either may be absent (not enabled).
  void AttachServers(WebSocketServer* plain, WebSocketServer* tls);

  WebSocketEvents& plainEvents() { return plainEndpoint_; }
  WebSocketEvents& tlsEvents() { return tlsEndpoint_; }
  // Readers see const records; the operations of ConnectionTables are the only writers.
  ConnectionTables& tables() { return tables_; }
  const ConnectionTables& tables() const { return tables_; }

  // Counts since the start, for monitoring. Agents dropped by supervision or the console are
  // counted by their callers through CountAgentDrop.
  const BrokerCounts& counts() const { return counts_; }
  void CountAgentDrop(AgentDrop reason) { CountOne(counts_.agentsDropped, reason); }

  // What became of a send or a disconnect: kGone when the connection is no longer open (it is
  // closing, or its end event is on its way), which is no failure of the caller's.
  enum class Delivery { kSent, kGone };
  [[nodiscard]] Delivery SendTo(ConnectionRef connection, std::string&& text) const;
  [[nodiscard]] Delivery DisconnectFrom(ConnectionRef connection) const;
  // The failure text for a caller to whom a gone connection is a failure ("send", "disconnect").
  static std::string GoneText(std::string_view action, ConnectionRef connection);
  // Gives the agent's connection the idle limit that its keep-alive interval calls for.
  void WatchAgentSilence(const CustomerRecord& agent) const;

  // Table procedures.
  asio::awaitable<void> CustTableInit();
  asio::awaitable<void> MobTableInit();
  // True when the table was read and reconciled; false when a failure ended it (level-1 event).
  asio::awaitable<bool> CustTableUpdate();
  struct VersionCheck {
    std::int16_t major = 0;
    bool match = false;
  };
  asio::awaitable<VersionCheck> VerifyProgVersion(std::string custID, std::string version);

  // Refusals of an agent whose pass is not the pinned one: one level-2 event per address and
  // interval.
  static constexpr std::chrono::seconds kPinRefusalReportInterval{60};

  // How long a refused connection stays open after its refusal was sent.
  static constexpr std::chrono::milliseconds kRefusalGrace{2000};

  // Refused admissions per client address and the cooling they earn (RefusalLimiter), and the
  // reverse proxies whose clients are named by the last X-Forwarded-For entry. Set at start.
  void ConfigureAdmissionLimits(RefusalLimiter::Limits limits, std::set<std::string> trustedProxies);

  // Event handlers (called by the endpoints).
  // Logs the TCP connection; refuses it (accept false) while its address cools down after too
  // many refused admissions, logging that once per address per minute.
  asio::awaitable<void> ConnectionRequest(ServerIndex server, const std::string& address, int port,
                                          bool& accept);
  // Connections the server closed at the accept by a limit: one line in the connection-request
  // log ("Accept: False") and a level-2 event naming the address and the reason.
  asio::awaitable<void> ConnectionRefused(ServerIndex server, const std::string& address,
                                          const std::string& reason);
  asio::awaitable<void> WebSocketOpenRequest(ServerIndex server, OpenRequest& request);
  asio::awaitable<void> Connected(ConnectionRef c);
  asio::awaitable<void> DataIn(ConnectionRef c, std::string text);
  // Frees the record of the connection. An agent whose connection ended other than by its own
  // normal close (1000, 1001) or the service's disconnect (kClosedByServer) starts the pending
  // broken-connection alarm (bcaWaitState, bcaWaitTime 0) with a level-2 event.
  asio::awaitable<void> Disconnected(ConnectionRef c, int statusCode, const std::string& description);
  asio::awaitable<void> Error(ConnectionRef c, int code, const std::string& description);
  asio::awaitable<void> SslStatus(ConnectionRef c, const std::string& message);

 private:
  // The admission verdict of one connection, kept from its open request to its end.
  struct Verdict {
    bool accepted = false;
    std::string custID;  // 8 characters
    std::string mobNr{kAgentNumberField};
    std::string message;
  };
  WebSocketServer* ServerOf(ConnectionRef c) const { return servers_[static_cast<std::size_t>(c.server)]; }

  asio::awaitable<void> OpenRequestAgent(ConnectionRef c, const LoginPath& login, Verdict& verdict);
  asio::awaitable<void> OpenRequestMobile(ConnectionRef c, const LoginPath& login, Verdict& verdict);
  // The slot of the customer an open request names, when its id matches and the account is
  // enabled; otherwise 0 with the refusal in `verdict`. A slot out of range throws.
  int AdmissibleCustomer(const LoginPath& login, Verdict& verdict);
  NewConnection Arrival(ConnectionRef c, const LoginPath& login) const;
  // Pins the pass of the agent just admitted in `slot` and queues its table write; returns the
  // event text. A pass that cannot be hashed throws (the agent stays admitted, unpinned).
  std::string PinAgentPass(const asio::any_io_executor& executor, int slot, const std::string& custID,
                           std::string_view pass);
  // Writes an event of OpenRequestAgent without making the open request wait for its pause.
  void ReportAdmission(const asio::any_io_executor& executor, std::string text, int level);
  // The refusal event for an agent whose pass is not the pinned one, or empty when this address
  // was reported within the interval.
  std::string PinRefusalEvent(ConnectionRef c, const std::string& custID);
  asio::awaitable<void> ForgetDeletedCustomer(int slot);
  // The "Account Disabled" event, then the disconnect of the agent the slot held before it.
  asio::awaitable<void> DisconnectDisabledAgent(int slot);
  void LogMobileConnection(const Verdict& verdict, std::string_view headers);
  // The address admission and the logs name for the connection.
  std::string ClientAddress(ConnectionRef c) const;
  std::string ClientAddressOf(ConnectionRef c, const OpenRequest& request) const;
  // Counts the outcome, and against the client's address a refusal that is the client's doing.
  void CountAdmission(ConnectionRef c, const Verdict& verdict);
  void SetRefusal(ConnectionRef c, std::string_view text);
  asio::awaitable<void> CloseAfterGrace(ConnectionRef c, std::uint64_t serial);

  // Data-in paths; each returns the outgoing text for the trace.
  struct Handled {
    std::string traceFile;  // Debug/ file prefix + id, empty for no data-in block
    ConnectionId traceId = 0;
    std::string sent;
    bool traced = true;
  };
  asio::awaitable<Handled> AgentControl(ConnectionRef c, int agentSlot, const std::string& text);
  Handled KeepAlive(ConnectionRef c, int agentSlot, const std::string& text);
  // May move the text out when no trace needs it afterwards. A relay whose receiver has gone
  // writes the failure event at once and goes on; the sender's connection is not held up.
  Handled RelayRequest(ConnectionRef c, int mobileSlot, std::string& text);
  Handled RelayAnswer(ConnectionRef c, int agentSlot, std::string& text);
  void ReportGone(ConnectionRef from, ConnectionRef to, const std::string& text);
  void CountRelayed(RelayDirection direction, std::size_t bytes) {
    CountOne(counts_.relayedMessages, direction);
    CountOne(counts_.relayedBytes, direction, bytes);
  }
  asio::awaitable<Handled> MobileVersion(ConnectionRef c, int mobileSlot, const std::string& text);
  std::string MismatchText(std::int16_t major);

  // Sender identity: the slot that the connection holds for the header's customer, or 0.
  int RegisteredAgent(ConnectionRef c, std::string_view text) const;
  int RegisteredMobile(ConnectionRef c, std::string_view text) const;

  // Sends a reply to the sender of `header`; one that has gone meanwhile is reported as a relay
  // to a gone receiver is, and its message is not traced.
  Delivery Reply(ConnectionRef c, const std::string& header, std::string_view replyText, Handled& handled);

  Clock& clock_;
  AppEventLog& events_;
  std::filesystem::path programDir_;
  const bool& debugMode_;
  std::function<asio::awaitable<bool>(std::string, std::string)> saveBrokenConnAlarm_;
  std::function<std::chrono::milliseconds(std::int16_t)> agentIdleLimit_;
  std::function<asio::awaitable<bool>(DbWrite)> storeCustomerWrite_;
  DebugTrace trace_;
  ConnectionTables tables_;
  AgentPassPins pins_;
  ReportThrottle pinRefusals_{kPinRefusalReportInterval};
  BrokerEndpoint plainEndpoint_;
  BrokerEndpoint tlsEndpoint_;
  std::array<WebSocketServer*, kServerCount> servers_{};
  std::map<ConnectionRef, std::pair<Verdict, std::uint64_t>> verdicts_;
  std::uint64_t nextSerial_ = 1;
  // The address each connection is known by: the peer, or the client a trusted proxy names.
  std::map<ConnectionRef, std::string> clientAddresses_;
  RefusalLimiter refusals_;
  std::set<std::string> trustedProxies_;
  BrokerCounts counts_;
};

}  // namespace vantor
