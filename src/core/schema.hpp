#pragma once
// The one definition of the database's tables and of the safe settings a new program directory
// starts with.

#include "platform/database.hpp"

namespace vantor {

inline constexpr const char* kDatabaseFileName = "VantorWeb.mdb";

// Creates General_Settings (with one row of safe defaults) and Customer in an empty database.
DbStatus CreateSchema(Database& db);

}  // namespace vantor
