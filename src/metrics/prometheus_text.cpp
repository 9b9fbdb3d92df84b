#include "metrics/prometheus_text.hpp"

#include <fmt/format.h>

#include <array>
#include <initializer_list>
#include <iterator>

namespace vantor {

namespace {

struct Label {
  std::string_view name;
  std::string_view value;
};

// Room for everything but the customers, and for each customer's series.
constexpr std::size_t kFixedBytes = 8 * 1024;
constexpr std::size_t kBytesPerCustomer = 640;

constexpr std::string_view kAdmissionOutcomes[] = {"accepted",         "not_found",        "not_enabled",
                                                   "invalid_pass",     "connection_exists", "agent_not_connected",
                                                   "mobile_slots_full", "invalid_path",     "request_failed"};
constexpr std::string_view kDropReasons[] = {"keepalive_timeout", "long_round_trip", "broken_connection",
                                             "account_disabled", "console"};
constexpr std::string_view kDirections[] = {"to_agent", "to_mobile"};
constexpr std::string_view kChannels[] = {"push", "mail"};
constexpr std::string_view kResults[] = {"sent", "failed"};
static_assert(std::size(kAdmissionOutcomes) == static_cast<std::size_t>(AdmissionOutcome::kCount));
static_assert(std::size(kDropReasons) == static_cast<std::size_t>(AgentDrop::kCount));
static_assert(std::size(kDirections) == static_cast<std::size_t>(RelayDirection::kCount));
static_assert(std::size(kChannels) == NotifyCounts::kChannelCount);
static_assert(std::size(kResults) == NotifyCounts::kResultCount);

class Exposition {
 public:
  explicit Exposition(std::string& out) : out_(out) {}

  void Family(std::string_view name, std::string_view type, std::string_view help) {
    fmt::format_to(std::back_inserter(out_), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  }

  template <typename Value>
  void Sample(std::string_view name, std::initializer_list<Label> labels, Value value) {
    out_ += name;
    if (labels.size() > 0) {
      char separator = '{';
      for (const Label& label : labels) {
        out_ += separator;
        out_ += label.name;
        out_ += "=\"";
        AppendEscaped(label.value);
        out_ += '"';
        separator = ',';
      }
      out_ += '}';
    }
    fmt::format_to(std::back_inserter(out_), " {}\n", value);
  }

  // A family of one sample without labels.
  template <typename Value>
  void Single(std::string_view name, std::string_view type, std::string_view help, Value value) {
    Family(name, type, help);
    Sample(name, {}, value);
  }

  // A family with one sample per entry of `counts`, labelled `label` with the entry's name.
  template <typename Counts, typename Names>
  void ByLabel(std::string_view name, std::string_view type, std::string_view help, std::string_view label,
               const Counts& counts, const Names& names) {
    Family(name, type, help);
    for (std::size_t i = 0; i < std::size(names); ++i) Sample(name, {{label, names[i]}}, counts[i]);
  }

  // A family with one sample per channel and result.
  void ByChannel(std::string_view name, std::string_view help, const NotifyCounts::Table& table) {
    Family(name, "counter", help);
    for (std::size_t c = 0; c < std::size(kChannels); ++c) {
      for (std::size_t r = 0; r < std::size(kResults); ++r) {
        Sample(name, {{"channel", kChannels[c]}, {"result", kResults[r]}}, table[c][r]);
      }
    }
  }

  void AppendEscaped(std::string_view value) {
    for (char c : value) {
      if (c == '\\' || c == '"') {
        out_ += '\\';
        out_ += c;
      } else if (c == '\n') {
        out_ += "\\n";
      } else {
        out_ += c;
      }
    }
  }

 private:
  std::string& out_;
};

void AppendService(Exposition& x, const MetricsSnapshot& s) {
  x.Family("vantor_build_info", "gauge", "The program version; always 1.");
  x.Sample("vantor_build_info", {{"version", s.version}}, 1);
  x.Family("vantor_listener_up", "gauge", "Whether the listener is up (1) or not (0).");
  for (const ListenerSample& listener : s.listeners) {
    x.Sample("vantor_listener_up", {{"listener", listener.name}}, listener.up ? 1 : 0);
  }
  x.Family("vantor_connections_open", "gauge",
           "Connections open: admitted agents, admitted mobiles, and connections still opening.");
  x.Sample("vantor_connections_open", {{"kind", "agent"}}, s.agentsConnected);
  x.Sample("vantor_connections_open", {{"kind", "mobile"}}, s.mobilesConnected);
  x.Sample("vantor_connections_open", {{"kind", "opening"}}, s.opening);
  x.Family("vantor_connection_table_capacity", "gauge", "Slots of the connection tables.");
  x.Sample("vantor_connection_table_capacity", {{"table", "agents"}}, s.agentCapacity);
  x.Sample("vantor_connection_table_capacity", {{"table", "mobiles"}}, s.mobileCapacity);
}

using SlotBuffer = std::array<char, 4>;

// The slot number as a label value, written into `buffer`.
std::string_view SlotText(int slot, SlotBuffer& buffer) {
  const auto end = fmt::format_to_n(buffer.data(), buffer.size(), "{}", slot).out;
  return {buffer.data(), static_cast<std::size_t>(end - buffer.data())};
}

// One family per figure, with a sample for each customer that has it.
template <typename Has, typename Value>
void AppendPerAgent(Exposition& x, const MetricsSnapshot& s, std::string_view name, std::string_view type,
                    std::string_view help, Has has, Value value) {
  x.Family(name, type, help);
  SlotBuffer slot;
  for (const AgentSample& agent : s.agents) {
    if (has(agent)) x.Sample(name, {{"customer", agent.customer}, {"slot", SlotText(agent.slot, slot)}}, value(agent));
  }
}

void AppendAgents(Exposition& x, const MetricsSnapshot& s) {
  const auto always = [](const AgentSample&) { return true; };
  const auto connected = [](const AgentSample& a) { return a.connected; };
  AppendPerAgent(x, s, "vantor_agent_connected", "gauge", "Whether the customer's agent is connected.", always,
                 [](const AgentSample& a) { return a.connected ? 1 : 0; });
  AppendPerAgent(x, s, "vantor_agent_connected_since_seconds", "gauge",
                 "Unix time at which the customer's agent connected.", connected,
                 [](const AgentSample& a) { return a.connectedSinceSeconds; });
  x.Family("vantor_agent_messages_total", "counter",
           "Messages relayed for the customer since it took its slot: requests to its agent, answers to its mobiles.");
  SlotBuffer slot;
  for (const AgentSample& agent : s.agents) {
    const std::string_view slotText = SlotText(agent.slot, slot);
    x.Sample("vantor_agent_messages_total",
             {{"customer", agent.customer}, {"slot", slotText}, {"direction", "to_agent"}}, agent.relayedToAgent);
    x.Sample("vantor_agent_messages_total",
             {{"customer", agent.customer}, {"slot", slotText}, {"direction", "to_mobile"}}, agent.relayedToMobile);
  }
  AppendPerAgent(x, s, "vantor_agent_round_trip_average_seconds", "gauge",
                 "Average keep-alive round trip the agent reported this hour.",
                 [](const AgentSample& a) { return a.roundTripAverageSeconds.has_value(); },
                 [](const AgentSample& a) { return *a.roundTripAverageSeconds; });
  AppendPerAgent(x, s, "vantor_agent_keepalive_age_seconds", "gauge",
                 "Silence of the agent as supervision counts it, in steps of its 30 s tick; a keep-alive resets it.",
                 connected, [](const AgentSample& a) { return a.keepAliveAgeSeconds; });
  AppendPerAgent(x, s, "vantor_agent_alarm_pending", "gauge",
                 "Whether the customer's broken-connection alarm waits to go out.", always,
                 [](const AgentSample& a) { return a.alarmPending ? 1 : 0; });
}

void AppendBroker(Exposition& x, const MetricsSnapshot& s) {
  const BrokerCounts& b = s.broker;
  x.ByLabel("vantor_admissions_total", "counter", "Open requests of agents and mobiles by outcome.", "outcome",
            b.admissions, kAdmissionOutcomes);
  x.Family("vantor_limit_refusals_total", "counter",
           "Connections refused by a limit: opening connections per address, an address cooling down after "
           "refused admissions, the cap on connections.");
  x.Sample("vantor_limit_refusals_total", {{"limit", "address_opening"}}, s.refusedAddressOpening);
  x.Sample("vantor_limit_refusals_total", {{"limit", "admission_cooling"}}, b.coolingRefusals);
  x.Sample("vantor_limit_refusals_total", {{"limit", "connection_cap"}}, s.refusedConnectionCap);
  x.ByLabel("vantor_relayed_messages_total", "counter", "Messages relayed: mobile requests to agents, answers to "
            "mobiles.", "direction", b.relayedMessages, kDirections);
  x.ByLabel("vantor_relayed_bytes_total", "counter", "Bytes of the messages relayed.", "direction", b.relayedBytes,
            kDirections);
  x.Single("vantor_outgoing_queue_high_water_bytes", "gauge",
           "Most outgoing text one connection has had queued at once since the start.", s.queueHighWaterBytes);
  x.ByLabel("vantor_agents_dropped_total", "counter", "Agent connections ended other than by the agent's normal "
            "close, by reason.", "reason", b.agentsDropped, kDropReasons);
}

void AppendNotify(Exposition& x, const MetricsSnapshot& s) {
  x.ByChannel("vantor_alarms_total", "Broken-connection alarms by channel and result.", s.notify.alarms);
  x.ByChannel("vantor_daily_tests_total", "Daily test and allowance messages by channel and result.",
              s.notify.dailyTests);
}

void AppendDatabaseAndEvents(Exposition& x, const MetricsSnapshot& s) {
  x.Single("vantor_db_writer_queue_depth", "gauge", "Database writes waiting in the writer's queue.",
           s.dbQueueDepth);
  x.Single("vantor_db_writer_retries_total", "counter",
           "Database write attempts that failed for a reason that may pass and were retried.", s.dbRetries);
  x.Single("vantor_db_writer_stalls_total", "counter", "Times database writes waited for over a minute.",
           s.dbStalls);
  x.Family("vantor_events_total", "counter", "Application events by level: 1 error, 2 dropped connection, 3 normal.");
  for (const char* level : {"1", "2", "3"}) {
    x.Sample("vantor_events_total", {{"level", level}}, s.events[static_cast<std::size_t>(level[0] - '0')]);
  }
}

void AppendSnmp(Exposition& x, const MetricsSnapshot& s) {
  x.Family("vantor_snmp_requests_total", "counter", "SNMP requests by kind.");
  x.Sample("vantor_snmp_requests_total", {{"kind", "get"}}, s.snmp.get);
  x.Sample("vantor_snmp_requests_total", {{"kind", "getnext"}}, s.snmp.getNext);
  x.Sample("vantor_snmp_requests_total", {{"kind", "set"}}, s.snmp.set);
  x.Single("vantor_snmp_refused_communities_total", "counter",
           "SNMP requests left unanswered because of their community.", s.snmp.refusedCommunity);
}

void AppendProcess(Exposition& x, const MetricsSnapshot& s) {
  x.Single("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.",
           s.process.cpuSeconds);
  x.Single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", s.process.residentBytes);
  x.Single("process_open_fds", "gauge", "Number of open file descriptors.", s.process.openFds);
  x.Single("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
           s.process.startTimeSeconds);
}

}  // namespace

void AppendPrometheusText(const MetricsSnapshot& snapshot, std::string& out) {
  out.reserve(out.size() + kFixedBytes + kBytesPerCustomer * snapshot.agents.size());
  Exposition x(out);
  AppendService(x, snapshot);
  AppendAgents(x, snapshot);
  AppendBroker(x, snapshot);
  AppendNotify(x, snapshot);
  AppendDatabaseAndEvents(x, snapshot);
  AppendSnmp(x, snapshot);
  AppendProcess(x, snapshot);
}

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  Exposition(out).AppendEscaped(value);
  return out;
}

}  // namespace vantor
