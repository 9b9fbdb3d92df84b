#pragma once
// The words of one command split into positional arguments, flags (--force) and options with a
// value (--host HOST), checked before the command touches anything.

#include "commands.hpp"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantor::console {

struct CommandWords {
  std::vector<std::string> positional;
  std::set<std::string> flags;
  std::map<std::string, std::string> options;

  bool Has(const std::string& flag) const { return flags.count(flag) != 0; }
  std::optional<std::string> Option(const std::string& name) const;
};

struct WordRules {
  std::string form;                      // the usage line, e.g. "customer remove CUSTID [--force]"
  std::size_t minPositional = 0;
  std::size_t maxPositional = 0;
  std::set<std::string> flags;           // e.g. {"--force"}
  std::set<std::string> valueOptions;    // e.g. {"--host", "--port", "--community"}
};

// Splits `words` by `rules`. On an unknown option, an option without its value or a wrong
// number of arguments, writes the problem (naming the word) and the form to c.err and returns
// nullopt; the command then exits with status 2.
std::optional<CommandWords> ParseCommandWords(const CommandContext& c, const std::vector<std::string>& words,
                                              const WordRules& rules);

// The options every SNMP command takes.
inline const std::set<std::string> kSnmpOptions{"--host", "--port", "--community"};
inline constexpr char kSnmpForm[] = "[--host HOST] [--port PORT] [--community COMMUNITY]";

}  // namespace vantor::console
