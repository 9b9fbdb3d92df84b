#pragma once

#include <stdexcept>
#include <string>

namespace vantor {

// A run-time failure inside a procedure (a database error, a missing or NULL setting, a number
// that does not fit its field). It is caught once, at the boundary of the procedure that raised
// it, which writes the level-1 application event carrying what().
class ProcedureError : public std::runtime_error {
 public:
  explicit ProcedureError(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace vantor
