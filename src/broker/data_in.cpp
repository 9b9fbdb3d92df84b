// Every message after admission: the agents' control messages, the relay of mobile requests and
// agent answers, and the mobiles' version check. A message is handled only when the connection
// that sent it is the one registered for the customer (and mobile slot) its header names.

#include "broker/broker.hpp"
#include "core/message_header.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "core/text_fields.hpp"
#include "logging/stat_log.hpp"

#include <fmt/format.h>

namespace vantor {

namespace {

constexpr std::string_view kStatNoReply = "noReply (due to web server sent the query)";
// The pending-alarm wait counts up to the keep-alive interval in steps of 30 within 16 bits.
constexpr std::int64_t kMaxKeepAliveInterval = 32767 - 30;

std::string MobileTracePrefix(ServerIndex server) {
  return std::string(Describe(server).filePrefix) + "MobSession-";
}

}  // namespace

// The event of a message that could not be passed on: the text, level and handler name of a
// failure in the handler, written without its pause, as the sender's next message must not wait
// for a receiver that has gone.
void Broker::ReportGone(ConnectionRef from, ConnectionRef to, const std::string& text) {
  events_.AppEventNoPause(kFormModule, Describe(from.server).Handler("DataIn"),
                          fmt::format("{}(connID={}, text={})", GoneText("send", to), from.id, ShortenForEvent(text)),
                          kLevelError);
}

asio::awaitable<void> Broker::DataIn(ConnectionRef c, std::string text) {
  const ServerDescriptor& s = Describe(c.server);
  const ConnectionId id = c.id;
  std::string failure;
  try {
    const MessageView message(text);
    const char kind = message.kind();
    const char sender = message.sender();
    std::optional<Handled> handled;
    bool ignored = true;
    if (kind == 'D' && sender == 'M') {
      if (const int mobile = RegisteredMobile(c, text)) {
        ignored = false;
        handled = RelayRequest(c, mobile, text);
      }
    } else if (kind == 'D' && sender == 'A') {
      if (const int agent = RegisteredAgent(c, text)) {
        ignored = false;
        handled = RelayAnswer(c, agent, text);
      }
    } else if (kind == 'C' && sender == 'M' && message.IsCommand(kVersionWord)) {
      if (const int mobile = RegisteredMobile(c, text)) {
        ignored = false;
        handled = co_await MobileVersion(c, mobile, text);
      }
    } else if (kind == 'C' && sender == 'A') {
      if (const int agent = RegisteredAgent(c, text)) {
        ignored = false;
        handled = co_await AgentControl(c, agent, text);
      }
    } else {
      ignored = false;  // neither control nor data: not part of the protocol, no trace
    }
    if (ignored) {
      trace_.Block(std::string(s.filePrefix) + "Ignored-", id, "##### DataIn Ignored #####",
                   {"<--- " + text});
    } else if (handled && handled->traced && trace_.enabled()) {
      const char* banner = sender == 'M' ? "##### DataIn From Mobile #####" : "##### DataIn From Agent #####";
      trace_.Block(handled->traceFile, handled->traceId, banner,
                   {"<--- " + text, "---> " + handled->sent});
      // Read anew: the view taken before the relay must not outlive a buffer the relay moves on.
      const MessageView traced(text);
      if (traced.numberField() == "1  " && traced.body().starts_with("002:")) trace_.Sql002(sender, text);
    }
  } catch (const std::exception& e) {
    failure = fmt::format("{}(connID={}, text={})", e.what(), id, ShortenForEvent(text));
  }
  if (!failure.empty()) co_await events_.AppEvent(kFormModule, s.Handler("DataIn"), failure, kLevelError);
}

Broker::Handled Broker::RelayRequest(ConnectionRef c, int mobileSlot, std::string& text) {
  const ServerDescriptor& s = Describe(c.server);
  Handled handled{std::string(s.filePrefix) + "MobSession-", c.id, {}, true};
  const MessageView message(text);
  const int agentSlot = static_cast<int>(WholeNumber(message.customerSlotField()));
  const CustomerRecord& agent = tables_.Customer(agentSlot);
  if (agent.custID != message.customerId() || !agent.connected()) {
    Reply(c, text, "MSG:Agent Software Not Connected", handled);
    return handled;
  }
  Delivery delivery;
  std::size_t bytes = 0;
  if (trace_.enabled()) {
    handled.sent = text;
    s.cleanRequest(handled.sent);
    bytes = handled.sent.size();
    delivery = SendTo(agent.connection, std::string(handled.sent));
  } else {
    // The hot path: the received buffer itself is cleaned and handed to the agent's server.
    s.cleanRequest(text);
    bytes = text.size();
    delivery = SendTo(agent.connection, std::move(text));  // kept by the caller when not sent
  }
  if (delivery == Delivery::kGone) {
    ReportGone(c, agent.connection, text);
    handled.traced = false;
    return handled;
  }
  tables_.CountRequest(agentSlot, mobileSlot);
  CountRelayed(RelayDirection::kToAgent, bytes);
  return handled;
}

Broker::Handled Broker::RelayAnswer(ConnectionRef c, int agentSlot, std::string& text) {
  const MessageView message(text);
  const int mobileSlot = static_cast<int>(WholeNumber(message.numberField()));
  const MobileRecord& mobile = tables_.Mobile(mobileSlot);
  if (mobile.custID != message.customerId() || !mobile.connected()) {
    Handled handled{std::string(Describe(c.server).filePrefix) + "AgtDataIn-", c.id, {}, true};
    Reply(c, text, "Mobile Software Not Connected", handled);
    return handled;
  }
  Handled handled{MobileTracePrefix(mobile.connection.server), mobile.connection.id, {}, true};
  Delivery delivery;
  const std::size_t bytes = text.size();
  if (trace_.enabled()) {
    handled.sent = text;
    delivery = SendTo(mobile.connection, std::string(text));
  } else {
    delivery = SendTo(mobile.connection, std::move(text));  // forwarded unchanged: no copy
  }
  if (delivery == Delivery::kGone) {
    ReportGone(c, mobile.connection, text);
    handled.traced = false;
    return handled;
  }
  tables_.CountAnswer(agentSlot, mobileSlot);
  CountRelayed(RelayDirection::kToMobile, bytes);
  return handled;
}

asio::awaitable<Broker::Handled> Broker::MobileVersion(ConnectionRef c, int mobileSlot, const std::string& text) {
  const ServerDescriptor& s = Describe(c.server);
  Handled handled{std::string(s.filePrefix) + "MobSession-", c.id, {}, true};
  const MessageView message(text);
  const std::string version(message.Version());
  const std::string custID(message.customerId());
  const VersionCheck check = co_await VerifyProgVersion(custID, version);
  if (check.match) {
    // The version check may have waited; the slot must still be this connection's.
    if (tables_.Mobile(mobileSlot).HoldsConnection(c)) tables_.SetMobileVersion(mobileSlot, version);
    Reply(c, text, "VER:OK", handled);
    co_return handled;
  }
  if (Reply(c, text, MismatchText(check.major), handled) == Delivery::kGone) co_return handled;
  co_await events_.AppEvent(kFormModule, s.Handler("DataIn"),
                            "Mobile CustID: " + custID + " Program Version Mismatch", kLevelDropped);
  co_return handled;
}

std::string Broker::MismatchText(std::int16_t major) {
  static const char* kDefaultHosts[] = {"https://download.example.com/vantor-web/1/",
                                        "https://download.example.com/vantor-web/2/",
                                        "https://download.example.com/vantor-web/3/"};
  if (major < 1 || major > 3) return "MSG:Program Version Mismatch.";
  std::string host = kDefaultHosts[major - 1];
  try {
    const auto settings = GeneralSettings::Load(programDir_ / kDatabaseFileName);
    if (auto configured = settings.Optional(fmt::format("DownloadHost{}", major))) host = *configured;
  } catch (const ProcedureError&) {
    // An unreadable database leaves the built-in host; the mobile still learns what to do.
  }
  return "MSG:Program Version Mismatch.\r\nDownload New Software\r\nFrom Your Browser at:\r\n" + host;
}

asio::awaitable<Broker::Handled> Broker::AgentControl(ConnectionRef c, int agentSlot, const std::string& text) {
  const ServerDescriptor& s = Describe(c.server);
  Handled handled{std::string(s.filePrefix) + "AgtDataIn-", c.id, {}, true};
  const MessageView message(text);
  if (message.IsKeepAlive()) co_return KeepAlive(c, agentSlot, text);
  if (message.IsCommand(kVersionWord)) {
    const bool withInterval = message.body().find("KEEPALIVE:") != std::string_view::npos;
    if (Reply(c, text, withInterval ? "VER:OK KEEPALIVE:OK" : "VER:OK", handled) == Delivery::kGone) {
      co_return handled;
    }
    tables_.SetAgentVersion(agentSlot, std::string(message.Version()));
    std::int16_t interval = 30;
    if (withInterval) {
      const std::int64_t announced = To16(WholeNumber(message.AnnouncedKeepAlive()));
      interval = static_cast<std::int16_t>(std::min(kMaxKeepAliveInterval, announced));
    }
    tables_.SetKeepAliveInterval(agentSlot, interval);
    const CustomerRecord& agent = tables_.Customer(agentSlot);
    WatchAgentSilence(agent);
    const auto it = verdicts_.find(c);
    if (it != verdicts_.end() && it->second.first.accepted) {
      co_await events_.AppEvent(kFormModule, s.Handler("DataIn"),
                                fmt::format("{} Connected From: {} (connID={})", agent.company,
                                            agent.connIpAddr, c.id),
                                kLevelInfo);
    }
  } else if (message.IsCommand(kAlarmReceiverWord)) {
    // Only a receiver that is on disk is acknowledged; one that cannot be stored gets no reply
    // (the store wrote why), and the agent can tell it was not kept.
    if (co_await saveBrokenConnAlarm_(std::string(message.customerId()),
                                       std::string(TrimSpaces(message.ArgumentOf(kAlarmReceiverWord))))) {
      Reply(c, text, "BCA:OK", handled);
    }
  } else if (message.IsCommand(kStatLogWord)) {
    handled.sent = kStatNoReply;
    const CustomerRecord& agent = tables_.Customer(agentSlot);
    co_await SaveStatLog(clock_, events_, programDir_, agent.company, agent.version,
                         std::string(message.ArgumentOf(kStatLogWord)));
  }
  co_return handled;
}

Broker::Handled Broker::KeepAlive(ConnectionRef c, int agentSlot, const std::string& text) {
  const auto tab = text.find('\t');
  const std::string echo = text.substr(0, tab);
  const std::string rtt = tab == std::string::npos ? "" : text.substr(tab + 1);
  std::optional<std::int32_t> sample;
  if (const auto number = ParseNumber(rtt); number && *number >= 0 && *number < 10000) {
    sample = static_cast<std::int32_t>(RoundHalfEven(*number));
  }
  tables_.RecordKeepAlive(agentSlot, sample);
  if (SendTo(c, std::string(echo)) == Delivery::kGone) {
    ReportGone(c, c, text);
    return Handled{{}, 0, {}, false};
  }
  trace_.KeepAlive(Describe(c.server).filePrefix, c.id, rtt, echo, echo);
  return Handled{{}, 0, echo, false};
}

}  // namespace vantor
