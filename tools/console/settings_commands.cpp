#include "arguments.hpp"
#include "commands.hpp"
#include "outcome.hpp"
#include "secret_input.hpp"

#include "core/schema.hpp"
#include "core/settings_check.hpp"
#include "platform/db/database.hpp"

#include <fmt/format.h>

#include <charconv>
#include <optional>
#include <ostream>

namespace vantor::console {

namespace {

// Secrets are never printed.
bool IsSecret(const std::string& column) {
  return column == "MailPassword" || column == "SnmpSetComm" || column == "MetricsToken";
}

bool IsEmpty(const DbValue& value) {
  const auto* text = std::get_if<std::string>(&value);
  return std::holds_alternative<std::monostate>(value) || (text && text->empty());
}

// A stored secret is shown as "(set)"; an empty or NULL one as it is.
DbValue Visible(const std::string& column, const DbValue& value) {
  return IsSecret(column) && !IsEmpty(value) ? DbValue{std::string("(set)")} : value;
}

std::string JsonValue(const DbValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return "null";
  if (const auto* text = std::get_if<std::string>(&value)) return JsonString(*text);
  return DescribeValue(value);
}

DbStatus ReadSettingsRow(Database& db, std::vector<DbRow>& rows) {
  auto status = db.Query("SELECT * FROM General_Settings ORDER BY rowid LIMIT 1", {}, rows);
  if (status && rows.empty()) return DbStatus::Failure("General_Settings has no row");
  return status;
}

void ShowJson(const CommandContext& c, const DbRow& row) {
  std::string members;
  for (std::size_t i = 0; i < row.names->size(); ++i) {
    const std::string& name = (*row.names)[i];
    if (i > 0) members += ",";
    members += JsonString(name) + ":" + JsonValue(Visible(name, row.values[i]));
  }
  c.out << "{\"settings\":{" << members << "}}\n";
}

int Show(const CommandContext& c) {
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  std::vector<DbRow> rows;
  if (auto status = ReadSettingsRow(*db, rows); !status) {
    c.err << status.error << "\n";
    return 1;
  }
  const DbRow& row = rows.front();
  if (c.json) {
    ShowJson(c, row);
    return 0;
  }
  for (std::size_t i = 0; i < row.names->size(); ++i) {
    const std::string& name = (*row.names)[i];
    std::string value = DescribeValue(Visible(name, row.values[i]));
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

// The outcome of one set: in words, or as one JSON object with --json.
int Report(const CommandContext& c, int code, const std::string& column, const DbValue& value,
           const std::string& message) {
  if (c.json) {
    c.out << fmt::format("{{\"ok\":{},\"column\":{},\"value\":{},\"message\":{}}}\n",
                         code == 0 ? "true" : "false", JsonString(column),
                         JsonValue(Visible(column, value)), JsonString(message));
  } else {
    (code == 0 ? c.out : c.err) << message << "\n";
  }
  return code;
}

// The declared type of the column ("INTEGER", "TEXT"), or nullopt when the table has no such
// column.
std::optional<std::string> ColumnType(Database& db, const std::string& column, DbStatus& status) {
  std::vector<DbRow> rows;
  status = db.Query("SELECT type FROM pragma_table_info('General_Settings') WHERE name = ?",
                    {column}, rows);
  if (!status || rows.empty()) return std::nullopt;
  return std::get<std::string>(rows[0].values[0]);
}

// A database made before an optional column existed gets it when the column is first set.
std::optional<std::string> AddOptionalColumn(Database& db, const std::string& column, DbStatus& status) {
  auto type = OptionalSettingType(column);
  if (type) status = db.Execute(fmt::format("ALTER TABLE General_Settings ADD COLUMN \"{}\" {}", column, *type), {});
  return status ? type : std::nullopt;
}

std::string Joined(const std::vector<SettingProblem>& problems) {
  std::string text;
  for (const auto& problem : problems) text += (text.empty() ? "" : "\n") + DescribeProblem(problem);
  return text;
}

constexpr char kSetForm[] =
    "settings set COLUMN VALUE | settings set SECRET [--secret-file FILE]   (VALUE --null clears it;\n"
    "  a secret such as MailPassword is read from FILE or standard input, never from the command line)";

// The value to store: from the command line, or for a secret column from standard input or a
// file. nullopt after telling c.err why; `code` is then the exit status.
std::optional<std::string> ValueToSet(const CommandContext& c, int& code) {
  code = kUsageError;
  const bool secret = c.args.size() >= 2 && IsSecret(c.args[1]);
  if (c.args.size() == 3 && (!secret || c.args[2] == "--null")) return c.args[2];
  if (!secret) {
    UsageError(c, "settings set takes a COLUMN and a VALUE", kSetForm);
    return std::nullopt;
  }
  const auto parsed = ParseCommandWords(c, {c.args.begin() + 1, c.args.end()}, {kSetForm, 1, 99, {}, {kSecretFileOption}});
  if (!parsed) return std::nullopt;
  if (parsed->positional.size() > 1) {
    UsageError(c, c.args[1] + " is a secret and is never taken from the command line, where every local user can "
                              "read it; nothing was changed", kSetForm);
    return std::nullopt;
  }
  std::string problem;
  auto value = ReadSecret(c, *parsed, c.args[1], problem);
  code = kNotDone;
  if (!value) c.err << problem << "; nothing was changed\n";
  return value;
}

int Set(const CommandContext& c) {
  int code = 0;
  const auto text = ValueToSet(c, code);
  if (!text) return code;
  const std::string& column = c.args[1];
  const DbValue typed = *text;
  auto db = OpenProgramDatabase(c);
  if (!db) return 1;
  DbStatus status;
  auto type = ColumnType(*db, column, status);
  if (status && !type) type = AddOptionalColumn(*db, column, status);
  if (!status) return Report(c, 1, column, typed, status.error);
  if (!type) return Report(c, 2, column, typed, "General_Settings has no column " + column);
  DbValue value;
  if (!ParseValue(*type, *text, value)) {
    return Report(c, 1, column, typed, column + ": '" + *text + "' is not a whole number (or true/false)");
  }
  std::vector<DbRow> rows;
  SettingsEnvironment environment;
  status = ReadSettingsRow(*db, rows);
  if (status) status = ReadSettingsEnvironment(*db, c.programDir, environment);
  if (!status) return Report(c, 1, column, value, status.error);
  const DbValue old = *rows.front().Find(column);
  if (auto problems = CheckSettingChange(rows.front(), column, value, environment); !problems.empty()) {
    return Report(c, 1, column, value, Joined(problems) + "\n" + column + " left at " +
                                           DescribeValue(Visible(column, old)));
  }
  // The column name was checked against the table above; the value is bound.
  status = db->Execute(fmt::format("UPDATE General_Settings SET \"{}\" = ?", column), {value});
  if (!status) return Report(c, 1, column, value, status.error);
  return Report(c, 0, column, value,
                fmt::format("{} set to {} (was {})", column, DescribeValue(Visible(column, value)),
                            DescribeValue(Visible(column, old))));
}

}  // namespace

int SettingsCommand(const CommandContext& c) {
  const std::string verb = c.args.empty() ? "" : c.args[0];
  if (verb == "show") return Show(c);
  if (verb == "set") return Set(c);
  c.err << "usage: settings show | " << kSetForm << "\n";
  return 2;
}

}  // namespace vantor::console
