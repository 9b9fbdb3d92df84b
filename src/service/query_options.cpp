#include "service/query_options.hpp"

#include "core/schema.hpp"
#include "core/settings_check.hpp"
#include "platform/db/database.hpp"

#include <ostream>

namespace vantor {
namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: VantorWebSrv [--dir DIR] [OPTION]\n"
    "  --dir DIR        the program directory (default: the directory of this executable)\n"
    "  (no option)      run as the service in the program directory\n"
    "  -install         register and enable the service, then say so\n"
    "  -install_noMsg   register and enable the service silently\n"
    "  -uninstall       disable and remove the service\n"
    "  --check          validate the settings in VantorWeb.mdb without changing any file\n"
    "  --version        print the program's version\n"
    "  --help           print this text\n";

int CheckProgramSettings(const fs::path& programDir, std::ostream& out, std::ostream& err) {
  DbStatus status;
  auto db = Database::Open(programDir / kDatabaseFileName, Database::Mode::kReadOnly, status);
  std::vector<DbRow> rows;
  if (db) status = db->Query("SELECT * FROM General_Settings ORDER BY rowid LIMIT 1", {}, rows);
  if (status && rows.empty()) status = DbStatus::Failure("General_Settings has no row");
  SettingsEnvironment environment;
  if (status) status = ReadSettingsEnvironment(*db, programDir, environment);
  if (!status) {
    err << status.error << "\n";
    return 2;
  }
  const auto problems = CheckSettings(rows.front(), environment);
  for (const auto& problem : problems) out << DescribeProblem(problem) << "\n";
  // Warnings name settings the service can use as they are; they do not fail the check.
  for (const auto& warning : CheckSettingWarnings(rows.front())) out << "warning: " << DescribeProblem(warning) << "\n";
  if (problems.empty()) out << "Settings OK\n";
  return problems.empty() ? 0 : 1;
}

}  // namespace

std::string ProgramVersion() { return VANTOR_VERSION; }

std::optional<int> AnswerQueryOption(const std::string& commandLine, const fs::path& programDir,
                                     std::ostream& out, std::ostream& err) {
  if (commandLine == "--help") {
    out << kUsage;
    return 0;
  }
  if (commandLine == "--version") {
    out << "VantorWebSrv " << ProgramVersion() << "\n";
    return 0;
  }
  if (commandLine == "--check") return CheckProgramSettings(programDir, out, err);
  return std::nullopt;
}

}  // namespace vantor
