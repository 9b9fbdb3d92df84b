#include "arguments.hpp"
#include "commands.hpp"
#include "outcome.hpp"

#include "core/schema.hpp"
#include "platform/db/database.hpp"

namespace vantor::console {
namespace fs = std::filesystem;

int InitCommand(const CommandContext& c) {
  auto words = ParseCommandWords(c, c.args, {"init [DIR]", 0, 1, {}, {}});
  if (!words) return kUsageError;
  const fs::path dir = words->positional.empty() ? c.programDir : fs::path(words->positional[0]);
  const fs::path database = dir / kDatabaseFileName;
  JsonFields fields;
  fields.Add("database", database.string());
  std::error_code ec;
  if (fs::exists(database, ec)) return NotDone(c, database.string() + " already exists; nothing was changed", fields);
  for (const char* folder : {"", "Debug", "Log", "KeepAlive", "Backup"}) {
    fs::create_directories(dir / folder, ec);
    if (ec) return NotDone(c, "Cannot create " + (dir / folder).string() + ": " + ec.message(), fields);
  }
  DbStatus status;
  auto db = Database::Open(database, Database::Mode::kCreate, status);
  if (db) status = CreateSchema(*db);
  // The database will hold the mail password: owner and group only. SQLite gives its journals
  // the same mode.
  if (status) {
    fs::permissions(database, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, ec);
    if (ec) status = DbStatus::Failure("Cannot restrict the mode of " + database.string() + ": " + ec.message());
  }
  if (!status) {
    db.reset();
    fs::remove(database, ec);  // never leave a half-made database behind
    return NotDone(c, status.error, fields);
  }
  return Done(c, "Created " + database.string() + " with default settings (listeners on 127.0.0.1, debug off)",
              fields);
}

}  // namespace vantor::console
