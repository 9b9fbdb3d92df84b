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

void CustomerRecord::ResetConnection() {
  connType.clear();
  connID = 0;
  connIpAddr = "0.0.0.0";
  connStartTime = FreeRecordStartTime();
  pktSent = 0;
  pktRecv = 0;
  aging = 0;
  agentVersion.clear();
  custPass.clear();
  rttSum = 0;
  rttCount = 0;
}

CustomerRecord& ConnectionTables::Customer(int slot) {
  if (slot < 1 || slot > kCustomerSlots) throw ProcedureError("Subscript out of range");
  return customers_[static_cast<std::size_t>(slot)];
}

MobileRecord& ConnectionTables::Mobile(int slot) {
  if (slot < 1 || slot > kMobileSlots) throw ProcedureError("Subscript out of range");
  return mobiles_[static_cast<std::size_t>(slot)];
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
