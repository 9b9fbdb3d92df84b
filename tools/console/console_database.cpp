#include "commands.hpp"

#include "core/schema.hpp"

#include <ostream>

namespace vantor::console {

std::unique_ptr<Database> OpenProgramDatabase(const CommandContext& c) {
  DbStatus status;
  auto db = Database::Open(c.programDir / kDatabaseFileName, Database::Mode::kReadWrite, status);
  if (!db) c.err << status.error << "\n";
  return db;
}

}  // namespace vantor::console
