#include "logging/stat_log.hpp"

#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/tables.hpp"
#include "core/text_fields.hpp"
#include "platform/host/text_file.hpp"

namespace vantor {

namespace {
constexpr std::size_t kMaxReportLength = 32767;
constexpr const char* kShortHeader =
    "Company\tProgVer\tYearMonth\tPushOK\tPushUnknown\tPushFailed\tMailOK\tMailUnknown\tMailFailed\t"
    "WebRx\tWebTxOk\tWebTxErr\tWebKaDiff\tWebKaRTT\tWebKaDays";
constexpr const char* kLongHeader =
    "Company\tProgVer\tYearMonth\tPushOK\tPushUnknown\tPushFailed\tSmsOK\tSmsUnknown\tSmsFailed\t"
    "MailOK\tMailUnknown\tMailFailed\tWebRx\tWebTxOk\tWebTxErr\tWebKaDiff\tWebKaRTT\tWebKaDays";
}  // namespace

std::string StatLogHeader(std::string_view version) {
  if (version.find('.') == std::string_view::npos) return kShortHeader;
  const auto major = To16(WholeNumber(Mid(version, 1, 1)));
  const auto minor = To16(WholeNumber(Mid(version, 3)));
  if (major != 3) return {};
  return minor < 30 ? kShortHeader : kLongHeader;
}

asio::awaitable<void> SaveStatLog(Clock& clock, AppEventLog& events,
                                  const std::filesystem::path& programDir, std::string company,
                                  std::string version, std::string report) {
  co_await Guarded(events, kCodeModule, "SaveStatLog", [&]() -> asio::awaitable<void> {
    if (report.size() > kMaxReportLength) throw ProcedureError("Overflow");
    const auto file = programDir / "Log" / "StatLog.txt";
    if (!std::filesystem::exists(file)) {
      const std::string header = StatLogHeader(version);
      const bool written = header.empty() ? WriteText(file, "") : AppendLine(file, header);
      if (!written) throw ProcedureError("Path not found: " + file.string());
      co_await PauseMs(clock, 200);
    }
    std::string lines;
    std::size_t start = 0;
    for (auto end = report.find("\r\n"); end != std::string::npos; end = report.find("\r\n", start)) {
      lines.append(EscapeForLine(company)).append("\t").append(EscapeForLine(version)).append("\t");
      lines.append(EscapeEachPart(std::string_view(report).substr(start, end - start), "\t")).append(kLineEnd);
      start = end + 2;
    }
    if (!AppendText(file, lines)) throw ProcedureError("Path not found: " + file.string());
  });
}

}  // namespace vantor
