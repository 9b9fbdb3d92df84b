#pragma once
// The service's two fixed connection tables, shared by the broker, the supervision, the SNMP
// commands and the reports: 99 customer slots, each with at most one agent connection, and
// 50 mobile slots shared by all customers. A slot is in use while its connID is not 0.
//
// The service owns the one instance; it is read and written on the event thread only, so it needs
// no locks, but a coroutine that waited must look at a record again before it acts on it.

#include "platform/host/clock.hpp"
#include "platform/net/websocket_server.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace vantor {

inline constexpr int kCustomerSlots = 99;
inline constexpr int kMobileSlots = 50;

// 2000-01-01 00:00:00 local time: the start time of a free record.
SystemTime FreeRecordStartTime();

struct CustomerRecord {
  bool enabled = false;
  std::string custID;
  std::string connType;
  ConnectionId connID = 0;
  std::string connIpAddr = "0.0.0.0";
  SystemTime connStartTime = FreeRecordStartTime();
  std::int32_t pktSent = 0;
  std::int32_t pktRecv = 0;
  std::int32_t aging = 0;
  std::string agentVersion;
  std::string company;
  std::string custPass;
  std::int16_t kaInterval = 0;
  bool bcaWaitState = false;
  std::int16_t bcaWaitTime = 0;
  std::int32_t rttSum = 0;
  std::int16_t rttCount = 0;

  // Clears the agent connection; the account fields and the pending alarm stay.
  void ResetConnection();
  bool HoldsConnection(std::string_view type, ConnectionId id) const {
    return connID != 0 && connID == id && connType == type;
  }
};

struct MobileRecord {
  std::string custID;
  std::string connType;
  ConnectionId connID = 0;
  std::string connIpAddr = "0.0.0.0";
  SystemTime connStartTime = FreeRecordStartTime();
  std::int32_t pktRecv = 0;
  std::int32_t pktSent = 0;
  std::int32_t aging = 0;
  std::string mobVersion;
  std::string company;
  std::string custPass;

  void Reset() { *this = MobileRecord{}; }
  bool HoldsConnection(std::string_view type, ConnectionId id) const {
    return connID != 0 && connID == id && connType == type;
  }
};

class ConnectionTables {
 public:
  // Slots are numbered from 1. Out-of-range numbers throw ProcedureError ("Subscript out of range").
  CustomerRecord& Customer(int slot);
  MobileRecord& Mobile(int slot);

  std::array<CustomerRecord, kCustomerSlots + 1>& customers() { return customers_; }
  std::array<MobileRecord, kMobileSlots + 1>& mobiles() { return mobiles_; }

 private:
  std::array<CustomerRecord, kCustomerSlots + 1> customers_{};  // index 0 unused
  std::array<MobileRecord, kMobileSlots + 1> mobiles_{};        // index 0 unused
};

// Arithmetic on the tables' fixed-width fields: a result that does not fit is a run-time failure
// ("Overflow"), as the fields' widths are part of the stored state.
std::int32_t Add32(std::int32_t a, std::int64_t b);
std::int16_t To16(std::int64_t value);

}  // namespace vantor
