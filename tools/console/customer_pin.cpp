// customer pin CUSTID / customer unpin CUSTID: set or clear the pass that the customer's agent
// must give (Customer.AgentPassHash, a salted hash). The pass is read as secret_input.hpp says;
// it never appears on the command line. Afterwards a running service reloads its customer table.

#include "arguments.hpp"
#include "commands.hpp"
#include "live_connections.hpp"
#include "outcome.hpp"
#include "secret_input.hpp"
#include "service_target.hpp"

#include "core/settings.hpp"
#include "platform/tls/pass_hash.hpp"
#include "snmp/console_commands.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace vantor::console {
namespace {

bool HasHashColumn(Database& db, DbStatus& status) {
  std::vector<std::string> columns;
  status = db.TableColumns("Customer", columns);
  return std::find(columns.begin(), columns.end(), "AgentPassHash") != columns.end();
}

bool PinningOn(Database& db) {
  try {
    return GeneralSettings::Read(db).OptionalFlag("PinAgentPass");
  } catch (const std::exception&) {
    return false;  // a setting the service cannot read either
  }
}

// Stores `hash` (NULL: unpinned) for customer `id`; a database made before pinning gets the
// column first. Empty when done, else why not.
std::string StoreHash(Database& db, const std::string& id, const DbValue& hash) {
  DbStatus status;
  const bool hasColumn = HasHashColumn(db, status);
  if (!status) return status.error;
  if (!hasColumn) {
    status = db.Execute("ALTER TABLE Customer ADD COLUMN AgentPassHash TEXT");
    if (!status) return status.error;
  }
  status = db.Execute("UPDATE Customer SET AgentPassHash = ? WHERE CustID = ?", {hash, id});
  if (!status) return status.error;
  if (db.Changes() == 0) return "No customer " + id;
  return {};
}

// Has a running service reload its customer table; the outcome of the whole command.
int ReloadAfter(const CommandContext& c, const CommandWords& words, const std::string& id, std::string message,
                JsonFields fields) {
  std::string error;
  auto targets = ResolveTargets(c, words, true, error);
  if (!targets) return NotDone(c, message + ", but the service was not asked to reload: " + error, fields);
  // No answer means no service runs here: it reads the table when it starts.
  if (!ReadSlotCustomer(targets->read, SlotKind::kAgent, SlotOfId(id), error)) {
    fields.Add("serviceReloaded", false);
    return Done(c, message + "; no service answered at " + Describe(targets->read) + ", it reads the pin when it starts",
                fields);
  }
  return ReloadAndReport(c, targets->set, message, fields);
}

int SetPin(const CommandContext& c, bool pin) {
  const std::string verb = pin ? "pin" : "unpin";
  auto options = kSnmpOptions;
  if (pin) options.insert(kSecretFileOption);
  auto words = ParseCommandWords(c, {c.args.begin() + 1, c.args.end()},
                                 {"customer " + verb + " CUSTID " + (pin ? "[--secret-file FILE] " : "") + kSnmpForm,
                                  1, 1, {}, options});
  if (!words) return kUsageError;
  const std::string id = words->positional[0];
  JsonFields fields;
  fields.Add("customer", id).Add("pinned", pin);
  DbValue hash;
  if (pin) {
    std::string problem;
    const auto pass = ReadSecret(c, *words, "Pass of the agent of customer " + id, problem);
    if (!pass) return NotDone(c, problem + "; nothing was changed", fields);
    const auto made = HashPass(*pass);
    if (!made) return NotDone(c, "The pass could not be hashed (no random bytes from OpenSSL)", fields);
    hash = *made;
  }
  auto db = OpenProgramDatabase(c);
  if (!db) return kNotDone;
  if (auto problem = StoreHash(*db, id, hash); !problem.empty()) return NotDone(c, problem, fields);
  const bool on = PinningOn(*db);
  fields.Add("pinningOn", on);
  std::string message = pin ? "Pass of customer " + id + " pinned: only an agent with this pass is admitted"
                            : "Pass of customer " + id + " unpinned: the next agent's pass is pinned";
  if (!on) message += " (once PinAgentPass is on; it is off now)";
  return ReloadAfter(c, *words, id, message, fields);
}

}  // namespace

int PinCustomer(const CommandContext& c) { return SetPin(c, true); }
int UnpinCustomer(const CommandContext& c) { return SetPin(c, false); }

}  // namespace vantor::console
