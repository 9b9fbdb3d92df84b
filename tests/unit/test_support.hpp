#pragma once
// Shared helpers for unit tests: a temporary program directory with a fresh database, running a
// coroutine to its end on a private io_context, and reading files back.

#include "core/schema.hpp"
#include "platform/db/database.hpp"
#include "platform/host/clock.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace vantor::testing {

class TempProgramDir {
 public:
  explicit TempProgramDir(bool withDatabase = true) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("vantor-unit-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(path_);
    for (const char* folder : {"Debug", "Log", "KeepAlive", "Backup"}) {
      std::filesystem::create_directories(path_ / folder);
    }
    if (withDatabase) CreateDatabase();
  }
  ~TempProgramDir() { std::filesystem::remove_all(path_); }

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path database() const { return path_ / kDatabaseFileName; }

  void CreateDatabase() {
    DbStatus status;
    auto db = Database::Open(database(), Database::Mode::kCreate, status);
    if (db) status = CreateSchema(*db);
    if (!status) throw std::runtime_error(status.error);
  }

  // Runs one statement on the database (test set-up).
  void Sql(const std::string& sql, const std::vector<DbValue>& params = {}) const {
    DbStatus status = Open()->Execute(sql, params);
    if (!status) throw std::runtime_error(status.error);
  }

  // The first row that a query finds; throws when it finds none.
  std::vector<DbValue> FirstRow(const std::string& sql, const std::vector<DbValue>& params = {}) const {
    std::vector<DbRow> rows;
    DbStatus status = Open()->Query(sql, params, rows);
    if (!status || rows.empty()) throw std::runtime_error("no row: " + status.error);
    return rows[0].values;
  }

  DbValue SettingValue(const std::string& column) const {
    return FirstRow("SELECT \"" + column + "\" FROM General_Settings").at(0);
  }

 private:
  std::unique_ptr<Database> Open() const {
    DbStatus status;
    auto db = Database::Open(database(), Database::Mode::kReadWrite, status);
    if (!db) throw std::runtime_error(status.error);
    return db;
  }

  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// The lines of an event file without their time stamps: "level TAB module_procedure TAB text".
inline std::vector<std::string> EventLines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(file);
  for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::size_t tab = text.find('\t', start);
    lines.push_back(text.substr(tab + 1, end - tab - 1));
  }
  return lines;
}

inline void WriteFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// Runs a coroutine on `io` until the io_context has nothing left to do.
template <typename Awaitable>
void RunToEnd(boost::asio::io_context& io, Awaitable awaitable) {
  auto done = boost::asio::co_spawn(io, std::move(awaitable), boost::asio::use_future);
  io.run();
  io.restart();
  done.get();  // rethrows a failure of the coroutine
}

// A local date-time as the service's clock would report it.
inline SystemTime LocalTimePoint(int year, int month, int day, int hour = 0, int minute = 0,
                                 int second = 0) {
  std::tm t{};
  t.tm_sec = second, t.tm_min = minute, t.tm_hour = hour, t.tm_mday = day, t.tm_mon = month - 1;
  t.tm_year = year - 1900, t.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

}  // namespace vantor::testing
