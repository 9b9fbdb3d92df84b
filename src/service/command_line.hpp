#pragma once
// The program's entry logic: one instance per program directory, then the command-line options.
// Message boxes are lines: information on `out`, errors on `err`.

#include "platform/host/clock.hpp"
#include "platform/host/service_installer.hpp"

#include <filesystem>
#include <iosfwd>
#include <string>

namespace vantor {

struct FormLoadResult {
  bool runService = false;  // no option: the caller runs the service
  int exitCode = 0;         // otherwise the process ends with this status
};

struct FormLoadContext {
  std::string commandLine;              // the options joined by single spaces, without --dir
  std::filesystem::path executable;     // absolute path of this program
  std::filesystem::path programDir;     // the database, logs and lock file are here
  bool anotherInstanceRunning = false;
  ServiceInstaller* installer = nullptr;
  Clock* clock = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
};

FormLoadResult Form_Load(const FormLoadContext& context);

// The text shown when the database cannot be read during install.
std::string DatabaseErrorText();

// The arguments, with "--dir DIR" (anywhere) taken out: the program directory and the remaining
// options joined by single spaces, as the service manager would pass them.
struct Invocation {
  std::filesystem::path programDir;  // DIR made absolute, else the executable's directory
  std::string commandLine;
  std::string error;                 // non-empty when --dir has no value; nothing else is set
};
Invocation ParseInvocation(int argc, char** argv, const std::filesystem::path& executable);

}  // namespace vantor
