#pragma once
// The one definition of the database's tables and of the safe settings a new program directory
// starts with.

#include "platform/db/database.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vantor {

inline constexpr const char* kDatabaseFileName = "VantorWeb.mdb";

// Creates General_Settings (with one row of safe defaults) and Customer in an empty database.
DbStatus CreateSchema(Database& db);

// The declared type ("TEXT", "INTEGER") of an optional General_Settings column, which a database
// made before the column existed lacks; nullopt for any other name.
std::optional<std::string> OptionalSettingType(std::string_view column);

}  // namespace vantor
