// connections [--watch]: the agents and mobiles connected to the running service, read live
// from its SNMP objects.

#include "arguments.hpp"
#include "commands.hpp"
#include "live_connections.hpp"
#include "outcome.hpp"
#include "service_target.hpp"

#include "snmp/connection_objects.hpp"

#include <fmt/format.h>

#include <unistd.h>

#include <ostream>
#include <thread>

namespace vantor::console {
namespace {

std::string Field(const LiveRow& row, int column) {
  auto it = row.find(column);
  return it == row.end() ? "" : it->second;
}

std::int64_t Number(const LiveRow& row, int column) {
  try {
    return std::stoll(Field(row, column));
  } catch (const std::exception&) {
    return 0;
  }
}

// The keep-alive round trip average in milliseconds, or "-" before the first sample.
std::string RttAverage(const LiveRow& row) {
  const auto count = Number(row, agent_column::kRttCount);
  if (count <= 0) return "-";
  return fmt::format("{:.1f}", static_cast<double>(Number(row, agent_column::kRttSum)) / count);
}

std::string AgentJson(int slot, const LiveRow& r) {
  using namespace agent_column;
  JsonFields f;
  f.Add("slot", slot).Add("customer", Field(r, kCustId)).Add("company", Field(r, kCompany));
  f.Add("kind", Field(r, kConnType)).Add("remote", Field(r, kConnIpAddr)).Add("since", Field(r, kConnStartTime));
  f.Add("sent", Number(r, kPktSent)).Add("received", Number(r, kPktRecv));
  const auto count = Number(r, kRttCount);
  f.AddRaw("rttAverageMs", count > 0 ? RttAverage(r) : "null");
  f.Add("version", Field(r, kAgentVersion));
  return f.Object();
}

std::string MobileJson(int slot, const LiveRow& r) {
  using namespace mobile_column;
  JsonFields f;
  f.Add("slot", slot).Add("customer", Field(r, kCustId)).Add("company", Field(r, kCompany));
  f.Add("kind", Field(r, kConnType)).Add("remote", Field(r, kConnIpAddr)).Add("since", Field(r, kConnStartTime));
  f.Add("sent", Number(r, kPktSent)).Add("received", Number(r, kPktRecv)).Add("version", Field(r, kMobVersion));
  return f.Object();
}

std::string Json(const LiveTables& t) {
  std::string agents, mobiles;
  for (const auto& [slot, row] : t.agents) agents += (agents.empty() ? "" : ",") + AgentJson(slot, row);
  for (const auto& [slot, row] : t.mobiles) mobiles += (mobiles.empty() ? "" : ",") + MobileJson(slot, row);
  return "{\"agents\":[" + agents + "],\"mobiles\":[" + mobiles + "]}";
}

constexpr char kRowFormat[] = "{:<5} {:<9} {:<20} {:<4} {:<16} {:<19} {:>8} {:>8} {:>8} {}\n";

std::string Table(const LiveTables& t) {
  std::string out = fmt::format("Agents: {}\n", t.agents.size());
  out += fmt::format(kRowFormat, "Slot", "Customer", "Company", "Kind", "Remote", "Since", "Sent", "Received",
                     "RTT ms", "Version");
  for (const auto& [slot, r] : t.agents) {
    using namespace agent_column;
    out += fmt::format(kRowFormat, slot, Field(r, kCustId), Field(r, kCompany), Field(r, kConnType),
                       Field(r, kConnIpAddr), Field(r, kConnStartTime), Number(r, kPktSent), Number(r, kPktRecv),
                       RttAverage(r), Field(r, kAgentVersion));
  }
  out += fmt::format("Mobiles: {}\n", t.mobiles.size());
  out += fmt::format(kRowFormat, "Slot", "Customer", "Company", "Kind", "Remote", "Since", "Sent", "Received",
                     "", "Version");
  for (const auto& [slot, r] : t.mobiles) {
    using namespace mobile_column;
    out += fmt::format(kRowFormat, slot, Field(r, kCustId), Field(r, kCompany), Field(r, kConnType),
                       Field(r, kConnIpAddr), Field(r, kConnStartTime), Number(r, kPktSent), Number(r, kPktRecv),
                       "", Field(r, kMobVersion));
  }
  return out;
}

// One frame; false when the service did not answer (told on stderr).
bool ShowOnce(const CommandContext& c, const SnmpTarget& target, bool clear) {
  std::string error;
  auto tables = ReadLiveTables(target, error);
  if (!tables) {
    NotDone(c, "No answer from the service: " + error);
    return false;
  }
  if (clear) c.out << "\033[H\033[2J";
  c.out << (c.json ? Json(*tables) + "\n" : Table(*tables)) << std::flush;
  return true;
}

}  // namespace

int ConnectionsCommand(const CommandContext& c) {
  auto words = ParseCommandWords(
      c, c.args, {std::string("connections [--watch] ") + kSnmpForm, 0, 0, {"--watch"}, kSnmpOptions});
  if (!words) return kUsageError;
  std::string error;
  auto targets = ResolveTargets(c, *words, false, error);
  if (!targets) return NotDone(c, error);
  if (!words->Has("--watch")) return ShowOnce(c, targets->read, false) ? kDone : kNotDone;
  // Refreshes until interrupted; the screen is cleared only for a person watching a terminal.
  const bool clear = isatty(STDOUT_FILENO) == 1 && !c.json;
  for (;;) {
    if (!ShowOnce(c, targets->read, clear)) return kNotDone;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

}  // namespace vantor::console
