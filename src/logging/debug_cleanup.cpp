#include "logging/debug_cleanup.hpp"

#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"

#include <fmt/format.h>

#include <optional>

namespace vantor {
namespace fs = std::filesystem;
namespace chr = std::chrono;

namespace {

constexpr int kKeepDays = 60;

std::optional<chr::year_month_day> ParseDate(std::string_view text) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  auto number = [&](std::size_t pos, std::size_t len) -> std::optional<int> {
    int value = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  auto y = number(0, 4), m = number(5, 2), d = number(8, 2);
  if (!y || !m || !d) return std::nullopt;
  chr::year_month_day date{chr::year(*y), chr::month(static_cast<unsigned>(*m)),
                           chr::day(static_cast<unsigned>(*d))};
  if (!date.ok()) return std::nullopt;
  return date;
}

// Deletes every file of one pattern; throws the first failure's description.
void DeleteMatching(const fs::path& folder, std::string_view prefix, std::string_view suffix) {
  for (const auto& file : MatchFiles(folder, prefix, suffix)) {
    std::error_code ec;
    fs::remove(file, ec);
    if (ec) throw std::runtime_error(fmt::format("Cannot delete {}: {}", file.string(), ec.message()));
  }
}

// Moves the current log into the .bak file; an existing .bak from an interrupted run keeps its
// lines, with the current file's lines appended after them.
void MoveLogToBackup(const fs::path& log, const fs::path& bak) {
  if (!fs::exists(bak)) {
    fs::rename(log, bak);
    return;
  }
  std::vector<std::string> lines;
  if (!ReadLines(log, lines)) throw std::runtime_error("Cannot read " + log.string());
  std::string text;
  for (const auto& line : lines) text.append(line).append(kLineEnd);
  if (!AppendText(bak, text)) throw std::runtime_error("Cannot write " + bak.string());
  fs::remove(log);
}

void AgeEventLog(const fs::path& debugDir, chr::year_month_day today) {
  const fs::path log = debugDir / "AppEvent.txt";
  const fs::path bak = debugDir / "AppEvent.bak";
  const fs::path fresh = debugDir / "AppEvent.new";
  if (!fs::exists(log) && !fs::exists(bak)) return;
  if (fs::exists(log)) MoveLogToBackup(log, bak);

  std::vector<std::string> lines;
  if (!ReadLines(bak, lines)) throw std::runtime_error("Cannot read " + bak.string());
  std::string text;
  for (const auto& line : KeepRecentEventLines(lines, today)) text.append(line).append(kLineEnd);
  // The new file is complete before it takes the log's name; only then is the .bak removed.
  if (!WriteText(fresh, text)) throw std::runtime_error("Cannot write " + fresh.string());
  fs::rename(fresh, log);
  fs::remove(bak);
}

}  // namespace

chr::year_month_day LocalDate(SystemTime time) {
  const std::tm t = LocalTime(time);
  return chr::year_month_day{chr::year(t.tm_year + 1900), chr::month(static_cast<unsigned>(t.tm_mon + 1)),
                             chr::day(static_cast<unsigned>(t.tm_mday))};
}

std::vector<std::string> KeepRecentEventLines(const std::vector<std::string>& lines,
                                              chr::year_month_day today) {
  std::vector<std::string> kept;
  bool keepFollowing = true;
  for (const auto& line : lines) {
    if (line.size() <= 10) continue;
    if (auto date = ParseDate(line)) {
      const auto age = (chr::sys_days(today) - chr::sys_days(*date)).count();
      keepFollowing = age < kKeepDays;
    }
    if (keepFollowing) kept.push_back(line);
  }
  return kept;
}

asio::awaitable<void> ClearDebugDir(const fs::path& programDir, AppEventLog& log) {
  std::string failure;
  try {
    DeleteMatching(programDir / "Debug", "Ws", ".txt");
    DeleteMatching(programDir / "Debug", "Test", ".txt");
    DeleteMatching(programDir / "KeepAlive", "Ws", ".txt");
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure.empty()) co_await log.AppEvent(kCodeModule, "ClearDebugDir", failure, kLevelError);
}

asio::awaitable<void> ClearDebugDir_AE(const fs::path& programDir, chr::year_month_day today,
                                       AppEventLog& log) {
  std::string failure;
  try {
    AgeEventLog(programDir / "Debug", today);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure.empty()) co_await log.AppEvent(kCodeModule, "ClearDebugDir_AE", failure, kLevelError);
}

}  // namespace vantor
