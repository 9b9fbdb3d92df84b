#include "broker/debug_trace.hpp"

#include "core/message_header.hpp"
#include "core/procedure_error.hpp"
#include "core/text_fields.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"

#include <fmt/format.h>

namespace vantor {
namespace fs = std::filesystem;

std::string DebugTrace::Timestamp() const { return FormatDateTimeMs(clock_.Now()); }

void DebugTrace::Append(const fs::path& file, std::string_view text) const {
  if (!AppendText(file, text)) throw ProcedureError("Path not found: " + file.string());
}

void DebugTrace::Block(std::string_view prefix, ConnectionId id, std::string_view banner,
                       const std::vector<std::string>& lines) const {
  if (!debugMode_) return;
  std::string text = fmt::format("\r\n{}\r\n{}\r\n", banner, Timestamp());
  for (const auto& line : lines) text.append(EscapeForLine(line)).append(kLineEnd);
  Append(programDir_ / "Debug" / fmt::format("{}{}.txt", prefix, id), text);
}

void DebugTrace::OpenRequest(std::string_view prefix, const vantor::OpenRequest& r) const {
  if (!debugMode_) return;
  auto field = [](std::string_view label, std::string_view value) {
    return FixedWidth(label, 27) + EscapeForLine(value) + "\r\n";
  };
  std::string text = "\r\n\r\n\r\n\r\n##### WebSocketOpenRequest #####\r\n" + Timestamp() + "\r\n";
  text += field("RequestURI:", r.uri);
  text += field("HostHeader:", r.host);
  text += field("OriginHeader:", r.origin);
  text += field("SubProtocols:", r.subProtocols);
  text += field("Extensions:", r.extensions);
  text += FixedWidth("RequestHeaders:", 27) + EscapeEachPart(r.headers, kLineEnd) + "\r\n";
  text += field("StatusCode:", std::to_string(r.statusCode));
  text += FixedWidth("ResponseHeaders:", 27) + EscapeEachPart(r.responseHeaders, kLineEnd) + "\r\n";
  Append(programDir_ / "Debug" / fmt::format("{}{}.txt", prefix, r.id), text);
}

void DebugTrace::KeepAlive(std::string_view filePrefix, ConnectionId id, std::string_view rtt,
                           std::string_view received, std::string_view echo) const {
  if (!debugMode_) return;
  const std::string text = fmt::format("\r\n{}\tlast keep-alive rtt\t{}\r\n<--- {}\r\n---> {}\r\n",
                                       Timestamp(), EscapeForLine(rtt), EscapeForLine(received),
                                       EscapeForLine(echo));
  Append(programDir_ / "KeepAlive" / fmt::format("{}AgtDataInKA-{}.txt", filePrefix, id), text);
}

void DebugTrace::Sql002(char sender, std::string_view text) const {
  if (!debugMode_) return;
  const char* from = sender == 'M' ? "From Mobile: " : "From Agent : ";
  std::string line = fmt::format("{}\t{}\t{}\t{}\r\n", Timestamp(), from, MessageView(text).customerId(),
                                 EscapeForLine(text));
  if (sender == 'A') line += "\r\n";
  Append(programDir_ / "Log" / "Sql002.txt", line);
}

}  // namespace vantor
