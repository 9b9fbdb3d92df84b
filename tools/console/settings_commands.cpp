#include "commands.hpp"

#include "core/schema.hpp"
#include "platform/database.hpp"

#include <fmt/format.h>

#include <charconv>
#include <ostream>

namespace vantor::console {

namespace {

// Secrets are never printed.
bool IsSecret(const std::string& column) { return column == "MailPassword"; }

int Show(const CommandContext& c) {
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  std::vector<DbRow> rows;
  auto status = db->Query("SELECT * FROM General_Settings ORDER BY rowid LIMIT 1", {}, rows);
  if (!status || rows.empty()) {
    c.err << (status ? "General_Settings has no row" : status.error) << "\n";
    return 1;
  }
  const DbRow& row = rows.front();
  for (std::size_t i = 0; i < row.names->size(); ++i) {
    const std::string& name = (*row.names)[i];
    std::string value = DescribeValue(row.values[i]);
    if (IsSecret(name) && value != "NULL" && value != "''") value = "(set)";
    // Status texts hold line breaks; show them on one line.
    for (auto pos = value.find("\r\n"); pos != std::string::npos; pos = value.find("\r\n")) {
      value.replace(pos, 2, " | ");
    }
    c.out << fmt::format("{:<16} {}\n", name, value);
  }
  return 0;
}

// Integer columns take a whole number or true/false; "--null" clears any column.
bool ParseValue(const std::string& declared, const std::string& text, DbValue& value) {
  if (text == "--null") {
    value = std::monostate{};
    return true;
  }
  if (declared != "INTEGER") {
    value = text;
    return true;
  }
  if (text == "true" || text == "yes") {
    value = std::int64_t{1};
    return true;
  }
  if (text == "false" || text == "no") {
    value = std::int64_t{0};
    return true;
  }
  std::int64_t number = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || ptr != text.data() + text.size()) return false;
  value = number;
  return true;
}

int Set(const CommandContext& c) {
  if (c.args.size() != 3) {
    c.err << "usage: settings set COLUMN VALUE   (VALUE --null clears it)\n";
    return 2;
  }
  const std::string& column = c.args[1];
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  std::vector<DbRow> rows;
  auto status = db->Query("SELECT type FROM pragma_table_info('General_Settings') WHERE name = ?",
                          {column}, rows);
  if (!status) {
    c.err << status.error << "\n";
    return 1;
  }
  if (rows.empty()) {
    c.err << "General_Settings has no column " << column << "\n";
    return 1;
  }
  DbValue value;
  if (!ParseValue(std::get<std::string>(rows[0].values[0]), c.args[2], value)) {
    c.err << column << " takes a whole number (or true/false)\n";
    return 1;
  }
  // The column name was checked against the table above; the value is bound.
  status = db->Execute(fmt::format("UPDATE General_Settings SET \"{}\" = ?", column), {value});
  if (!status) {
    c.err << status.error << "\n";
    return 1;
  }
  c.out << column << " = " << (IsSecret(column) ? "(set)" : DescribeValue(value)) << "\n";
  return 0;
}

}  // namespace

int SettingsCommand(const CommandContext& c) {
  const std::string verb = c.args.empty() ? "" : c.args[0];
  if (verb == "show") return Show(c);
  if (verb == "set") return Set(c);
  c.err << "usage: settings show | settings set COLUMN VALUE\n";
  return 2;
}

}  // namespace vantor::console
