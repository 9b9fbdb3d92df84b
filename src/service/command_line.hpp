#pragma once
// The program's entry logic: one instance per program directory, then the command-line options.
// Message boxes are lines: information on `out`, errors on `err`.

#include "platform/clock.hpp"
#include "platform/service_installer.hpp"

#include <filesystem>
#include <iosfwd>
#include <string>

namespace vantor {

struct FormLoadResult {
  bool runService = false;  // no option: the caller runs the service
  int exitCode = 0;         // otherwise the process ends with this status
};

struct FormLoadContext {
  std::string commandLine;              // the options joined by single spaces
  std::filesystem::path executable;     // absolute path of this program
  bool anotherInstanceRunning = false;
  ServiceInstaller* installer = nullptr;
  Clock* clock = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
};

FormLoadResult Form_Load(const FormLoadContext& context);

// The text shown when the database cannot be read during install.
std::string DatabaseErrorText();

// The options as one command line, as the service manager would pass them.
std::string JoinCommandLine(int argc, char** argv);

}  // namespace vantor
