#include "commands.hpp"

#include "core/schema.hpp"
#include "platform/database.hpp"

#include <ostream>

namespace vantor::console {
namespace fs = std::filesystem;

int InitCommand(const CommandContext& c) {
  const fs::path dir = c.args.empty() ? c.programDir : fs::path(c.args[0]);
  const fs::path database = dir / kDatabaseFileName;
  std::error_code ec;
  if (fs::exists(database, ec)) {
    c.err << database.string() << " already exists; nothing was changed\n";
    return 1;
  }
  for (const char* folder : {"", "Debug", "Log", "KeepAlive", "Backup"}) {
    fs::create_directories(dir / folder, ec);
    if (ec) {
      c.err << "Cannot create " << (dir / folder).string() << ": " << ec.message() << "\n";
      return 1;
    }
  }
  DbStatus status;
  auto db = Database::Open(database, Database::Mode::kCreate, status);
  if (db) status = CreateSchema(*db);
  if (!status) {
    db.reset();
    fs::remove(database, ec);  // never leave a half-made database behind
    c.err << status.error << "\n";
    return 1;
  }
  c.out << "Created " << database.string()
        << " with default settings (listeners on 127.0.0.1, debug off)\n";
  return 0;
}

}  // namespace vantor::console
