#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

using testing::RunToEnd;
using testing::TempProgramDir;
using testing::WriteFile;

// The text of the ProcedureError that `call` throws, or "" when it throws none.
template <typename Call>
std::string Failure(Call call) {
  try {
    call();
  } catch (const ProcedureError& e) {
    return e.what();
  }
  return "";
}

std::string LoadFailure(const std::filesystem::path& file) {
  return Failure([&] { GeneralSettings::Load(file); });
}

TEST(Settings, ReadsTypedValuesAndWritesBack) {
  TempProgramDir dir;
  dir.Sql("UPDATE General_Settings SET WsPort = 70000, TrapPort = 162, DebugMode = -1");
  auto settings = GeneralSettings::Load(dir.database());
  EXPECT_EQ(settings.Text("ProgVersion"), "1.0.0");
  EXPECT_TRUE(settings.Bool("DebugMode"));  // any non-zero value is true
  EXPECT_EQ(settings.Int32("WsPort"), 70000);
  EXPECT_EQ(settings.Int16("TrapPort"), 162);
  EXPECT_EQ(settings.Optional("PushApiUrl"), std::nullopt);

  settings.Set("WsStatus", std::string("a'b\"; DROP TABLE Customer; --"));
  settings.Set("WsPort", std::int64_t{8081});
  asio::io_context io;
  DatabaseWriter writer(io, dir.database(), {});
  for (auto& write : settings.TakeWrites()) writer.Submit(std::move(write));
  EXPECT_TRUE(settings.TakeWrites().empty());  // handed over once
  bool idle = false;
  RunToEnd(io, [&]() -> asio::awaitable<void> { idle = co_await writer.WhenIdle(std::chrono::seconds(10)); }());
  ASSERT_TRUE(idle);
  EXPECT_EQ(std::get<std::string>(dir.SettingValue("WsStatus")), "a'b\"; DROP TABLE Customer; --");
  EXPECT_EQ(std::get<std::int64_t>(dir.SettingValue("WsPort")), 8081);
  dir.Sql("SELECT count(*) FROM Customer");  // the table is still there
}

TEST(Settings, MissingNullOverflowAndTypeMismatchAreErrors) {
  TempProgramDir dir;
  dir.Sql("UPDATE General_Settings SET DebugMode = NULL, TrapPort = 40000, SnmpPort = 'abc'");
  dir.Sql("ALTER TABLE General_Settings DROP COLUMN TrapComm");
  dir.Sql("ALTER TABLE General_Settings DROP COLUMN PushApiUrl");
  auto settings = GeneralSettings::Load(dir.database());
  // A NULL flag fails the start: test_service_lifecycle.py reads its text.
  EXPECT_NE(Failure([&] { settings.Bool("DebugMode"); }), "");
  EXPECT_EQ(Failure([&] { settings.Text("TrapComm"); }), "Column TrapComm not found in General_Settings");
  EXPECT_EQ(Failure([&] { settings.Int16("TrapPort"); }), "Overflow (General_Settings.TrapPort = 40000)");
  EXPECT_EQ(Failure([&] { settings.Int32("SnmpPort"); }), "Type mismatch (General_Settings.SnmpPort = 'abc')");
  // Optional columns may be absent altogether.
  EXPECT_EQ(settings.Optional("PushApiUrl"), std::nullopt);
  EXPECT_NE(Failure([&] { settings.Set("NoSuchColumn", std::int64_t{1}); }), "");
}

TEST(Settings, UnusableDatabaseFilesGivePlainErrors) {
  // A missing file is the --check integration test's; here files that are there but unusable.
  TempProgramDir dir(false);
  WriteFile(dir.database(), std::string("Standard Jet DB\0\0\0 legacy file", 30) + std::string(4096, 'j'));
  EXPECT_NE(LoadFailure(dir.database()).find("is not an SQLite database"), std::string::npos);

  std::filesystem::remove(dir.database());
  dir.CreateDatabase();
  dir.Sql("DELETE FROM General_Settings");
  EXPECT_EQ(LoadFailure(dir.database()), "The table General_Settings has no row");
}

}  // namespace
}  // namespace vantor
