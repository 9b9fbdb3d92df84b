#pragma once
// The application event log: one line per event in Debug/AppEvent.txt, a half-second pause that
// lets other events run, and, once traps are switched on, an SNMP trap per event. Failures and
// drops (levels 1 and 2) also go to the journal as errors once a service host is attached.

#include "core/procedure.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/service_host.hpp"

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace vantor {

struct AppEventRecord {
  std::string_view module;
  std::string_view procedure;
  std::string_view text;
  int level;
};

class AppEventLog {
 public:
  using TrapSink = std::function<void(const AppEventRecord&)>;

  AppEventLog(Clock& clock, std::filesystem::path programDir);

  // Writes one line, pauses 500 ms, then hands the event to the trap sink when one is set.
  // Never fails: a line that cannot be written is dropped silently, and then no trap is sent.
  asio::awaitable<void> AppEvent(std::string_view module, std::string_view procedure,
                                 std::string_view text, int level);

  // The same without the pause, for a handler that must not hold up its connection: writes the
  // line and hands the event to the trap sink at once.
  void AppEventNoPause(std::string_view module, std::string_view procedure, std::string_view text,
                       int level);

  // Copies every level 1 and 2 event to the host's journal from now on.
  void MirrorFailuresTo(ServiceHost& host) { journal_ = &host; }

  // The trap sink is set once the SNMP agent runs and traps of events are switched on.
  void SetTrapSink(TrapSink sink) { trapSink_ = std::move(sink); }

  // The file line without its CR LF (exposed for tests and for writers that cannot pause).
  std::string FormatLine(std::string_view module, std::string_view procedure,
                         std::string_view text, int level) const;

  // Writes the line only (no pause, no trap); used where waiting is impossible, such as the
  // command line before the event loop runs. Returns false when the line could not be written.
  bool WriteLine(std::string_view module, std::string_view procedure, std::string_view text,
                 int level) const;

  const std::filesystem::path& file() const { return file_; }

  // The lines of the latest events (at most kRecentLines, oldest first), as they were written or
  // would have been when the file could not be written; kept in memory for the status page.
  static constexpr std::size_t kRecentLines = 50;
  const std::deque<std::string>& recentLines() const { return recent_; }

  // Events raised since the log was made, by level (1 to 3; other levels are not counted),
  // whether or not their line could be written.
  std::uint64_t eventCount(int level) const {
    return level >= kLevelError && level <= kLevelInfo ? counts_[static_cast<std::size_t>(level)] : 0;
  }

 private:
  void Trap(const AppEventRecord& record) const;

  Clock& clock_;
  std::filesystem::path file_;
  TrapSink trapSink_;
  ServiceHost* journal_ = nullptr;
  mutable std::array<std::uint64_t, kLevelInfo + 1> counts_{};  // index: level
  mutable std::deque<std::string> recent_;
};

}  // namespace vantor
