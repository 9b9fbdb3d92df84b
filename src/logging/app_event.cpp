#include "logging/app_event.hpp"

#include "core/pause.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"

#include <fmt/format.h>

namespace vantor {

AppEventLog::AppEventLog(Clock& clock, std::filesystem::path programDir)
    : clock_(clock), file_(std::move(programDir) / "Debug" / "AppEvent.txt") {}

std::string AppEventLog::FormatLine(std::string_view module, std::string_view procedure,
                                    std::string_view text, int level) const {
  return fmt::format("{}\t{}\t{}_{}\t{}", FormatDateTime(clock_.Now()), level, module, procedure,
                     EscapeForLine(text));
}

bool AppEventLog::WriteLine(std::string_view module, std::string_view procedure,
                            std::string_view text, int level) const {
  if (level >= kLevelError && level <= kLevelInfo) ++counts_[static_cast<std::size_t>(level)];
  // The journal copy comes first: it is the only trace when the event file cannot be written.
  if (journal_ && level <= kLevelDropped) {
    journal_->Log(LogPriority::kError, fmt::format("{}_{}: {}", module, procedure, text));
  }
  std::string line = FormatLine(module, procedure, text, level);
  const bool written = AppendLine(file_, line);
  if (recent_.size() == kRecentLines) recent_.pop_front();
  recent_.push_back(std::move(line));
  return written;
}

asio::awaitable<void> AppEventLog::AppEvent(std::string_view module, std::string_view procedure,
                                            std::string_view text, int level) {
  // The arguments may refer to the caller's fields, which can change during the pause; the trap
  // must carry what was written, so keep copies.
  const std::string moduleCopy(module), procedureCopy(procedure), textCopy(text);
  const bool written = WriteLine(moduleCopy, procedureCopy, textCopy, level);
  co_await PauseMs(clock_, 500);
  if (written) Trap(AppEventRecord{moduleCopy, procedureCopy, textCopy, level});
}

void AppEventLog::AppEventNoPause(std::string_view module, std::string_view procedure, std::string_view text,
                                  int level) {
  if (WriteLine(module, procedure, text, level)) Trap(AppEventRecord{module, procedure, text, level});
}

void AppEventLog::Trap(const AppEventRecord& record) const {
  if (!trapSink_) return;
  try {
    trapSink_(record);
  } catch (...) {
    // The writer reports nothing about its own failures, so that it never calls itself again.
  }
}

}  // namespace vantor
