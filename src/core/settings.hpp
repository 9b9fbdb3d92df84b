#pragma once
// The single row of General_Settings, opened for one procedure. Readers look columns up by name;
// a missing column or a NULL value is an error (ProcedureError), because no setting has a default
// in the program, except the optional columns read with Optional().
//
// Load() runs on the calling thread and waits out a lock held by another program for the
// database's busy timeout; changes are written by the database writer. An object is used by one
// thread at a time.

#include "platform/db/database.hpp"
#include "platform/db/database_writer.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantor {

class GeneralSettings {
 public:
  // Opens the database file and reads the first settings row. Throws ProcedureError.
  static GeneralSettings Load(const std::filesystem::path& databaseFile);
  // Reads the first settings row through an open connection. Throws ProcedureError.
  static GeneralSettings Read(Database& db);

  std::string Text(std::string_view column) const;
  bool Bool(std::string_view column) const;  // 0 false, any other number true
  std::int16_t Int16(std::string_view column) const;
  std::int32_t Int32(std::string_view column) const;

  // A yes/no column where NULL counts as false; a missing column is still an error.
  bool BoolOrFalse(std::string_view column) const;

  // A yes/no column that may be absent from the table: absent or NULL counts as false.
  bool OptionalFlag(std::string_view column) const;

  // A text column that may be absent from the table or NULL.
  std::optional<std::string> Optional(std::string_view column) const;

  // Stages a new value (throws ProcedureError for an unknown column); TakeWrites() hands every
  // staged change over as one write per column, for the database writer.
  void Set(std::string_view column, DbValue value);
  std::vector<DbWrite> TakeWrites();

 private:
  GeneralSettings(DbRow row, std::int64_t rowid);
  const DbValue& Value(std::string_view column) const;
  std::int64_t Integer(std::string_view column, std::int64_t min, std::int64_t max) const;

  DbRow row_;
  std::int64_t rowid_;
  std::vector<std::pair<std::string, DbValue>> pending_;
};

// Opens the database or throws ProcedureError with the open failure's description.
std::unique_ptr<Database> OpenDatabase(const std::filesystem::path& databaseFile);

}  // namespace vantor
