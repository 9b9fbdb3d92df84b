#include "core/tables.hpp"

#include "core/procedure_error.hpp"

#include <ctime>
#include <limits>

namespace vantor {

SystemTime FreeRecordStartTime() {
  std::tm t{};
  t.tm_year = 100;
  t.tm_mon = 0;
  t.tm_mday = 1;
  t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

namespace {

// Clears the connection and what the client told over it; the account fields stay.
void ClearConnection(CustomerRecord& r) {
  ConnectionFields cleared;
  cleared.custID = std::move(r.custID);
  cleared.company = std::move(r.company);
  static_cast<ConnectionFields&>(r) = std::move(cleared);
  r.rttSum = 0;
  r.rttCount = 0;
}

void Connect(ConnectionFields& r, const NewConnection& c) {
  r.connection = c.ref;
  r.connIpAddr = c.address;
  r.connStartTime = c.start;
  r.pktSent = r.pktRecv = r.aging = 0;
  r.custPass = c.pass;
}

}  // namespace

const CustomerRecord& ConnectionTables::Customer(int slot) const {
  if (slot < 1 || slot > kCustomerSlots) throw ProcedureError("Subscript out of range");
  return customers_[static_cast<std::size_t>(slot)];
}

const MobileRecord& ConnectionTables::Mobile(int slot) const {
  if (slot < 1 || slot > kMobileSlots) throw ProcedureError("Subscript out of range");
  return mobiles_[static_cast<std::size_t>(slot)];
}

CustomerRecord& ConnectionTables::CustomerAt(int slot) { return const_cast<CustomerRecord&>(Customer(slot)); }
MobileRecord& ConnectionTables::MobileAt(int slot) { return const_cast<MobileRecord&>(Mobile(slot)); }

int ConnectionTables::SlotOf(const CustomerRecord& record) const {
  return static_cast<int>(&record - customers_.data());
}

void ConnectionTables::LoadCustomer(int slot, bool enabled, std::string custID, std::string company) {
  CustomerRecord& r = CustomerAt(slot);
  r = CustomerRecord{};
  r.enabled = enabled;
  r.custID = std::move(custID);
  r.company = std::move(company);
}

void ConnectionTables::UpdateCustomer(int slot, bool enabled, std::string custID, std::string company) {
  CustomerRecord& r = CustomerAt(slot);
  r.enabled = enabled;
  if (r.custID != custID) r.relayedToAgent = r.relayedToMobile = 0;
  r.custID = std::move(custID);
  if (!r.connected()) ClearConnection(r);
  r.company = std::move(company);
}

void ConnectionTables::ForgetCustomer(int slot) {
  CustomerRecord& r = CustomerAt(slot);
  const CustomerRecord kept = r;
  r = CustomerRecord{};
  if (!kept.connected()) return;
  r.connection = kept.connection;
  r.connIpAddr = kept.connIpAddr;
  r.connStartTime = kept.connStartTime;
}

void ConnectionTables::ClearMobiles() { mobiles_.fill(MobileRecord{}); }

void ConnectionTables::RegisterAgent(int slot, const NewConnection& connection) {
  CustomerRecord& r = CustomerAt(slot);
  Connect(r, connection);
  r.rttSum = 0;
  r.rttCount = 0;
}

void ConnectionTables::RefreshAgentAging(int slot) {
  CustomerRecord& r = CustomerAt(slot);
  r.aging = r.kaInterval;
}

void ConnectionTables::RegisterMobile(int slot, std::string custID, const NewConnection& connection,
                                      std::string company) {
  MobileRecord& r = MobileAt(slot);
  r.custID = std::move(custID);
  Connect(r, connection);
  r.company = std::move(company);
}

void ConnectionTables::ReleaseAgent(int slot) { ClearConnection(CustomerAt(slot)); }
void ConnectionTables::ReleaseMobile(int slot) { MobileAt(slot) = MobileRecord{}; }

// Adds one to the count of both records, or to neither when either would overflow (Add32 throws
// before anything changed).
void ConnectionTables::CountOnBoth(int agentSlot, int mobileSlot, std::int32_t ConnectionFields::*count) {
  ConnectionFields& agent = CustomerAt(agentSlot);
  ConnectionFields& mobile = MobileAt(mobileSlot);
  const auto agentCount = Add32(agent.*count, 1);
  const auto mobileCount = Add32(mobile.*count, 1);
  agent.*count = agentCount;
  mobile.*count = mobileCount;
}

void ConnectionTables::CountRequest(int agentSlot, int mobileSlot) {
  CountOnBoth(agentSlot, mobileSlot, &ConnectionFields::pktRecv);
  MobileAt(mobileSlot).aging = 0;
  ++CustomerAt(agentSlot).relayedToAgent;
}

void ConnectionTables::CountAnswer(int agentSlot, int mobileSlot) {
  CountOnBoth(agentSlot, mobileSlot, &ConnectionFields::pktSent);
  ++CustomerAt(agentSlot).relayedToMobile;
}

void ConnectionTables::RecordKeepAlive(int slot, std::optional<std::int32_t> roundTrip) {
  CustomerRecord& r = CustomerAt(slot);
  r.aging = 0;
  if (!roundTrip) return;
  const auto sum = Add32(r.rttSum, *roundTrip);
  r.rttCount = To16(std::int64_t{r.rttCount} + 1);
  r.rttSum = sum;
}

void ConnectionTables::SetAgentVersion(int slot, std::string version) { CustomerAt(slot).version = std::move(version); }

void ConnectionTables::SetKeepAliveInterval(int slot, std::int16_t seconds) {
  CustomerAt(slot).kaInterval = seconds;
  ClearAlarmWait(slot);
}

void ConnectionTables::SetMobileVersion(int slot, std::string version) { MobileAt(slot).version = std::move(version); }

void ConnectionTables::AgeAgent(int slot, std::int32_t seconds) {
  CustomerRecord& r = CustomerAt(slot);
  r.aging = Add32(r.aging, seconds);
}

void ConnectionTables::AgeMobile(int slot, std::int32_t seconds) {
  MobileRecord& r = MobileAt(slot);
  r.aging = Add32(r.aging, seconds);
}

void ConnectionTables::ClearRoundTrips(int slot) {
  CustomerRecord& r = CustomerAt(slot);
  r.rttSum = 0;
  r.rttCount = 0;
}

void ConnectionTables::ClearDailyCounts(int slot) {
  CustomerRecord& r = CustomerAt(slot);
  r.pktRecv = r.pktSent = 0;
  ClearRoundTrips(slot);
}

void ConnectionTables::StartAlarmWait(int slot) {
  CustomerRecord& r = CustomerAt(slot);
  r.bcaWaitState = true;
  r.bcaWaitTime = 0;
}

void ConnectionTables::AdvanceAlarmWait(int slot, std::int16_t seconds) {
  CustomerRecord& r = CustomerAt(slot);
  r.bcaWaitTime = To16(std::int64_t{r.bcaWaitTime} + seconds);
}

void ConnectionTables::ClearAlarmWait(int slot) {
  CustomerRecord& r = CustomerAt(slot);
  r.bcaWaitState = false;
  r.bcaWaitTime = 0;
}

std::int32_t Add32(std::int32_t a, std::int64_t b) {
  const std::int64_t sum = static_cast<std::int64_t>(a) + b;
  if (sum < std::numeric_limits<std::int32_t>::min() || sum > std::numeric_limits<std::int32_t>::max()) {
    throw ProcedureError("Overflow");
  }
  return static_cast<std::int32_t>(sum);
}

std::int16_t To16(std::int64_t value) {
  if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max()) {
    throw ProcedureError("Overflow");
  }
  return static_cast<std::int16_t>(value);
}

}  // namespace vantor
