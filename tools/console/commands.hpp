#pragma once
// vantor-console: the operator's tool for a program directory. Each command returns the process's
// exit status and writes what it did to `out`, errors to `err`.

#include "platform/db/database.hpp"

#include <filesystem>
#include <memory>
#include <iosfwd>
#include <string>
#include <vector>

namespace vantor::console {

struct CommandContext {
  std::filesystem::path programDir;
  std::vector<std::string> args;  // the words after the command's name
  std::ostream& out;
  std::ostream& err;
  bool json = false;  // --json: the outcome as one JSON object on `out`, for scripts
};

// The program directory's database, or nullptr after telling `err` why not.
std::unique_ptr<Database> OpenProgramDatabase(const CommandContext& c);

int InitCommand(const CommandContext& c);
int CustomerCommand(const CommandContext& c);
int SettingsCommand(const CommandContext& c);

// SNMP commands to the running service (snmp_commands.cpp). Each takes --host, --port and
// --community; without them the target comes from SnmpIpAddr, SnmpPort and SnmpGetComm (reads)
// or the fixed set community (commands). 0 when the service answered as expected, 1 on no
// answer or an error status, 2 on a usage error.
int SnmpStatusCommand(const CommandContext& c);
int SnmpReloadCommand(const CommandContext& c);
int SnmpReportCommand(const CommandContext& c);
int DisconnectAgentCommand(const CommandContext& c);
int DisconnectMobileCommand(const CommandContext& c);
int UninstallAgentCommand(const CommandContext& c);
int GetStatCommand(const CommandContext& c);
int ConnectionsCommand(const CommandContext& c);

// Relays one request through the running service as the customer's agent and mobile.
int ProbeCommand(const CommandContext& c);

// customer remove CUSTID [--force] (customer_remove.cpp).
int RemoveCustomer(const CommandContext& c);

// customer pin CUSTID / customer unpin CUSTID (customer_pin.cpp).
int PinCustomer(const CommandContext& c);
int UnpinCustomer(const CommandContext& c);

// Whether removing `id` from `ids` (the table's ids) keeps every other customer in the slot it
// occupies today; empty when it does, else why not.
std::string RemoveSlotProblem(std::vector<std::string> ids, const std::string& id);

// The slot number a customer id names (its first two digits), 0 when it names none.
int SlotOfId(const std::string& id);

// Checks a customer id for the table: 8 characters, the first two the slot number 01 to 99, no
// control characters or spaces. Returns an empty text when acceptable.
std::string CustomerIdProblem(const std::string& id);

// The slot (1-based row in ascending CustID order) each id would occupy if `newId` were added,
// and whether the table would stay consistent. Returns an empty text when every id that lands in
// its own slot today still does, and `newId` lands in its own slot.
std::string SlotProblem(std::vector<std::string> existingIds, const std::string& newId);

}  // namespace vantor::console
