#include "arguments.hpp"
#include "commands.hpp"
#include "outcome.hpp"

#include "core/schema.hpp"
#include "platform/db/database.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <ostream>

namespace vantor::console {
namespace fs = std::filesystem;

namespace {

std::string Text(const DbValue& v) {
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  return "";
}

int SlotOf(const std::string& id) {
  if (id.size() < 2 || !isdigit(static_cast<unsigned char>(id[0])) ||
      !isdigit(static_cast<unsigned char>(id[1]))) {
    return 0;
  }
  return (id[0] - '0') * 10 + (id[1] - '0');
}

std::optional<std::vector<std::string>> CustomerIds(const CommandContext& c, Database& db) {
  std::vector<DbRow> rows;
  auto status = db.Query("SELECT CustID FROM Customer ORDER BY CustID", {}, rows);
  if (!status) {
    NotDone(c, status.error);
    return std::nullopt;
  }
  std::vector<std::string> ids;
  for (const auto& row : rows) ids.push_back(Text(row.values[0]));
  return ids;
}

int Add(const CommandContext& c) {
  const std::string form = "customer add CUSTID COMPANY [--disabled]";
  auto words = ParseCommandWords(c, {c.args.begin() + 1, c.args.end()}, {form, 2, 2, {"--disabled"}, {}});
  if (!words) return kUsageError;
  const std::string& id = words->positional[0];
  const std::string& company = words->positional[1];
  const bool enabled = !words->Has("--disabled");
  if (auto problem = CustomerIdProblem(id); !problem.empty()) return NotDone(c, problem);
  auto db = OpenProgramDatabase(c);
  if (!db) return kNotDone;
  auto ids = CustomerIds(c, *db);
  if (!ids) return kNotDone;
  JsonFields fields;
  fields.Add("customer", id).Add("company", company).Add("slot", SlotOf(id)).Add("enabled", enabled);
  if (auto problem = SlotProblem(*ids, id); !problem.empty()) return NotDone(c, problem, fields);
  auto status = db->Execute(
      "INSERT INTO Customer (CustID, Enabled, Company, BcaRecvName, BcaRecvType) "
      "VALUES (?, ?, ?, 'None', 'None')",
      {id, std::int64_t{enabled ? 1 : 0}, company});
  if (!status) return NotDone(c, status.error, fields);
  return Done(c, fmt::format("Customer {} added in slot {} ({}, {})", id, SlotOf(id), company,
                             enabled ? "enabled" : "disabled"),
              fields);
}

int List(const CommandContext& c) {
  auto words = ParseCommandWords(c, {c.args.begin() + 1, c.args.end()}, {"customer list", 0, 0, {}, {}});
  if (!words) return kUsageError;
  auto db = OpenProgramDatabase(c);
  if (!db) return kNotDone;
  std::vector<DbRow> rows;
  // Every column: a database made before pinning has no AgentPassHash.
  auto status = db->Query("SELECT * FROM Customer ORDER BY CustID", {}, rows);
  if (!status) return NotDone(c, status.error);
  std::string table = fmt::format("{:<5} {:<10} {:<8} {:<10} {:<7} {}\n", "Slot", "CustID", "Enabled", "Alarm",
                                  "Pinned", "Company");
  std::string json;
  int slot = 0;
  for (const auto& row : rows) {
    ++slot;
    const auto column = [&row](std::string_view name) {
      const DbValue* value = row.Find(name);
      return value ? *value : DbValue{};
    };
    const std::string id = Text(column("CustID"));
    const DbValue enabledValue = column("Enabled");
    const bool enabled = std::holds_alternative<std::int64_t>(enabledValue) && std::get<std::int64_t>(enabledValue) != 0;
    const bool pinned = !Text(column("AgentPassHash")).empty();
    const bool inItsSlot = SlotOf(id) == slot;
    std::string note = inItsSlot ? "" : "  (id does not match its slot: cannot connect)";
    table += fmt::format("{:<5} {:<10} {:<8} {:<10} {:<7} {}{}\n", slot, id, enabled ? "yes" : "no",
                         Text(column("BcaRecvType")), pinned ? "yes" : "no", Text(column("Company")), note);
    JsonFields f;
    f.Add("slot", slot).Add("customer", id).Add("company", Text(column("Company"))).Add("enabled", enabled);
    f.Add("alarm", Text(column("BcaRecvType"))).Add("pinned", pinned).Add("inItsSlot", inItsSlot);
    json += (json.empty() ? "" : ",") + f.Object();
  }
  if (!c.json) {
    c.out << table;
    return kDone;
  }
  JsonFields fields;
  fields.AddRaw("customers", "[" + json + "]");
  return Done(c, fmt::format("{} customer(s)", rows.size()), fields);
}

int SetEnabled(const CommandContext& c, bool enabled) {
  const std::string verb = enabled ? "enable" : "disable";
  auto words = ParseCommandWords(c, {c.args.begin() + 1, c.args.end()}, {"customer " + verb + " CUSTID", 1, 1, {}, {}});
  if (!words) return kUsageError;
  const std::string& id = words->positional[0];
  JsonFields fields;
  fields.Add("customer", id).Add("enabled", enabled);
  auto db = OpenProgramDatabase(c);
  if (!db) return kNotDone;
  auto status = db->Execute("UPDATE Customer SET Enabled = ? WHERE CustID = ?", {std::int64_t{enabled ? 1 : 0}, id});
  if (!status) return NotDone(c, status.error, fields);
  if (db->Changes() == 0) return NotDone(c, "No customer " + id, fields);
  return Done(c,
              "Customer " + id + (enabled ? " enabled" : " disabled") +
                  "; reload the customer table for the running service to see it",
              fields);
}

}  // namespace

int SlotOfId(const std::string& id) { return SlotOf(id); }

std::string RemoveSlotProblem(std::vector<std::string> ids, const std::string& id) {
  std::sort(ids.begin(), ids.end());
  auto removed = std::find(ids.begin(), ids.end(), id);
  if (removed == ids.end()) return "No customer " + id;
  // Every id after the removed one moves up one slot.
  for (auto it = removed + 1; it != ids.end(); ++it) {
    const int slot = static_cast<int>(it - ids.begin()) + 1;
    if (SlotOf(*it) == slot) {
      return fmt::format(
          "Removing {} would move customer {} out of slot {}: customers fill the slots in ascending id "
          "order, so remove the customers of the higher slots first",
          id, *it, slot);
    }
  }
  return {};
}

std::string CustomerIdProblem(const std::string& id) {
  if (id.size() != 8) return "A customer id has 8 characters";
  const int slot = SlotOf(id);
  if (slot < 1 || slot > 99) return "A customer id starts with its slot number, 01 to 99";
  for (unsigned char ch : id) {
    if (ch <= ' ' || ch == 0x7f) return "A customer id holds no spaces or control characters";
  }
  return {};
}

std::string SlotProblem(std::vector<std::string> ids, const std::string& newId) {
  if (std::find(ids.begin(), ids.end(), newId) != ids.end()) {
    return "Customer " + newId + " already exists";
  }
  std::vector<std::string> after = ids;
  after.push_back(newId);
  std::sort(after.begin(), after.end());
  if (after.size() > 99) return "The customer table holds at most 99 customers";
  bool pastNew = false;  // ids after the new one move down one slot
  for (std::size_t i = 0; i < after.size(); ++i) {
    const int slot = static_cast<int>(i) + 1;
    if (after[i] == newId) pastNew = true;
    if (after[i] == newId && SlotOf(newId) != slot) {
      return fmt::format(
          "Customer {} would land in slot {}, not slot {} that its id names: customers fill the "
          "slots in ascending id order, so add the customers of the lower slots first",
          newId, slot, SlotOf(newId));
    }
    if (pastNew && after[i] != newId && SlotOf(after[i]) == slot - 1) {
      return fmt::format("Adding {} would move customer {} out of slot {}", newId, after[i],
                         slot - 1);
    }
  }
  return {};
}

int CustomerCommand(const CommandContext& c) {
  const std::string verb = c.args.empty() ? "" : c.args[0];
  if (verb == "add") return Add(c);
  if (verb == "list") return List(c);
  if (verb == "enable") return SetEnabled(c, true);
  if (verb == "disable") return SetEnabled(c, false);
  if (verb == "remove") return RemoveCustomer(c);
  if (verb == "pin") return PinCustomer(c);
  if (verb == "unpin") return UnpinCustomer(c);
  return UsageError(c, verb.empty() ? "customer needs a verb" : "Unknown customer command " + verb,
                    "customer add|list|enable|disable|remove|pin|unpin ...");
}

}  // namespace vantor::console
