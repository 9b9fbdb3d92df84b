// Admission: the connection request log, the open request that decides whether an agent or a
// mobile may register, and the first message that tells the client the verdict.

#include "broker/broker.hpp"
#include "core/message_header.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/text_fields.hpp"
#include "platform/host/text_file.hpp"
#include "platform/net/ip_address.hpp"
#include "platform/tls/pass_hash.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace vantor {

namespace {

std::string NotFound(std::string_view custID) {
  return fmt::format("MSG:Disconnected. CustID: {} Not Found", custID);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A connection whose path names neither an agent nor a mobile is told so and closed.
constexpr std::string_view kInvalidPath = "MSG:Disconnected. Invalid Request Path";
// Told to a connection whose open request failed before a verdict was reached.
constexpr std::string_view kRefused = "MSG:Disconnected. Connection Refused";
constexpr std::string_view kInvalidPass = "MSG:Disconnected. Invalid CustPass";

// The outcome a verdict's first message tells the client.
AdmissionOutcome OutcomeOf(bool accepted, std::string_view message) {
  if (accepted) return AdmissionOutcome::kAccepted;
  if (message == kInvalidPass) return AdmissionOutcome::kInvalidPass;
  if (message == kInvalidPath) return AdmissionOutcome::kInvalidPath;
  if (message == "MSG:Connection Exist.") return AdmissionOutcome::kConnectionExists;
  if (message == "MSG:Disconnected. Agent Software Not Connected") return AdmissionOutcome::kAgentNotConnected;
  if (message.starts_with("MSG:Disconnected. Max Connection is ")) return AdmissionOutcome::kMobileSlotsFull;
  if (message.starts_with("MSG:Disconnected. CustID: ")) {
    return message.ends_with(" Not Enabled") ? AdmissionOutcome::kNotEnabled : AdmissionOutcome::kNotFound;
  }
  return AdmissionOutcome::kRequestFailed;
}

}  // namespace

void Broker::SetRefusal(ConnectionRef c, std::string_view text) {
  auto it = verdicts_.find(c);
  if (it != verdicts_.end()) it->second.first.message = text;
}

asio::awaitable<void> Broker::ConnectionRequest(ServerIndex server, const std::string& address, int port,
                                                bool& accept) {
  const ServerDescriptor& s = Describe(server);
  if (accept && !trustedProxies_.contains(address) && refusals_.Cooling(address, clock_.Now())) {
    accept = false;
    ++counts_.coolingRefusals;
    if (!refusals_.ShouldReport(address, clock_.Now())) co_return;
    const auto& limits = refusals_.limits();
    co_await events_.AppEvent(kFormModule, s.Handler("ConnectionRequest"),
                              fmt::format("Connections From {} Refused: {} refused admissions within {} s; refused "
                                          "at the accept for {} s",
                                          address, limits.maxRefused, limits.window.count(), limits.cooling.count()),
                              kLevelDropped);
  }
  co_await Guarded(events_, kFormModule, s.Handler("ConnectionRequest"), [&]() -> asio::awaitable<void> {
    const auto file = programDir_ / "Log" / fmt::format("{}ConnectionRequest.txt", s.filePrefix);
    const std::string line = fmt::format("{}\tFrom: {}\t{}\tAccept: {}", trace_.Timestamp(), address,
                                         port, accept ? "True" : "False");
    if (!AppendLine(file, line)) throw ProcedureError("Path not found: " + file.string());
    co_return;
  });
}

asio::awaitable<void> Broker::ConnectionRefused(ServerIndex server, const std::string& address,
                                                const std::string& reason) {
  const ServerDescriptor& s = Describe(server);
  bool accept = false;
  co_await ConnectionRequest(server, address, 0, accept);
  co_await events_.AppEvent(kFormModule, s.Handler("ConnectionRequest"),
                            fmt::format("Connections From {} Refused: {}", address, reason), kLevelDropped);
}

asio::awaitable<void> Broker::WebSocketOpenRequest(ServerIndex server, OpenRequest& request) {
  const ServerDescriptor& s = Describe(server);
  const ConnectionRef c{server, request.id};
  // Until admission says otherwise, the connection is refused.
  const std::string client = ClientAddressOf(c, request);
  clientAddresses_[c] = client;
  verdicts_[c] = {Verdict{false, "00000000", std::string(kAgentNumberField), std::string(kRefused)}, nextSerial_++};
  // A client behind a trusted proxy is only known now; while it cools down it gets no upgrade.
  if (trustedProxies_.contains(ServerOf(c)->RemoteAddress(request.id).value_or("")) &&
      refusals_.Cooling(client, clock_.Now())) {
    ++counts_.coolingRefusals;
    request.statusCode = 429;
    co_return;
  }
  co_await Guarded(events_, kFormModule, s.Handler("WebSocketOpenRequest"), [&]() -> asio::awaitable<void> {
    const LoginPath login = ReadLoginPath(request.uri);
    const char* prefix = login.kind == LoginKind::kAgent    ? "AgtWebSocketOpenRequest-"
                         : login.kind == LoginKind::kMobile ? "MobSession-"
                                                            : "ErrWebSocketOpenRequest-";
    if (login.kind == LoginKind::kOther) SetRefusal(c, kInvalidPath);
    trace_.OpenRequest(std::string(s.filePrefix) + prefix, request);
    if (request.statusCode != 101 || login.kind == LoginKind::kOther) co_return;
    Verdict decided;
    if (login.kind == LoginKind::kAgent) {
      co_await OpenRequestAgent(c, login, decided);
    } else {
      co_await OpenRequestMobile(c, login, decided);
    }
    // The verdict belongs to this connection alone, whatever other open requests ran meanwhile.
    auto it = verdicts_.find(c);
    if (it == verdicts_.end()) co_return;
    it->second.first = decided;
    if (login.kind == LoginKind::kMobile && decided.accepted) LogMobileConnection(decided, request.headers);
  });
  auto it = verdicts_.find(c);
  if (it == verdicts_.end()) co_return;
  if (!it->second.first.accepted) request.admitted = false;
  CountAdmission(c, it->second.first);
}

// Refusals that say the client does not know what it claims (an id, a pass, a path), and run-time
// failures that its request caused, count against its address; a full table or an absent agent
// are not the client's doing.
void Broker::CountAdmission(ConnectionRef c, const Verdict& verdict) {
  const AdmissionOutcome outcome = OutcomeOf(verdict.accepted, verdict.message);
  CountOne(counts_.admissions, outcome);
  switch (outcome) {
    case AdmissionOutcome::kAccepted:
    case AdmissionOutcome::kConnectionExists:
    case AdmissionOutcome::kAgentNotConnected:
    case AdmissionOutcome::kMobileSlotsFull:
      return;
    default:
      refusals_.CountRefusal(ClientAddress(c), clock_.Now());
  }
}

std::string Broker::ClientAddress(ConnectionRef c) const {
  auto it = clientAddresses_.find(c);
  if (it != clientAddresses_.end()) return it->second;
  return ServerOf(c)->RemoteAddress(c.id).value_or("0.0.0.0");
}

// The peer's address, unless the peer is a trusted reverse proxy: then the last entry of the last
// X-Forwarded-For header, the client as that proxy saw it (entries before it are the client's
// own word). A proxy that sends none, or no address there, is named itself.
std::string Broker::ClientAddressOf(ConnectionRef c, const OpenRequest& request) const {
  const std::string peer = ServerOf(c)->RemoteAddress(request.id).value_or("0.0.0.0");
  if (!trustedProxies_.contains(peer)) return peer;
  std::string forwarded;
  std::string_view headers = request.headers;
  while (!headers.empty()) {
    const auto end = std::min(headers.find("\r\n"), headers.size());
    const std::string_view line = headers.substr(0, end);
    headers.remove_prefix(std::min(end + 2, headers.size()));
    const auto colon = line.find(':');
    if (colon != std::string_view::npos && EqualsIgnoringCase(line.substr(0, colon), "X-Forwarded-For")) {
      forwarded = std::string(line.substr(colon + 1));
    }
  }
  const auto comma = forwarded.rfind(',');
  const std::string last(TrimSpaces(comma == std::string::npos ? std::string_view(forwarded)
                                                               : std::string_view(forwarded).substr(comma + 1)));
  return IsIpAddress(last) ? last : peer;
}

int Broker::AdmissibleCustomer(const LoginPath& login, Verdict& verdict) {
  if (!login.slot) return 0;  // the verdict already says "Not Found"
  const int slot = static_cast<int>(*login.slot);
  const CustomerRecord& record = tables_.Customer(slot);
  if (record.custID != login.custID) return 0;
  if (!record.enabled) {
    verdict.message = fmt::format("MSG:Disconnected. CustID: {} Not Enabled", record.custID);
    return 0;
  }
  return slot;
}

NewConnection Broker::Arrival(ConnectionRef c, const LoginPath& login) const {
  return NewConnection{c, ClientAddress(c), clock_.Now(), login.pass};
}

asio::awaitable<void> Broker::OpenRequestAgent(ConnectionRef c, const LoginPath& login, Verdict& verdict) {
  verdict = Verdict{false, FixedWidth(login.custID, kCustomerIdLength), std::string(kAgentNumberField),
                    NotFound(login.custID)};
  co_await Guarded(events_, kCodeModule, "OpenRequestAgent", [&]() -> asio::awaitable<void> {
    const int slot = AdmissibleCustomer(login, verdict);
    if (slot == 0) co_return;
    const CustomerRecord& record = tables_.Customer(slot);
    // The pass is checked before the connection check, so that only the holder of the pinned
    // pass can hasten the drop of the registered agent.
    const auto pin = pins_.Check(slot, login.pass);
    if (pin == AgentPassPins::Verdict::kMismatch) {
      verdict.message = kInvalidPass;
      std::string event = PinRefusalEvent(c, record.custID);
      if (!event.empty()) ReportAdmission(co_await asio::this_coro::executor, std::move(event), kLevelDropped);
      co_return;
    }
    if (record.connected()) {
      tables_.RefreshAgentAging(slot);
      verdict.message = "MSG:Connection Exist.";
      co_return;
    }
    tables_.RegisterAgent(slot, Arrival(c, login));
    WatchAgentSilence(record);
    verdict.accepted = true;
    verdict.message = "Connection Accepted";
    if (pin == AgentPassPins::Verdict::kUnpinned) {
      const auto executor = co_await asio::this_coro::executor;
      ReportAdmission(executor, PinAgentPass(executor, slot, record.custID, login.pass), kLevelInfo);
    }
  });
}

std::string Broker::PinAgentPass(const asio::any_io_executor& executor, int slot, const std::string& custID,
                                 std::string_view pass) {
  auto hash = HashPass(pass);
  if (!hash) throw ProcedureError("The pass of the agent of customer " + custID + " could not be hashed");
  pins_.Pin(slot, custID, *hash);
  if (!storeCustomerWrite_) {
    pins_.MarkStored(custID);
  } else {
    // An operator's pin made meanwhile wins: only an empty column takes this one.
    DbWrite write{"Customer.AgentPassHash." + custID,
                  "UPDATE Customer SET AgentPassHash = ? WHERE CustID = ? "
                  "AND (AgentPassHash IS NULL OR AgentPassHash = '')",
                  {*hash, custID}};
    asio::co_spawn(
        executor,
        [this, custID, write = std::move(write)]() mutable -> asio::awaitable<void> {
          co_await storeCustomerWrite_(std::move(write));
          pins_.MarkStored(custID);
        },
        asio::detached);
  }
  return fmt::format("Agent Pass Of Customer {} Pinned", custID);
}

void Broker::ReportAdmission(const asio::any_io_executor& executor, std::string text, int level) {
  // The event's pause must not hold back the verdict: the agent's record ages from its admission.
  asio::co_spawn(
      executor,
      [this, text = std::move(text), level]() -> asio::awaitable<void> {
        co_await events_.AppEvent(kCodeModule, "OpenRequestAgent", text, level);
      },
      asio::detached);
}

std::string Broker::PinRefusalEvent(ConnectionRef c, const std::string& custID) {
  const std::string address = ClientAddress(c);
  if (!pinRefusals_.ShouldReport(address, clock_.Now())) return {};
  return fmt::format("Agent Of Customer {} From {} Refused: Pass Is Not The Pinned Pass", custID, address);
}

asio::awaitable<void> Broker::OpenRequestMobile(ConnectionRef c, const LoginPath& login, Verdict& verdict) {
  verdict = Verdict{false, FixedWidth(login.custID, kCustomerIdLength), std::string(kAgentNumberField),
                    NotFound(login.custID)};
  co_await Guarded(events_, kCodeModule, "OpenRequestMobile", [&]() -> asio::awaitable<void> {
    const int slot = AdmissibleCustomer(login, verdict);
    if (slot == 0) co_return;
    const CustomerRecord& record = tables_.Customer(slot);
    if (!record.connected()) {
      verdict.message = "MSG:Disconnected. Agent Software Not Connected";
      co_return;
    }
    if (login.pass != record.custPass) {
      verdict.message = kInvalidPass;
      co_return;
    }
    int free = 0;
    for (int m = 1; m <= kMobileSlots && free == 0; ++m) {
      if (!tables_.Mobile(m).connected()) free = m;
    }
    if (free == 0) {
      verdict.message = fmt::format("MSG:Disconnected. Max Connection is {}", kMobileSlots);
      co_return;
    }
    // The company of the first slot with this id, as the customer table may hold it twice.
    std::string company;
    for (int n = 1; n <= kCustomerSlots; ++n) {
      if (tables_.Customer(n).custID == login.custID) {
        company = tables_.Customer(n).company;
        break;
      }
    }
    tables_.RegisterMobile(free, login.custID, Arrival(c, login), std::move(company));
    verdict.accepted = true;
    verdict.mobNr = MobileNumberField(free);
    verdict.message = "Connection Accepted";
  });
}

void Broker::LogMobileConnection(const Verdict& verdict, std::string_view headers) {
  const auto file = programDir_ / "Log" / "MobileConnection.txt";
  const auto label = headers.find("User-Agent:");
  if (label == std::string_view::npos) {
    if (!AppendText(file, "")) throw ProcedureError("Path not found: " + file.string());
    return;
  }
  const auto end = headers.find("\r\n", label);
  const std::string_view userAgent = headers.substr(label, end == std::string_view::npos ? end : end - label);
  const MobileRecord& mobile = tables_.Mobile(static_cast<int>(WholeNumber(verdict.mobNr)));
  const std::string line = fmt::format("{}\t{}\t{}\t{}", trace_.Timestamp(), mobile.connIpAddr,
                                       FixedWidth(EscapeForLine(mobile.company), 20), EscapeForLine(userAgent));
  if (!AppendLine(file, line)) throw ProcedureError("Path not found: " + file.string());
}

asio::awaitable<void> Broker::Connected(ConnectionRef c) {
  const ServerDescriptor& s = Describe(c.server);
  co_await Guarded(events_, kFormModule, s.Handler("Connected"), [&]() -> asio::awaitable<void> {
    auto it = verdicts_.find(c);
    if (it == verdicts_.end()) co_return;  // closed meanwhile
    const Verdict& verdict = it->second.first;
    const std::string first = verdict.accepted ? ServerMessage(verdict.custID, verdict.mobNr, verdict.message)
                                               : RefusalMessage(verdict.message);
    const bool refused = !verdict.accepted;
    const std::uint64_t serial = it->second.second;
    trace_.Block(std::string(s.filePrefix) + "Connected-", c.id, "##### Connected #####", {"---> " + first});
    if (SendTo(c, std::string(first)) == Delivery::kGone) {
      // Gone before its verdict: its end event follows; no pause holds up the others meanwhile.
      events_.AppEventNoPause(kFormModule, s.Handler("Connected"), GoneText("send", c), kLevelError);
      co_return;
    }
    if (refused) {
      // The client is expected to close on the refusal; if it does not, the service does.
      asio::co_spawn(co_await asio::this_coro::executor, CloseAfterGrace(c, serial), asio::detached);
    }
  });
}

asio::awaitable<void> Broker::CloseAfterGrace(ConnectionRef c, std::uint64_t serial) {
  co_await clock_.Wait(kRefusalGrace);
  auto it = verdicts_.find(c);
  // Only the same refused connection is closed; an id given to a new connection is left alone.
  if (it == verdicts_.end() || it->second.second != serial || it->second.first.accepted) co_return;
  (void)DisconnectFrom(c);  // one that has gone meanwhile needs no closing
}

}  // namespace vantor
