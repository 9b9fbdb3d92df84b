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

std::string MobileTracePrefix(std::string_view connType) {
  return connType == "ws" ? "WsMobSession-" : "WssMobSession-";
}

}  // namespace

asio::awaitable<void> Broker::DataIn(const ServerDescriptor& s, ConnectionId id, std::string text) {
  std::string failure;
  try {
    const MessageView message(text);
    const char kind = message.kind();
    const char sender = message.sender();
    std::optional<Handled> handled;
    bool ignored = true;
    if (kind == 'D' && sender == 'M') {
      if (MobileRecord* mobile = RegisteredMobile(s, id, text)) {
        ignored = false;
        handled = RelayRequest(s, id, *mobile, text);
      }
    } else if (kind == 'D' && sender == 'A') {
      if (CustomerRecord* agent = RegisteredAgent(s, id, text)) {
        ignored = false;
        handled = RelayAnswer(s, id, *agent, text);
      }
    } else if (kind == 'C' && sender == 'M' && message.IsCommand(kVersionWord)) {
      if (RegisteredMobile(s, id, text)) {
        ignored = false;
        handled = co_await MobileVersion(s, id, static_cast<int>(WholeNumber(message.numberField())), text);
      }
    } else if (kind == 'C' && sender == 'A') {
      if (CustomerRecord* agent = RegisteredAgent(s, id, text)) {
        ignored = false;
        handled = co_await AgentControl(s, id, *agent, text);
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

Broker::Handled Broker::RelayRequest(const ServerDescriptor& s, ConnectionId id, MobileRecord& mobile,
                                     std::string& text) {
  Handled handled{std::string(s.filePrefix) + "MobSession-", id, {}, true};
  const MessageView message(text);
  CustomerRecord& agent = tables_.Customer(static_cast<int>(WholeNumber(message.customerSlotField())));
  if (agent.custID != message.customerId() || agent.connID == 0) {
    Reply(s, id, text, "MSG:Agent Software Not Connected", handled.sent);
    return handled;
  }
  // Counters are computed first, so nothing can fail once the request has gone out.
  const auto agentRecv = Add32(agent.pktRecv, 1);
  const auto mobileRecv = Add32(mobile.pktRecv, 1);
  if (trace_.enabled()) {
    handled.sent = text;
    s.cleanRequest(handled.sent);
    SendTo(agent.connType, agent.connID, std::string(handled.sent));
  } else {
    // The hot path: the received buffer itself is cleaned and handed to the agent's server.
    s.cleanRequest(text);
    SendTo(agent.connType, agent.connID, std::move(text));
  }
  agent.pktRecv = agentRecv;
  mobile.pktRecv = mobileRecv;
  mobile.aging = 0;
  return handled;
}

Broker::Handled Broker::RelayAnswer(const ServerDescriptor& s, ConnectionId id, CustomerRecord& agent,
                                    std::string& text) {
  const MessageView message(text);
  MobileRecord& mobile = tables_.Mobile(static_cast<int>(WholeNumber(message.numberField())));
  if (mobile.custID != message.customerId() || mobile.connID == 0) {
    Handled handled{std::string(s.filePrefix) + "AgtDataIn-", id, {}, true};
    Reply(s, id, text, "Mobile Software Not Connected", handled.sent);
    return handled;
  }
  Handled handled{MobileTracePrefix(mobile.connType), mobile.connID, {}, true};
  const auto agentSent = Add32(agent.pktSent, 1);
  const auto mobileSent = Add32(mobile.pktSent, 1);
  if (trace_.enabled()) {
    handled.sent = text;
    SendTo(mobile.connType, mobile.connID, std::string(text));
  } else {
    SendTo(mobile.connType, mobile.connID, std::move(text));  // forwarded unchanged: no copy
  }
  agent.pktSent = agentSent;
  mobile.pktSent = mobileSent;
  return handled;
}

asio::awaitable<Broker::Handled> Broker::MobileVersion(const ServerDescriptor& s, ConnectionId id,
                                                       int mobileSlot, const std::string& text) {
  Handled handled{std::string(s.filePrefix) + "MobSession-", id, {}, true};
  const MessageView message(text);
  const std::string version(message.Version());
  const std::string custID(message.customerId());
  const VersionCheck check = co_await VerifyProgVersion(custID, version);
  if (check.match) {
    MobileRecord& mobile = tables_.Mobile(mobileSlot);
    // The version check may have waited; the slot must still be this connection's.
    if (mobile.HoldsConnection(s.type, id)) mobile.mobVersion = version;
    Reply(s, id, text, "VER:OK", handled.sent);
    co_return handled;
  }
  Reply(s, id, text, MismatchText(check.major), handled.sent);
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

asio::awaitable<Broker::Handled> Broker::AgentControl(const ServerDescriptor& s, ConnectionId id,
                                                      CustomerRecord& agent, const std::string& text) {
  Handled handled{std::string(s.filePrefix) + "AgtDataIn-", id, {}, true};
  const MessageView message(text);
  if (message.IsKeepAlive()) co_return KeepAlive(s, id, agent, text);
  if (message.IsCommand(kVersionWord)) {
    const bool withInterval = message.body().find("KEEPALIVE:") != std::string_view::npos;
    Reply(s, id, text, withInterval ? "VER:OK KEEPALIVE:OK" : "VER:OK", handled.sent);
    agent.agentVersion = message.Version();
    std::int16_t interval = 30;
    if (withInterval) {
      const std::int64_t announced = To16(WholeNumber(message.AnnouncedKeepAlive()));
      interval = static_cast<std::int16_t>(std::min(kMaxKeepAliveInterval, announced));
    }
    agent.kaInterval = interval;
    agent.bcaWaitState = false;
    agent.bcaWaitTime = 0;
    WatchAgentSilence(agent);
    const auto it = verdicts_.find({std::string(s.type), id});
    if (it != verdicts_.end() && it->second.first.accepted) {
      co_await events_.AppEvent(kFormModule, s.Handler("DataIn"),
                                fmt::format("{} Connected From: {} (connID={})", agent.company,
                                            agent.connIpAddr, id),
                                kLevelInfo);
    }
  } else if (message.IsCommand(kAlarmReceiverWord)) {
    // Only a receiver that is on disk is acknowledged; one that cannot be stored gets no reply
    // (the store wrote why), and the agent can tell it was not kept.
    if (co_await saveBrokenConnAlarm_(std::string(message.customerId()),
                                       std::string(TrimSpaces(message.ArgumentOf(kAlarmReceiverWord))))) {
      Reply(s, id, text, "BCA:OK", handled.sent);
    }
  } else if (message.IsCommand(kStatLogWord)) {
    handled.sent = kStatNoReply;
    co_await SaveStatLog(clock_, events_, programDir_, agent.company, agent.agentVersion,
                         std::string(message.ArgumentOf(kStatLogWord)));
  }
  co_return handled;
}

Broker::Handled Broker::KeepAlive(const ServerDescriptor& s, ConnectionId id, CustomerRecord& agent,
                                  const std::string& text) {
  agent.aging = 0;
  const auto tab = text.find('\t');
  const std::string echo = text.substr(0, tab);
  const std::string rtt = tab == std::string::npos ? "" : text.substr(tab + 1);
  if (const auto sample = ParseNumber(rtt); sample && *sample >= 0 && *sample < 10000) {
    const auto sum = Add32(agent.rttSum, RoundHalfEven(*sample));
    agent.rttCount = To16(std::int64_t{agent.rttCount} + 1);
    agent.rttSum = sum;
  }
  SendTo(agent.connType, agent.connID, std::string(echo));
  trace_.KeepAlive(s.filePrefix, id, rtt, echo, echo);
  return Handled{{}, 0, echo, false};
}

}  // namespace vantor
