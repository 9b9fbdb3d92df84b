#include "commands.hpp"

#include "core/schema.hpp"
#include "platform/database.hpp"

#include <fmt/format.h>

#include <algorithm>
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

int Add(const CommandContext& c) {
  if (c.args.size() < 3) {
    c.err << "usage: customer add CUSTID COMPANY [--disabled]\n";
    return 2;
  }
  const std::string& id = c.args[1];
  const std::string& company = c.args[2];
  const bool enabled = !(c.args.size() > 3 && c.args[3] == "--disabled");
  if (auto problem = CustomerIdProblem(id); !problem.empty()) {
    c.err << problem << "\n";
    return 1;
  }
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  std::vector<DbRow> rows;
  auto status = db->Query("SELECT CustID FROM Customer ORDER BY CustID", {}, rows);
  std::vector<std::string> ids;
  for (const auto& row : rows) ids.push_back(Text(row.values[0]));
  if (status) {
    if (auto problem = SlotProblem(ids, id); !problem.empty()) {
      c.err << problem << "\n";
      return 1;
    }
    status = db->Execute(
        "INSERT INTO Customer (CustID, Enabled, Company, BcaRecvName, BcaRecvType) "
        "VALUES (?, ?, ?, 'None', 'None')",
        {id, std::int64_t{enabled ? 1 : 0}, company});
  }
  if (!status) {
    c.err << status.error << "\n";
    return 1;
  }
  c.out << fmt::format("Added customer {} ({}) in slot {}, {}\n", id, company, SlotOf(id),
                       enabled ? "enabled" : "disabled");
  return 0;
}

int List(const CommandContext& c) {
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  std::vector<DbRow> rows;
  auto status = db->Query(
      "SELECT CustID, Enabled, Company, BcaRecvType FROM Customer ORDER BY CustID", {}, rows);
  if (!status) {
    c.err << status.error << "\n";
    return 1;
  }
  c.out << fmt::format("{:<5} {:<10} {:<8} {:<10} {}\n", "Slot", "CustID", "Enabled", "Alarm",
                       "Company");
  int slot = 0;
  for (const auto& row : rows) {
    ++slot;
    const std::string id = Text(row.values[0]);
    const bool enabled = std::holds_alternative<std::int64_t>(row.values[1]) &&
                         std::get<std::int64_t>(row.values[1]) != 0;
    std::string note = SlotOf(id) == slot ? "" : "  (id does not match its slot: cannot connect)";
    c.out << fmt::format("{:<5} {:<10} {:<8} {:<10} {}{}\n", slot, id, enabled ? "yes" : "no",
                         Text(row.values[3]), Text(row.values[2]), note);
  }
  return 0;
}

int SetEnabled(const CommandContext& c, bool enabled) {
  if (c.args.size() < 2) {
    c.err << "usage: customer " << (enabled ? "enable" : "disable") << " CUSTID\n";
    return 2;
  }
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  auto status = db->Execute("UPDATE Customer SET Enabled = ? WHERE CustID = ?",
                            {std::int64_t{enabled ? 1 : 0}, c.args[1]});
  if (!status) {
    c.err << status.error << "\n";
    return 1;
  }
  if (db->Changes() == 0) {
    c.err << "No customer " << c.args[1] << "\n";
    return 1;
  }
  c.out << "Customer " << c.args[1] << (enabled ? " enabled" : " disabled")
        << "; reload the customer table for the running service to see it\n";
  return 0;
}

}  // namespace

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
  c.err << "usage: customer add|list|enable|disable ...\n";
  return 2;
}

}  // namespace vantor::console
