// Puts arbitrary values (NULL, any integer, any double bit pattern, any bytes) into the settings
// row of an in-memory database with the service's schema, reads the row as every procedure does,
// and reads columns (known ones and arbitrary names) with every typed reader. Checks, besides
// sanitizer reports, that a reader that succeeds returns the stored value in its range and fails
// with ProcedureError otherwise, and that staged changes, once written, are what a new read sees.
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "fuzz_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

using namespace vantor;
using fuzzing::Check;

struct Fixture {
  std::unique_ptr<Database> db;
  std::vector<std::string> columns;
  std::map<std::string, std::string, std::less<>> declared;  // column -> declared type
};

Fixture& Db() {
  static Fixture fixture = [] {
    Fixture f;
    DbStatus status;
    f.db = Database::Open(":memory:", Database::Mode::kCreate, status);
    Check(f.db && CreateSchema(*f.db));
    std::vector<DbRow> rows;
    Check(f.db->Query("SELECT name, type FROM pragma_table_info('General_Settings')", {}, rows).ok);
    for (const auto& row : rows) {
      f.columns.push_back(std::get<std::string>(row.values[0]));
      f.declared[f.columns.back()] = std::get<std::string>(row.values[1]);
    }
    return f;
  }();
  return fixture;
}

DbValue TakeValue(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: return std::monostate{};
    case 1: return in.ConsumeIntegral<std::int64_t>();
    case 2: return in.ConsumeIntegralInRange<std::int64_t>(-70000, 70000);
    case 3: {
      const auto bits = in.ConsumeIntegral<std::uint64_t>();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    default: return in.ConsumeRandomLengthString(40);
  }
}

// The first row as stored, read apart from the settings object; empty when there is none.
std::optional<DbRow> StoredRow() {
  std::vector<DbRow> rows;
  Check(Db().db->Query("SELECT * FROM General_Settings ORDER BY rowid LIMIT 1", {}, rows).ok);
  if (rows.empty()) return std::nullopt;
  return std::move(rows[0]);
}

// The whole number a value stands for, when it is one: an integer, or a text of exactly one.
std::optional<std::int64_t> WholeValue(const DbValue& value) {
  if (auto* i = std::get_if<std::int64_t>(&value)) return *i;
  if (auto* text = std::get_if<std::string>(&value)) {
    std::int64_t n = 0;
    const char* end = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), end, n);
    if (ec == std::errc() && ptr == end) return n;
  }
  return std::nullopt;
}

template <typename Read>
auto Try(Read read) -> std::optional<decltype(read())> {
  try {
    return read();
  } catch (const ProcedureError&) {
    return std::nullopt;
  }
}

// Every reader on one column whose stored value is `value` (nothing: the row has no such column).
void CheckReaders(const GeneralSettings& s, const std::string& column, const std::optional<DbValue>& value) {
  const bool present = value.has_value();
  const bool null = present && std::holds_alternative<std::monostate>(*value);
  const auto whole = present ? WholeValue(*value) : std::nullopt;

  const auto text = Try([&] { return s.Text(column); });
  Check(text.has_value() == (present && !null));
  if (text && std::holds_alternative<std::string>(*value)) Check(*text == std::get<std::string>(*value));
  if (text && std::holds_alternative<std::int64_t>(*value)) Check(*text == std::to_string(*whole));

  const auto i16 = Try([&] { return s.Int16(column); });
  Check(i16.has_value() == (whole && *whole >= INT16_MIN && *whole <= INT16_MAX));
  if (i16) Check(*i16 == *whole);
  const auto i32 = Try([&] { return s.Int32(column); });
  Check(i32.has_value() == (whole && *whole >= INT32_MIN && *whole <= INT32_MAX));
  if (i32) Check(*i32 == *whole);
  const auto flag = Try([&] { return s.Bool(column); });
  Check(flag.has_value() == whole.has_value());
  if (flag) Check(*flag == (*whole != 0));
  const auto flagOrFalse = Try([&] { return s.BoolOrFalse(column); });
  Check(flagOrFalse.has_value() == (null || whole.has_value()));
  if (flagOrFalse) Check(*flagOrFalse == (!null && *whole != 0));

  const auto optional = s.Optional(column);
  Check(optional.has_value() == (present && !null));
  if (optional) Check(*optional == *text);
}

void RunInput(FuzzedDataProvider& in) {
  Fixture& f = Db();
  // Each statement writes one column of the row, removes the row or adds another one.
  const int statements = in.ConsumeIntegralInRange(0, 12);
  std::vector<std::string> touched;
  for (int i = 0; i < statements; ++i) {
    const int op = in.ConsumeIntegralInRange(0, 15);
    if (op == 0) {
      Check(f.db->Execute("DELETE FROM General_Settings").ok);
    } else if (op == 1) {
      Check(f.db->Execute("INSERT INTO General_Settings (ProgVersion) VALUES (?)", {TakeValue(in)}).ok);
    } else {
      const std::string& column = f.columns[in.ConsumeIntegralInRange<std::size_t>(0, f.columns.size() - 1)];
      Check(f.db->Execute("UPDATE General_Settings SET \"" + column + "\" = ?", {TakeValue(in)}).ok);
      touched.push_back(column);
    }
  }
  std::optional<GeneralSettings> settings;
  try {
    settings = GeneralSettings::Read(*f.db);
  } catch (const ProcedureError&) {
    Check(!StoredRow().has_value());  // only a missing row may fail the read
    return;
  }
  const auto row = StoredRow();
  Check(row.has_value());
  // The columns written, and one more (a failing reader costs an exception, so not all of them).
  touched.push_back(f.columns[in.ConsumeIntegralInRange<std::size_t>(0, f.columns.size() - 1)]);
  for (const auto& column : touched) CheckReaders(*settings, column, *row->Find(column));
  const std::string unknown = in.ConsumeRandomLengthString(24);
  // vantor_rowid is the row's own first column, not a setting.
  if (!f.declared.contains(unknown) && unknown != "vantor_rowid") CheckReaders(*settings, unknown, std::nullopt);

  // Staged changes: the object sees them at once, the database once they are written.
  std::map<std::string, DbValue> staged;
  const int changes = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < changes; ++i) {
    const std::string column = in.ConsumeBool() ? f.columns[in.ConsumeIntegralInRange<std::size_t>(0, f.columns.size() - 1)]
                                                : in.ConsumeRandomLengthString(24);
    if (column == "vantor_rowid") continue;
    DbValue value = TakeValue(in);
    const bool known = f.declared.contains(column);
    const bool staging = Try([&] {
                           settings->Set(column, value);
                           return true;
                         }).has_value();
    Check(staging == known);
    if (!known) continue;
    CheckReaders(*settings, column, value);
    staged[column] = value;
  }
  const auto writes = settings->TakeWrites();
  Check(settings->TakeWrites().empty());
  for (const auto& write : writes) Check(f.db->Execute(write.sql, write.params).ok);
  const auto after = StoredRow();
  for (const auto& [column, value] : staged) {
    const DbValue* stored = after->Find(column);
    Check(stored != nullptr);
    // Exact where the column's type keeps the value as it was bound (SQLite stores NaN as NULL).
    const std::string& type = f.declared.at(column);
    if (std::holds_alternative<std::string>(value) && type == "TEXT") Check(*stored == value);
    if (std::holds_alternative<std::int64_t>(value) && type == "INTEGER") Check(*stored == value);
    if (std::holds_alternative<std::monostate>(value)) Check(std::holds_alternative<std::monostate>(*stored));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Fixture& f = Db();
  // Every input starts from the schema's default row.
  Check(f.db->Execute("BEGIN").ok);
  RunInput(in);
  Check(f.db->Execute("ROLLBACK").ok);
  return 0;
}
