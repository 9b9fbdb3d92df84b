#include "service/command_line.hpp"

#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "logging/app_event.hpp"

#include <ostream>

namespace vantor {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kProcedure = "Form_Load";

// The event log is written without its pause here: the process ends right after, and nothing
// else runs that the pause would serve.
void WriteEvent(const FormLoadContext& c, std::string_view text, int level) {
  AppEventLog log(*c.clock, c.programDir);
  log.WriteLine(kFormModule, kProcedure, text, level);
}

// Reading the settings row proves that the file is a database the service can use.
void CheckDatabase(const fs::path& file) {
  auto db = OpenDatabase(file);
  std::vector<DbRow> rows;
  auto status = db->Query("SELECT * FROM General_Settings LIMIT 1", {}, rows);
  if (!status) throw ProcedureError(status.error);
}

FormLoadResult Install(const FormLoadContext& c) {
  const fs::path& dir = c.programDir;
  std::error_code ec;
  fs::current_path(dir, ec);
  const fs::path database = dir / kDatabaseFileName;
  if (!fs::exists(database, ec)) {
    *c.err << "VantorWeb.mdb does not exits\n";
    return {false, 1};
  }
  try {
    CheckDatabase(database);
  } catch (const ProcedureError& e) {
    WriteEvent(c, e.what(), kLevelError);
    *c.err << DatabaseErrorText() << "\n";
    return {false, 1};
  }
  if (auto error = c.installer->Install(c.executable, dir); !error.empty()) {
    WriteEvent(c, error, kLevelError);
    // The reason follows: a directory owned by root needs the operator to create an account.
    *c.err << "Vantor Web Service Failed To Install\n" << error << "\n";
    return {false, 1};
  }
  WriteEvent(c, "Service Installed", kLevelInfo);
  if (c.commandLine != "-install_noMsg") *c.out << "Vantor Web Service Installed Successfully\n";
  return {false, 0};
}

FormLoadResult Uninstall(const FormLoadContext& c) {
  if (auto error = c.installer->Uninstall(); !error.empty()) {
    WriteEvent(c, error, kLevelError);
    *c.err << "Vantor Web Service Failed To Uninstall\n";
    return {false, 1};
  }
  WriteEvent(c, "Service Uninstalled", kLevelInfo);
  *c.out << "Vantor Web Service Uninstalled Successfully\n";
  return {false, 0};
}

}  // namespace

std::string DatabaseErrorText() {
  return "Error when accessing the Database.\n"
         "\n"
         "The Microsoft Data Access Components (MDAC) 2.5 or greater must be\n"
         "installed on the computer. The MDAC 2.5 could be found on:\n"
         "\n"
         "the package repository of your operating system\n"
         "\n"
         "or on the Vantor Web CD-ROM in the MDAC directory.";
}

Invocation ParseInvocation(int argc, char** argv, const fs::path& executable) {
  Invocation invocation{executable.parent_path(), {}, {}};
  bool first = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--dir") {
      if (++i == argc) return {{}, {}, "--dir needs a value"};
      // Absolute, because -install writes it into the unit.
      invocation.programDir = fs::absolute(argv[i]).lexically_normal();
      continue;
    }
    if (!first) invocation.commandLine += ' ';
    invocation.commandLine += word;
    first = false;
  }
  return invocation;
}

FormLoadResult Form_Load(const FormLoadContext& c) {
  if (c.anotherInstanceRunning) {
    *c.err << "The Vantor Web Service is already running\n";
    return {false, 1};
  }
  if (c.commandLine.compare(0, 8, "-install") == 0) return Install(c);
  if (c.commandLine == "-uninstall") return Uninstall(c);
  if (!c.commandLine.empty()) {
    *c.err << "Invalid command option: " << c.commandLine << "\n";
    return {false, 1};
  }
  return {true, 0};
}

}  // namespace vantor
