#pragma once
// One thing the service listens with (the SNMP agent, the plain or the TLS WebSocket server, the
// monitoring listener),
// opened from the settings row at the start and closed at the stop. Every listener reports the
// same way: its status column, a Debug/Services.txt block in debug mode, and on failure an event
// and a journal line naming where it should have listened and why it could not.
//
// Runs on the event thread; what the context refers to outlives the listener.

#include "core/settings.hpp"
#include "logging/app_event.hpp"
#include "platform/db/database_writer.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/service_host.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

struct ListenerContext {
  asio::io_context& io;
  Clock& clock;
  AppEventLog& events;
  ServiceHost& host;
  DatabaseWriter& writer;  // takes the settings' staged changes
  const std::filesystem::path& programDir;
  const bool& debugMode;
};

class Listener {
 public:
  enum class State { kOff, kUp, kFailed };

  // What tells the listeners apart: their texts and the pause after their status.
  struct Names {
    std::string kind;           // "SNMP", "WS", "WSS": reports and journal lines
    std::string columnPrefix;   // "Snmp", "Ws", "Wss": <prefix>Enabled, <prefix>Status, ...
    std::string startedLine;    // the status line of a start: "SNMP Agent Started"
    std::string servicesHeader; // the header of its Debug/Services.txt block
    bool firstInServicesFile = false;  // its block starts the file anew
    std::chrono::milliseconds pauseAfterStatus{0};
    // Whether it has a <prefix>Status column (and a Services.txt block); a listener added after
    // the table was defined has neither.
    bool statusColumn = true;
  };

  virtual ~Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Opens from the settings row and writes the status column. kOff: not enabled. kFailed: the
  // failure has been reported (event, journal) and the status says "Failed to Start".
  asio::awaitable<State> Open();

  // Resets the status column to "Not Started"; events already queued for a running listener run
  // first. A failure is a level-1 event of ServiceClose.
  asio::awaitable<void> Close();

  // For the service's reports, after Open: "SNMP 127.0.0.1:161" when up; where it should have
  // listened and why not when failed ("SNMP 127.0.0.1:161: Address already in use", or
  // "SNMP: <reason>" when the settings could not be read).
  const std::string& report() const { return report_; }

  // Its name as a monitoring label ("snmp", "ws", "wss", "metrics"); whether the last Open found
  // it enabled, and whether it is up now (until Close).
  std::string label() const;
  bool enabled() const { return enabled_; }
  bool up() const { return up_; }

 protected:
  // Why an enabled listener did not start.
  struct StartFailure {
    std::string reason;        // in words, for the journal and the reports
    std::string event;         // the fixed event text the operator knows; empty: the event names
                               // the listener, where and the reason
    std::string statusReason;  // the last line of the failed status
    bool addressMissing = false;  // the machine does not have the configured address
  };

  Listener(ListenerContext context, Names names);

  // Whether the settings enable it; by default the <prefix>Enabled column, which must exist.
  virtual bool Enabled(const GeneralSettings& settings) const;
  // Starts an enabled listener. Calls Configured once the address and port are read, and Bound
  // once it listens. Throws ProcedureError for settings it cannot use.
  virtual asio::awaitable<std::optional<StartFailure>> Start(GeneralSettings& settings) = 0;
  // Whether the stop finds it running, from the settings read then.
  virtual bool Running(const GeneralSettings& settings) const = 0;
  // Stages what a failed start writes besides the failed status.
  virtual void StageFailure(GeneralSettings&, const StartFailure&) {}
  // Stops what the listener serves itself at the close; the WebSocket servers are shut down at
  // the end instead, after the stop.
  virtual void Stop() {}

  void Configured(std::string_view address, int port);
  void Bound(const std::string& address, int port);

  ListenerContext context_;
  const Names names_;

 private:
  asio::awaitable<void> ReportFailure(const StartFailure& failure);
  // Hands the settings' staged changes to the database writer.
  void SaveSettings(GeneralSettings& settings);

  std::string where_;          // the configured endpoint; empty until read
  std::string startedStatus_;  // set by Bound
  std::string report_;
  bool enabled_ = false;
  bool up_ = false;
};

}  // namespace vantor
