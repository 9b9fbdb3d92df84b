#pragma once
// Debug traces of socket events: one file per event kind and connection, written only while
// debug mode is on. A file that cannot be written throws ProcedureError, like any run-time failure
// of the handler that writes it. CR, LF and TAB inside the texts they are given are escaped
// (header blocks keep one header per line), so a peer cannot forge a line of a shared file.

#include "platform/host/clock.hpp"
#include "platform/net/websocket_server.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class DebugTrace {
 public:
  DebugTrace(Clock& clock, std::filesystem::path programDir, const bool& debugMode)
      : clock_(clock), programDir_(std::move(programDir)), debugMode_(debugMode) {}

  bool enabled() const { return debugMode_; }

  // Appends "" + banner + timestamp + lines as one block to Debug/<prefix><id>.txt.
  void Block(std::string_view prefix, ConnectionId id, std::string_view banner,
             const std::vector<std::string>& lines) const;

  // The open-request block: four empty lines, banner, timestamp, eight labelled values.
  void OpenRequest(std::string_view prefix, const OpenRequest& request) const;

  // KeepAlive/<prefix>AgtDataInKA-<id>.txt
  void KeepAlive(std::string_view filePrefix, ConnectionId id, std::string_view rtt,
                 std::string_view received, std::string_view echo) const;

  // Log/Sql002.txt: a diagnostic query or its answer.
  void Sql002(char sender, std::string_view text) const;

  // The millisecond timestamp of one clock reading.
  std::string Timestamp() const;

 private:
  void Append(const std::filesystem::path& file, std::string_view text) const;

  Clock& clock_;
  std::filesystem::path programDir_;
  const bool& debugMode_;
};

}  // namespace vantor
