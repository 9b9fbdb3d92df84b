#pragma once
// The SNMP agent at run time: its start from the settings, the communities and trap settings it
// took there, the request handler, and the two traps (application events, notification status).
//
// Lives on the event thread, owned by the service, which outlives every request. Until Open has
// succeeded no trap goes out; requests are answered with the communities read by the last Open
// (none before it: the default set community only).

#include "broker/broker.hpp"
#include "core/settings.hpp"
#include "core/snmp_settings.hpp"
#include "logging/app_event.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/service_host.hpp"
#include "platform/snmp/snmp_agent.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace vantor {

// What the runtime reads and reports through; every reference outlives the runtime.
struct SnmpRuntimeContext {
  Clock& clock;
  AppEventLog& events;
  Broker& broker;
  ServiceHost& host;  // warnings about default communities
  const std::filesystem::path& programDir;
  const std::string& progVersion;  // sysDescr
  const SystemTime& startTime;     // sysUpTime and trap time stamps count from here
  // Writes an event from outside a handler (a trap that could not be sent).
  std::function<void(std::string procedure, std::string text, int level)> postEvent;
};

// Requests since the runtime was made: by kind (each get, get-next or set that arrived), and those
// left unanswered because their community was not the one accepted for them.
struct SnmpCounts {
  std::uint64_t get = 0;
  std::uint64_t getNext = 0;
  std::uint64_t set = 0;
  std::uint64_t refusedCommunity = 0;
};

class SnmpRuntime {
 public:
  // Installs the request handler on `agent`, which must outlive the runtime.
  SnmpRuntime(SnmpAgent& agent, SnmpRuntimeContext context);
  SnmpRuntime(const SnmpRuntime&) = delete;
  SnmpRuntime& operator=(const SnmpRuntime&) = delete;

  // Starts the agent on `address`:`port`, waits a second, then takes the communities and trap
  // settings from `settings` and stores the bound address there (SnmpIpAddr). Returns the
  // agent's start error (address_not_available for an address that is not an IP literal) with
  // nothing taken. Throws ProcedureError for a setting that cannot be read; every trap setting
  // is read before any takes effect, so a bad one leaves traps off.
  asio::awaitable<std::error_code> Open(const std::string& address, int port, GeneralSettings& settings);

  // True once Open has succeeded.
  bool started() const { return started_; }
  const SnmpAgent& agent() const { return agent_; }
  const SnmpCounts& counts() const { return counts_; }

  // The agent's request handler; false means no answer. Its own failure writes a level-1 line.
  asio::awaitable<bool> snmpAgent_Request(SnmpMessage& message);

  // Sends the status trap of a notification to 127.0.0.1:162 when traps are on and the agent
  // runs; a trap the agent refuses becomes a level-1 event.
  void ForwardSendStatus(const std::string& receiver, const std::string& subject, int status,
                         const std::string& result, const std::string& channel);

  // Sends the trap of an application event to the trap host when traps are on and the agent runs.
  void SendAppEventTrap(const AppEventRecord& record);

 private:
  struct TrapSettings {
    bool sendAppEvents = false;
    std::string host;
    std::int16_t port = 0;
    std::string community;
  };

  // Warns on the journal when the agent serves other hosts with a default community.
  void WarnOfDefaultCommunities();
  std::uint64_t UptimeHundredths() const;
  bool TrapsOn() const { return traps_.sendAppEvents && started_; }

  SnmpAgent& agent_;
  SnmpRuntimeContext context_;
  std::string getCommunity_;
  std::string setCommunity_ = kDefaultSetCommunity;
  TrapSettings traps_;
  bool started_ = false;
  SnmpCounts counts_;
};

}  // namespace vantor
