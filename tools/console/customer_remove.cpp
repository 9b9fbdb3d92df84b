// customer remove CUSTID [--force]: removes a customer's row, never under its connected agent.
// The running service is asked over SNMP whether the agent is connected; --force disconnects it
// first. Afterwards the service reloads its customer table.

#include "arguments.hpp"
#include "commands.hpp"
#include "live_connections.hpp"
#include "outcome.hpp"
#include "service_target.hpp"

#include "snmp/console_commands.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <thread>

namespace vantor::console {
namespace {

constexpr char kForm[] = "customer remove CUSTID [--force]";

std::optional<std::vector<std::string>> Ids(Database& db, std::string& error) {
  std::vector<DbRow> rows;
  auto status = db.Query("SELECT CustID FROM Customer ORDER BY CustID", {}, rows);
  if (!status) {
    error = status.error;
    return std::nullopt;
  }
  std::vector<std::string> ids;
  for (const auto& row : rows) {
    const auto* text = std::get_if<std::string>(&row.values[0]);
    ids.push_back(text ? *text : "");
  }
  return ids;
}

// Disconnects the agent in `slot` and waits up to five seconds until the slot is free.
std::string ForceDisconnect(const ServiceTargets& t, int slot, const std::string& id) {
  if (auto problem = SendSet(t.set, kCommandOidDisconnect, "agentConnDisconnect-" + std::to_string(slot));
      !problem.empty()) {
    return problem;
  }
  for (int i = 0; i < 50; ++i) {
    std::string error;
    auto now = ReadSlotCustomer(t.read, SlotKind::kAgent, slot, error);
    if (now && *now != id) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return "the agent was still connected five seconds after the disconnect command";
}

}  // namespace

namespace {

// Disables the customer's row and has the service reload it; on failure the row is as before.
std::string CloseSlotInService(Database& db, const SnmpTarget& set, const std::string& id) {
  std::vector<DbRow> rows;
  auto status = db.Query("SELECT Enabled FROM Customer WHERE CustID = ?", {id}, rows);
  if (!status) return status.error;
  if (rows.empty() || rows[0].values.empty()) return "its row is gone";
  const DbValue enabled = rows[0].values[0];
  status = db.Execute("UPDATE Customer SET Enabled = 0 WHERE CustID = ?", {id});
  if (!status) return status.error;
  if (auto problem = SendSet(set, kCommandOidTableUpdate, "custTableUpdate"); !problem.empty()) {
    db.Execute("UPDATE Customer SET Enabled = ? WHERE CustID = ?", {enabled, id});
    return "the service did not reload its customer table: " + problem;
  }
  return {};
}

}  // namespace

int RemoveCustomer(const CommandContext& c) {
  auto words = ParseCommandWords(c, {c.args.begin() + 1, c.args.end()},
                                 {std::string(kForm) + " " + kSnmpForm, 1, 1, {"--force"}, kSnmpOptions});
  if (!words) return kUsageError;
  const std::string id = words->positional[0];
  const bool force = words->Has("--force");
  JsonFields fields;
  fields.Add("customer", id);
  std::string error;
  auto targets = ResolveTargets(c, *words, true, error);
  if (!targets) return NotDone(c, error, fields);
  auto db = OpenProgramDatabase(c);
  if (!db) return kNotDone;
  auto ids = Ids(*db, error);
  if (!ids) return NotDone(c, error, fields);
  if (auto problem = RemoveSlotProblem(*ids, id); !problem.empty()) return NotDone(c, problem, fields);
  std::sort(ids->begin(), ids->end());
  const int slot = static_cast<int>(std::find(ids->begin(), ids->end(), id) - ids->begin()) + 1;
  fields.Add("slot", slot);

  // No answer means no service runs here, so nothing can be connected.
  auto connected = ReadSlotCustomer(targets->read, SlotKind::kAgent, slot, error);
  const bool serviceAnswered = connected.has_value();
  bool disconnected = false;
  if (serviceAnswered && *connected == id) {
    if (!force) {
      return NotDone(c, fmt::format("Customer {} was not removed: its agent is connected (slot {}); disconnect it "
                                    "first or use --force",
                                    id, slot),
                     fields);
    }
    if (auto problem = ForceDisconnect(*targets, slot, id); !problem.empty()) {
      return NotDone(c, fmt::format("Customer {} was not removed: {}", id, problem), fields);
    }
    disconnected = true;
  }
  // The row is first disabled and reloaded, so that the customer is closed in the service before
  // its row goes; the reload after the deletion then forgets the slot.
  if (serviceAnswered) {
    if (auto problem = CloseSlotInService(*db, targets->set, id); !problem.empty()) {
      return NotDone(c, fmt::format("Customer {} was not removed: {}", id, problem), fields);
    }
  }
  auto status = db->Execute("DELETE FROM Customer WHERE CustID = ?", {id});
  if (!status) return NotDone(c, status.error, fields);
  fields.Add("agentDisconnected", disconnected);
  std::string message = fmt::format("Customer {} removed from slot {}", id, slot);
  if (disconnected) message = fmt::format("Agent of customer {} disconnected; customer removed from slot {}", id, slot);
  if (!serviceAnswered) {
    fields.Add("serviceReloaded", false);
    return Done(c, message + "; no service answered at " + Describe(targets->read) + ", so nothing was connected",
                fields);
  }
  return ReloadAndReport(c, targets->set, message, fields);
}

}  // namespace vantor::console
