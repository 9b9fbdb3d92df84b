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

enum class RequestClass { kAgent, kMobile, kOther };

RequestClass Classify(std::string_view uri) {
  if (uri.find("/agt?") != std::string_view::npos) return RequestClass::kAgent;
  if (uri.find("/mob?") != std::string_view::npos) return RequestClass::kMobile;
  return RequestClass::kOther;
}

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

}  // namespace

std::string Broker::PassText(std::string_view uri) {
  const auto underscores = uri.find("__________");
  // The pass text runs from position 15 to the ten underscores; without them, or with them
  // starting before position 16, it is empty.
  if (underscores == std::string_view::npos || underscores + 1 < 16) return {};
  return std::string(Mid(uri, 15, underscores + 1 - 15));
}

void Broker::SetRefusal(const ServerDescriptor& s, ConnectionId id, std::string_view text) {
  auto it = verdicts_.find({std::string(s.type), id});
  if (it != verdicts_.end()) it->second.first.message = text;
}

asio::awaitable<void> Broker::ConnectionRequest(const ServerDescriptor& s, const std::string& address,
                                                int port, bool& accept) {
  if (accept && !trustedProxies_.contains(address) && refusals_.Cooling(address, clock_.Now())) {
    accept = false;
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

asio::awaitable<void> Broker::ConnectionRefused(const ServerDescriptor& s, const std::string& address,
                                                const std::string& reason) {
  bool accept = false;
  co_await ConnectionRequest(s, address, 0, accept);
  co_await events_.AppEvent(kFormModule, s.Handler("ConnectionRequest"),
                            fmt::format("Connections From {} Refused: {}", address, reason), kLevelDropped);
}

asio::awaitable<void> Broker::WebSocketOpenRequest(const ServerDescriptor& s, OpenRequest& request) {
  // Until admission says otherwise, the connection is refused.
  const std::string client = ClientAddressOf(s, request);
  clientAddresses_[{std::string(s.type), request.id}] = client;
  verdicts_[{std::string(s.type), request.id}] = {
      Verdict{false, "00000000", std::string(kAgentNumberField), std::string(kRefused)}, nextSerial_++};
  // A client behind a trusted proxy is only known now; while it cools down it gets no upgrade.
  if (trustedProxies_.contains(ServerFor(s.type)->RemoteAddress(request.id).value_or("")) &&
      refusals_.Cooling(client, clock_.Now())) {
    request.statusCode = 429;
    co_return;
  }
  co_await Guarded(events_, kFormModule, s.Handler("WebSocketOpenRequest"), [&]() -> asio::awaitable<void> {
    const RequestClass kind = Classify(request.uri);
    const char* prefix = kind == RequestClass::kAgent    ? "AgtWebSocketOpenRequest-"
                         : kind == RequestClass::kMobile ? "MobSession-"
                                                         : "ErrWebSocketOpenRequest-";
    if (kind == RequestClass::kOther) SetRefusal(s, request.id, kInvalidPath);
    trace_.OpenRequest(std::string(s.filePrefix) + prefix, request);
    if (request.statusCode != 101 || kind == RequestClass::kOther) co_return;
    Verdict decided;
    if (kind == RequestClass::kAgent) {
      co_await OpenRequestAgent(s, request.id, request.uri, decided);
    } else {
      co_await OpenRequestMobile(s, request.id, request.uri, decided);
    }
    // The verdict belongs to this connection alone, whatever other open requests ran meanwhile.
    auto it = verdicts_.find({std::string(s.type), request.id});
    if (it == verdicts_.end()) co_return;
    it->second.first = decided;
    if (kind == RequestClass::kMobile && decided.accepted) LogMobileConnection(decided, request.headers);
  });
  auto it = verdicts_.find({std::string(s.type), request.id});
  if (it != verdicts_.end() && !it->second.first.accepted) {
    request.admitted = false;
    CountRefusal(s, request.id, it->second.first);
  }
}

// Refusals that say the client does not know what it claims (an id, a pass, a path), and run-time
// failures that its request caused, count against its address; a full table or an absent agent
// are not the client's doing.
void Broker::CountRefusal(const ServerDescriptor& s, ConnectionId id, const Verdict& verdict) {
  const std::string& m = verdict.message;
  if (m == "MSG:Connection Exist." || m == "MSG:Disconnected. Agent Software Not Connected" ||
      m.starts_with("MSG:Disconnected. Max Connection is ")) {
    return;
  }
  refusals_.CountRefusal(ClientAddress(s, id), clock_.Now());
}

std::string Broker::ClientAddress(const ServerDescriptor& s, ConnectionId id) const {
  auto it = clientAddresses_.find({std::string(s.type), id});
  if (it != clientAddresses_.end()) return it->second;
  return ServerFor(s.type)->RemoteAddress(id).value_or("0.0.0.0");
}

// The peer's address, unless the peer is a trusted reverse proxy: then the last entry of the last
// X-Forwarded-For header, the client as that proxy saw it (entries before it are the client's
// own word). A proxy that sends none, or no address there, is named itself.
std::string Broker::ClientAddressOf(const ServerDescriptor& s, const OpenRequest& request) const {
  const std::string peer = ServerFor(s.type)->RemoteAddress(request.id).value_or("0.0.0.0");
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

CustomerRecord* Broker::AdmissibleCustomer(std::string_view uri, Verdict& verdict) {
  const auto slot = ParseNumber(Mid(uri, 6, 2));
  if (!slot) return nullptr;  // the verdict already says "Not Found"
  CustomerRecord& record = tables_.Customer(static_cast<int>(RoundHalfEven(*slot)));
  if (record.custID != Mid(uri, 6, 8)) return nullptr;
  if (!record.enabled) {
    verdict.message = fmt::format("MSG:Disconnected. CustID: {} Not Enabled", record.custID);
    return nullptr;
  }
  return &record;
}

asio::awaitable<void> Broker::OpenRequestAgent(const ServerDescriptor& s, ConnectionId id,
                                               std::string_view uri, Verdict& verdict) {
  const std::string custID(Mid(uri, 6, 8));
  verdict = Verdict{false, FixedWidth(custID, kCustomerIdLength), std::string(kAgentNumberField),
                    NotFound(custID)};
  co_await Guarded(events_, kCodeModule, "OpenRequestAgent", [&]() -> asio::awaitable<void> {
    CustomerRecord* found = AdmissibleCustomer(uri, verdict);
    if (!found) co_return;
    CustomerRecord& record = *found;
    const int slot = static_cast<int>(found - tables_.customers().data());
    const std::string pass = PassText(uri);
    // The pass is checked before the connection check, so that only the holder of the pinned
    // pass can hasten the drop of the registered agent.
    const auto pin = pins_.Check(slot, pass);
    if (pin == AgentPassPins::Verdict::kMismatch) {
      verdict.message = kInvalidPass;
      std::string event = PinRefusalEvent(s, id, record.custID);
      if (!event.empty()) ReportAdmission(co_await asio::this_coro::executor, std::move(event), kLevelDropped);
      co_return;
    }
    if (record.connID != 0) {
      record.aging = record.kaInterval;
      verdict.message = "MSG:Connection Exist.";
      co_return;
    }
    RegisterAgent(s, id, uri, record);
    verdict.accepted = true;
    verdict.message = "Connection Accepted";
    if (pin == AgentPassPins::Verdict::kUnpinned) {
      const auto executor = co_await asio::this_coro::executor;
      ReportAdmission(executor, PinAgentPass(executor, slot, record.custID, pass), kLevelInfo);
    }
  });
}

void Broker::RegisterAgent(const ServerDescriptor& s, ConnectionId id, std::string_view uri,
                           CustomerRecord& record) {
  record.connType = s.type;
  record.connID = id;
  record.connIpAddr = ClientAddress(s, id);
  record.connStartTime = clock_.Now();
  record.pktSent = record.pktRecv = record.aging = 0;
  record.custPass = PassText(uri);
  record.rttSum = 0;
  record.rttCount = 0;
  WatchAgentSilence(record);
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

std::string Broker::PinRefusalEvent(const ServerDescriptor& s, ConnectionId id, const std::string& custID) {
  const std::string address = ClientAddress(s, id);
  if (!pinRefusals_.ShouldReport(address, clock_.Now())) return {};
  return fmt::format("Agent Of Customer {} From {} Refused: Pass Is Not The Pinned Pass", custID, address);
}

asio::awaitable<void> Broker::OpenRequestMobile(const ServerDescriptor& s, ConnectionId id,
                                                std::string_view uri, Verdict& verdict) {
  const std::string custID(Mid(uri, 6, 8));
  verdict = Verdict{false, FixedWidth(custID, kCustomerIdLength), std::string(kAgentNumberField),
                    NotFound(custID)};
  co_await Guarded(events_, kCodeModule, "OpenRequestMobile", [&]() -> asio::awaitable<void> {
    const std::string pass = PassText(uri);
    CustomerRecord* found = AdmissibleCustomer(uri, verdict);
    if (!found) co_return;
    CustomerRecord& record = *found;
    if (record.connID == 0) {
      verdict.message = "MSG:Disconnected. Agent Software Not Connected";
      co_return;
    }
    if (pass != record.custPass) {
      verdict.message = kInvalidPass;
      co_return;
    }
    int free = 0;
    for (int m = 1; m <= kMobileSlots && free == 0; ++m) {
      if (tables_.Mobile(m).connID == 0) free = m;
    }
    if (free == 0) {
      verdict.message = fmt::format("MSG:Disconnected. Max Connection is {}", kMobileSlots);
      co_return;
    }
    MobileRecord& mobile = tables_.Mobile(free);
    mobile.custID = custID;
    mobile.connType = s.type;
    mobile.connID = id;
    mobile.connIpAddr = ClientAddress(s, id);
    mobile.connStartTime = clock_.Now();
    mobile.pktRecv = mobile.pktSent = mobile.aging = 0;
    mobile.custPass = pass;
    mobile.company.clear();
    for (int c = 1; c <= kCustomerSlots; ++c) {
      if (tables_.Customer(c).custID == custID) {
        mobile.company = tables_.Customer(c).company;
        break;
      }
    }
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

asio::awaitable<void> Broker::Connected(const ServerDescriptor& s, ConnectionId id) {
  co_await Guarded(events_, kFormModule, s.Handler("Connected"), [&]() -> asio::awaitable<void> {
    auto it = verdicts_.find({std::string(s.type), id});
    if (it == verdicts_.end()) co_return;  // closed meanwhile
    const Verdict& verdict = it->second.first;
    const std::string first = verdict.accepted ? ServerMessage(verdict.custID, verdict.mobNr, verdict.message)
                                               : RefusalMessage(verdict.message);
    const bool refused = !verdict.accepted;
    const std::uint64_t serial = it->second.second;
    trace_.Block(std::string(s.filePrefix) + "Connected-", id, "##### Connected #####",
                 {"---> " + first});
    SendTo(s.type, id, std::string(first));
    if (refused) {
      // The client is expected to close on the refusal; if it does not, the service does.
      asio::co_spawn(co_await asio::this_coro::executor, CloseAfterGrace(s, id, serial),
                     asio::detached);
    }
  });
}

asio::awaitable<void> Broker::CloseAfterGrace(const ServerDescriptor& s, ConnectionId id,
                                              std::uint64_t serial) {
  co_await clock_.Wait(kRefusalGrace);
  auto it = verdicts_.find({std::string(s.type), id});
  // Only the same refused connection is closed; an id given to a new connection is left alone.
  if (it == verdicts_.end() || it->second.second != serial || it->second.first.accepted) co_return;
  if (WebSocketServer* server = ServerFor(s.type)) server->Disconnect(id);
}

}  // namespace vantor
