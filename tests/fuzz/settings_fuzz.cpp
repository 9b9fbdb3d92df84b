// Puts arbitrary values (NULL, any integer, any double bit pattern, any bytes) into the settings
// row of an in-memory database with the service's schema, then reads columns (known ones and
// arbitrary names) with every typed reader and writes staged changes back. The operator writes
// these values, so the target looks for crashes and sanitizer reports; a reader may refuse a
// value only with ProcedureError, and the writes it stages must execute.
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "fuzz_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>

namespace {

using namespace vantor;
using fuzzing::Check;

DbValue TakeValue(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return std::monostate{};
    case 1: return in.ConsumeIntegral<std::int64_t>();
    case 2: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    default: return in.ConsumeRandomLengthString(40);
  }
}

template <typename Step>
void MayRefuse(Step step) {
  try {
    step();
  } catch (const ProcedureError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::vector<std::string> columns;
  static const std::unique_ptr<Database> db = [] {
    DbStatus status;
    auto db = Database::Open(":memory:", Database::Mode::kCreate, status);
    std::vector<DbRow> rows;
    Check(db && CreateSchema(*db) && db->Query("SELECT name FROM pragma_table_info('General_Settings')", {}, rows).ok);
    for (const auto& row : rows) columns.push_back(std::get<std::string>(row.values[0]));
    return db;
  }();
  FuzzedDataProvider in(data, size);
  auto column = [&] { return columns[in.ConsumeIntegralInRange<std::size_t>(0, columns.size() - 1)]; };
  Check(db->Execute("BEGIN").ok);  // every input starts from the schema's default row
  for (int i = in.ConsumeIntegralInRange(0, 12); i > 0; --i) {
    const std::string sql = "UPDATE General_Settings SET \"" + column() + "\" = ?";
    Check(db->Execute(sql, {TakeValue(in)}).ok);
  }
  auto settings = GeneralSettings::Read(*db);
  for (int i = in.ConsumeIntegralInRange(0, 8); i > 0; --i) {
    const std::string name = in.ConsumeBool() ? column() : in.ConsumeRandomLengthString(24);
    MayRefuse([&] { settings.Text(name); });
    MayRefuse([&] { settings.Int16(name); });
    MayRefuse([&] { settings.Int32(name); });
    MayRefuse([&] { settings.Bool(name); });
    MayRefuse([&] { settings.BoolOrFalse(name); });
    MayRefuse([&] { settings.OptionalFlag(name); });
    MayRefuse([&] { settings.Optional(name); });
    if (in.ConsumeBool()) MayRefuse([&] { settings.Set(name, TakeValue(in)); });
  }
  for (const auto& write : settings.TakeWrites()) Check(db->Execute(write.sql, write.params).ok);
  Check(db->Execute("ROLLBACK").ok);
  return 0;
}
