// Puts arbitrary values (NULL, any integer, any double bit pattern, any bytes) into the settings
// row of an in-memory database with the service's schema, then reads columns (known ones and
// arbitrary names) with every typed reader and writes staged changes back. Readers may refuse a
// value only with ProcedureError; the writes staged for known columns must execute. The operator
// writes these values, so the target looks for crashes and sanitizer reports, not for peers'
// inputs.
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "fuzz_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

namespace {

using namespace vantor;
using fuzzing::Check;

struct Fixture {
  std::unique_ptr<Database> db;
  std::vector<std::string> columns;
};

Fixture& Db() {
  static Fixture fixture = [] {
    Fixture f;
    DbStatus status;
    f.db = Database::Open(":memory:", Database::Mode::kCreate, status);
    Check(f.db && CreateSchema(*f.db));
    std::vector<DbRow> rows;
    Check(f.db->Query("SELECT name FROM pragma_table_info('General_Settings')", {}, rows).ok);
    for (const auto& row : rows) f.columns.push_back(std::get<std::string>(row.values[0]));
    return f;
  }();
  return fixture;
}

DbValue TakeValue(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return std::monostate{};
    case 1: return in.ConsumeIntegral<std::int64_t>();
    case 2: {
      const auto bits = in.ConsumeIntegral<std::uint64_t>();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    default: return in.ConsumeRandomLengthString(40);
  }
}

std::string TakeColumn(FuzzedDataProvider& in) {
  const auto& columns = Db().columns;
  return in.ConsumeBool() ? columns[in.ConsumeIntegralInRange<std::size_t>(0, columns.size() - 1)]
                          : in.ConsumeRandomLengthString(24);
}

template <typename Step>
void MayRefuse(Step step) {
  try {
    step();
  } catch (const ProcedureError&) {
  }
}

void RunInput(FuzzedDataProvider& in) {
  Fixture& f = Db();
  for (int i = in.ConsumeIntegralInRange(0, 12); i > 0; --i) {
    const auto& column = f.columns[in.ConsumeIntegralInRange<std::size_t>(0, f.columns.size() - 1)];
    Check(f.db->Execute("UPDATE General_Settings SET \"" + column + "\" = ?", {TakeValue(in)}).ok);
  }
  auto settings = GeneralSettings::Read(*f.db);
  for (int i = in.ConsumeIntegralInRange(0, 8); i > 0; --i) {
    const std::string column = TakeColumn(in);
    MayRefuse([&] { settings.Text(column); });
    MayRefuse([&] { settings.Int16(column); });
    MayRefuse([&] { settings.Int32(column); });
    MayRefuse([&] { settings.Bool(column); });
    MayRefuse([&] { settings.BoolOrFalse(column); });
    MayRefuse([&] { settings.OptionalFlag(column); });
    MayRefuse([&] { settings.Optional(column); });
    if (in.ConsumeBool()) MayRefuse([&] { settings.Set(column, TakeValue(in)); });
  }
  for (const auto& write : settings.TakeWrites()) Check(f.db->Execute(write.sql, write.params).ok);
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
