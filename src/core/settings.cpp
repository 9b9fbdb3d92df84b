#include "core/settings.hpp"

#include "core/procedure_error.hpp"

#include <fmt/format.h>

#include <charconv>

namespace vantor {

// The row is read with its rowid under this name, which is no column of General_Settings.
constexpr std::string_view kRowidAlias = "vantor_rowid";

std::unique_ptr<Database> OpenDatabase(const std::filesystem::path& databaseFile) {
  DbStatus status;
  auto db = Database::Open(databaseFile, Database::Mode::kReadWrite, status);
  if (!db) throw ProcedureError(status.error);
  return db;
}

GeneralSettings GeneralSettings::Load(const std::filesystem::path& databaseFile) {
  auto db = OpenDatabase(databaseFile);
  return Read(*db);
}

GeneralSettings GeneralSettings::Read(Database& db) {
  std::vector<DbRow> rows;
  auto status = db.Query(
      fmt::format("SELECT rowid AS {}, * FROM General_Settings ORDER BY rowid LIMIT 1", kRowidAlias), {}, rows);
  if (!status) throw ProcedureError(status.error);
  if (rows.empty()) throw ProcedureError("The table General_Settings has no row");
  const auto rowid = std::get<std::int64_t>(rows.front().values.front());
  return GeneralSettings(std::move(rows.front()), rowid);
}

GeneralSettings::GeneralSettings(DbRow row, std::int64_t rowid) : row_(std::move(row)), rowid_(rowid) {}

const DbValue& GeneralSettings::Value(std::string_view column) const {
  const DbValue* value = row_.Find(column);
  if (!value) throw ProcedureError(fmt::format("Column {} not found in General_Settings", column));
  if (std::holds_alternative<std::monostate>(*value)) {
    throw ProcedureError(fmt::format("Invalid use of Null (General_Settings.{})", column));
  }
  return *value;
}

std::string GeneralSettings::Text(std::string_view column) const {
  const DbValue& value = Value(column);
  if (auto* text = std::get_if<std::string>(&value)) return *text;
  if (auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
  return fmt::format("{}", std::get<double>(value));
}

std::int64_t GeneralSettings::Integer(std::string_view column, std::int64_t min,
                                      std::int64_t max) const {
  const DbValue& value = Value(column);
  std::int64_t number = 0;
  if (auto* i = std::get_if<std::int64_t>(&value)) {
    number = *i;
  } else if (auto* text = std::get_if<std::string>(&value)) {
    const char* end = text->data() + text->size();
    auto [ptr, ec] = std::from_chars(text->data(), end, number);
    if (ec != std::errc() || ptr != end) {
      throw ProcedureError(fmt::format("Type mismatch (General_Settings.{} = {})", column,
                                       DescribeValue(value)));
    }
  } else {
    throw ProcedureError(fmt::format("Type mismatch (General_Settings.{} = {})", column,
                                     DescribeValue(value)));
  }
  if (number < min || number > max) {
    throw ProcedureError(fmt::format("Overflow (General_Settings.{} = {})", column, number));
  }
  return number;
}

bool GeneralSettings::Bool(std::string_view column) const {
  return Integer(column, INT64_MIN, INT64_MAX) != 0;
}

bool GeneralSettings::BoolOrFalse(std::string_view column) const {
  const DbValue* value = row_.Find(column);
  if (value && std::holds_alternative<std::monostate>(*value)) return false;
  return Bool(column);
}

std::int16_t GeneralSettings::Int16(std::string_view column) const {
  return static_cast<std::int16_t>(Integer(column, INT16_MIN, INT16_MAX));
}

std::int32_t GeneralSettings::Int32(std::string_view column) const {
  return static_cast<std::int32_t>(Integer(column, INT32_MIN, INT32_MAX));
}

bool GeneralSettings::OptionalFlag(std::string_view column) const {
  const DbValue* value = row_.Find(column);
  return value && !std::holds_alternative<std::monostate>(*value) && Bool(column);
}

std::optional<std::string> GeneralSettings::Optional(std::string_view column) const {
  const DbValue* value = row_.Find(column);
  if (!value || std::holds_alternative<std::monostate>(*value)) return std::nullopt;
  return Text(column);
}

void GeneralSettings::Set(std::string_view column, DbValue value) {
  if (column == kRowidAlias || !row_.Find(column)) {
    throw ProcedureError(fmt::format("Column {} not found in General_Settings", column));
  }
  // Keep the row in step, so a reader after Set() sees the new value.
  for (std::size_t i = 0; i < row_.names->size(); ++i) {
    if ((*row_.names)[i] == column) row_.values[i] = value;
  }
  pending_.emplace_back(std::string(column), std::move(value));
}

std::vector<DbWrite> GeneralSettings::TakeWrites() {
  // Column names come from the row just read, never from outside; values are bound.
  std::vector<DbWrite> writes;
  for (auto& [column, value] : pending_) {
    writes.push_back(DbWrite{"General_Settings." + column,
                             fmt::format("UPDATE General_Settings SET \"{}\" = ? WHERE rowid = ?", column),
                             {std::move(value), rowid_}});
  }
  pending_.clear();
  return writes;
}

}  // namespace vantor
