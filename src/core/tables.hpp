#pragma once
// The service's two fixed connection tables, shared by the broker, the supervision, the SNMP
// commands and the reports: 99 customer slots, each with at most one agent connection, and
// 50 mobile slots shared by all customers. A slot is in use while it holds a connection.
//
// The service owns the one instance; it is read and written on the event thread only, so it needs
// no locks, but a coroutine that waited must look at a record again before it acts on it. Readers
// get const records; every change goes through one of the operations below, named for what it
// records. Slots are numbered from 1: an out-of-range number throws ProcedureError ("Subscript out
// of range"), and a counter that would leave its field's width throws ProcedureError ("Overflow")
// before anything changes.

#include "core/connection_ref.hpp"
#include "platform/host/clock.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vantor {

inline constexpr int kCustomerSlots = 99;
inline constexpr int kMobileSlots = 50;

// 2000-01-01 00:00:00 local time: the start time of a free record.
SystemTime FreeRecordStartTime();

// The fields an agent's and a mobile's record share: the customer, the connection and its
// traffic, and what the client said about itself.
struct ConnectionFields {
  std::string custID;
  ConnectionRef connection;  // id 0: free
  std::string connIpAddr = "0.0.0.0";
  SystemTime connStartTime = FreeRecordStartTime();
  std::int32_t pktSent = 0;
  std::int32_t pktRecv = 0;
  std::int32_t aging = 0;
  std::string version;  // the client's program version
  std::string company;
  std::string custPass;

  bool connected() const { return connection.id != 0; }
  bool HoldsConnection(ConnectionRef ref) const { return connected() && connection == ref; }
  // "ws" or "wss" while connected, "" when free: the text reports and SNMP show.
  std::string_view connType() const { return connected() ? ConnTypeText(connection.server) : ""; }
};

struct CustomerRecord : ConnectionFields {
  bool enabled = false;
  std::int16_t kaInterval = 0;
  bool bcaWaitState = false;  // the broken-connection alarm is pending
  std::int16_t bcaWaitTime = 0;
  std::int32_t rttSum = 0;
  std::int16_t rttCount = 0;
  // Messages relayed for this customer since it took the slot, for monitoring; unlike the
  // packet counts they are neither cleared daily nor at a new connection.
  std::uint64_t relayedToAgent = 0;
  std::uint64_t relayedToMobile = 0;
};

struct MobileRecord : ConnectionFields {};

// Where a new connection comes from and when it opened.
struct NewConnection {
  ConnectionRef ref;
  std::string address;
  SystemTime start;
  std::string pass;
};

class ConnectionTables {
 public:
  const CustomerRecord& Customer(int slot) const;
  const MobileRecord& Mobile(int slot) const;
  // The slot of a record of this table.
  int SlotOf(const CustomerRecord& record) const;

  // The customer table as read from the database. Load starts the slot afresh; Update keeps the
  // connection, its counters and the pending alarm, and clears a free slot's traces (and the
  // relayed-message counts when another customer takes the slot).
  void LoadCustomer(int slot, bool enabled, std::string custID, std::string company);
  void UpdateCustomer(int slot, bool enabled, std::string custID, std::string company);
  // A slot above the last row: everything goes but the connection, until its end frees it.
  void ForgetCustomer(int slot);
  void ClearMobiles();

  // Admission. A refused agent whose customer is connected already ages as if just heard.
  void RegisterAgent(int slot, const NewConnection& connection);
  void RefreshAgentAging(int slot);
  void RegisterMobile(int slot, std::string custID, const NewConnection& connection, std::string company);

  // The end of a connection: the agent's account fields and pending alarm stay.
  void ReleaseAgent(int slot);
  void ReleaseMobile(int slot);

  // Traffic. A relayed request counts as received by both; a relayed answer as sent by both.
  void CountRequest(int agentSlot, int mobileSlot);
  void CountAnswer(int agentSlot, int mobileSlot);
  // A keep-alive: the agent is heard, with a round-trip sample (milliseconds) when it gave one.
  void RecordKeepAlive(int slot, std::optional<std::int32_t> roundTrip);
  void SetAgentVersion(int slot, std::string version);
  // The agent announced its keep-alive interval: it is back, so its pending alarm is dropped.
  void SetKeepAliveInterval(int slot, std::int16_t seconds);
  void SetMobileVersion(int slot, std::string version);

  // Supervision.
  void AgeAgent(int slot, std::int32_t seconds);
  void AgeMobile(int slot, std::int32_t seconds);
  void ClearRoundTrips(int slot);
  void ClearDailyCounts(int slot);  // the message counts and the round trips

  // The pending broken-connection alarm.
  void StartAlarmWait(int slot);
  void AdvanceAlarmWait(int slot, std::int16_t seconds);
  void ClearAlarmWait(int slot);

 private:
  CustomerRecord& CustomerAt(int slot);
  MobileRecord& MobileAt(int slot);
  void CountOnBoth(int agentSlot, int mobileSlot, std::int32_t ConnectionFields::*count);

  std::array<CustomerRecord, kCustomerSlots + 1> customers_{};  // index 0 unused
  std::array<MobileRecord, kMobileSlots + 1> mobiles_{};        // index 0 unused
};

// Arithmetic on the tables' fixed-width fields: a result that does not fit is a run-time failure
// ("Overflow"), as the fields' widths are part of the stored state.
std::int32_t Add32(std::int32_t a, std::int64_t b);
std::int16_t To16(std::int64_t value);

}  // namespace vantor
