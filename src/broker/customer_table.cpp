// Loading and reconciling the customer table, and the version check between a mobile and its
// customer's agent.

#include "broker/broker.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"

namespace vantor {

namespace {

struct CustomerRow {
  bool enabled;
  std::string custID;
  std::string company;
  std::string agentPassHash;  // empty: no pinned pass (also when the column is absent)
};

struct CustomerTable {
  std::vector<CustomerRow> rows;
  bool pinAgentPass = false;  // General_Settings.PinAgentPass; absent or NULL is off
};

std::string TextOrEmpty(const DbValue* value) {
  if (!value) throw ProcedureError("Item cannot be found in the Customer table");
  if (auto* text = std::get_if<std::string>(value)) return *text;
  if (auto* number = std::get_if<std::int64_t>(value)) return std::to_string(*number);
  return {};
}

// Every row in ascending CustID order, and the pinning switch. A NULL Enabled ends the list there
// and reports it, so the rows before it still load. Every column is selected because a database
// made before pinning has no AgentPassHash.
CustomerTable ReadCustomers(const std::filesystem::path& database, std::string& failure) {
  auto db = OpenDatabase(database);
  CustomerTable table;
  table.pinAgentPass = GeneralSettings::Read(*db).OptionalFlag("PinAgentPass");
  std::vector<DbRow> rows;
  auto status = db->Query("SELECT * FROM Customer ORDER BY CustID", {}, rows);
  if (!status) throw ProcedureError(status.error);
  std::vector<CustomerRow>& customers = table.rows;
  for (const auto& row : rows) {
    const DbValue* enabled = row.Find("Enabled");
    if (!enabled || std::holds_alternative<std::monostate>(*enabled)) {
      failure = "Invalid use of Null (Customer.Enabled of " + TextOrEmpty(row.Find("CustID")) + ")";
      break;
    }
    const bool on = std::holds_alternative<std::int64_t>(*enabled) ? std::get<std::int64_t>(*enabled) != 0
                                                                    : TextOrEmpty(enabled) != "0";
    const DbValue* hash = row.Find("AgentPassHash");
    customers.push_back({on, TextOrEmpty(row.Find("CustID")), TextOrEmpty(row.Find("Company")),
                         hash ? TextOrEmpty(hash) : std::string()});
  }
  return table;
}

}  // namespace

asio::awaitable<void> Broker::CustTableInit() {
  co_await Guarded(events_, kCodeModule, "CustTableInit", [&]() -> asio::awaitable<void> {
    std::string failure;
    const auto table = ReadCustomers(programDir_ / kDatabaseFileName, failure);
    pins_.SetEnabled(table.pinAgentPass);
    int n = 0;
    for (const auto& row : table.rows) {
      tables_.LoadCustomer(++n, row.enabled, row.custID, row.company);  // a 100th row fails here
      pins_.Load(n, row.custID, row.agentPassHash);
    }
    if (!failure.empty()) throw ProcedureError(failure);
    co_return;
  });
}

asio::awaitable<void> Broker::MobTableInit() {
  co_await Guarded(events_, kCodeModule, "MobTableInit", [&]() -> asio::awaitable<void> {
    tables_.ClearMobiles();
    co_return;
  });
}

asio::awaitable<bool> Broker::CustTableUpdate() {
  co_return co_await Guarded(events_, kCodeModule, "CustTableUpdate", [&]() -> asio::awaitable<void> {
    std::string failure;
    const auto table = ReadCustomers(programDir_ / kDatabaseFileName, failure);
    pins_.SetEnabled(table.pinAgentPass);
    int n = 0;
    for (const auto& row : table.rows) {
      const int slot = ++n;
      const CustomerRecord& record = tables_.Customer(slot);
      if (record.enabled && !row.enabled && record.connected()) co_await DisconnectDisabledAgent(slot);
      tables_.UpdateCustomer(slot, row.enabled, row.custID, row.company);
      pins_.Load(slot, row.custID, row.agentPassHash);
    }
    if (!failure.empty()) throw ProcedureError(failure);
    for (int slot = n + 1; slot <= kCustomerSlots; ++slot) co_await ForgetDeletedCustomer(slot);
  });
}

// A slot above the last row belongs to a customer deleted from the table: its agent goes as for a
// disabled account, its pending alarm with it, and its id is no longer found at admission.
asio::awaitable<void> Broker::ForgetDeletedCustomer(int slot) {
  if (tables_.Customer(slot).connected()) co_await DisconnectDisabledAgent(slot);
  pins_.Forget(slot);
  tables_.ForgetCustomer(slot);
}

asio::awaitable<void> Broker::DisconnectDisabledAgent(int slot) {
  const CustomerRecord& record = tables_.Customer(slot);
  const ConnectionRef connection = record.connection;
  co_await events_.AppEvent(kCodeModule, "CustTableUpdate",
                            record.company + " Disconnected From Server Due To Account Disabled", kLevelInfo);
  // Only the agent that was found is disconnected; one that left meanwhile is gone already.
  if (!tables_.Customer(slot).HoldsConnection(connection)) co_return;
  if (DisconnectFrom(connection) == Delivery::kGone) throw ProcedureError(GoneText("disconnect", connection));
  CountAgentDrop(AgentDrop::kAccountDisabled);
}

asio::awaitable<Broker::VersionCheck> Broker::VerifyProgVersion(std::string custID, std::string version) {
  VersionCheck check;
  co_await Guarded(events_, kCodeModule, "VerifyProgVersion", [&]() -> asio::awaitable<void> {
    for (int c = 1; c <= kCustomerSlots; ++c) {
      const CustomerRecord& record = tables_.Customer(c);
      if (record.custID != custID) continue;
      const std::string& agentVersion = record.version;
      if (agentVersion.empty() || agentVersion[0] < '0' || agentVersion[0] > '9') {
        throw ProcedureError("Type mismatch (agent version '" + agentVersion + "')");
      }
      check.major = static_cast<std::int16_t>(agentVersion[0] - '0');
      if (!version.empty() && version[0] == agentVersion[0]) {
        check.match = true;
        co_return;
      }
    }
  });
  co_return check;
}

}  // namespace vantor
