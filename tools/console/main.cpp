// vantor-console: sets up and edits a program directory of the service, so that nobody has to
// edit the database by hand, and steers the running service over SNMP.

#include "commands.hpp"
#include "outcome.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>

namespace {

constexpr const char* kUsage =
    "usage: vantor-console [--dir PROGRAM_DIR] [--json] COMMAND ...\n"
    "  init [DIR]                           create a program directory and its database\n"
    "  customer add CUSTID COMPANY [--disabled]\n"
    "  customer list | enable CUSTID | disable CUSTID\n"
    "  customer remove CUSTID [--force]     refused while its agent is connected; --force\n"
    "                                       disconnects it first; the service then reloads\n"
    "  customer pin CUSTID [--secret-file FILE]  only an agent with the pass read from FILE or\n"
    "                                       stdin (not echoed on a terminal) is admitted; the service reloads\n"
    "  customer unpin CUSTID                the next agent's pass is pinned; the service reloads\n"
    "  settings show | set COLUMN VALUE     (VALUE --null clears a column)\n"
    "  settings set MailPassword|SnmpSetComm|MetricsToken [--secret-file FILE]  a secret, read from FILE or stdin\n"
    "commands to the running service over SNMP [--host HOST] [--port PORT] [--community COMMUNITY]:\n"
    "  status                               show the service's system group (version, uptime)\n"
    "  reload                               reload the customer table from the database\n"
    "  report                               write Debug/AgtConn.txt and Debug/MobConn.txt\n"
    "  disconnect-agent SLOT | disconnect-mobile SLOT\n"
    "  uninstall-agent SLOT | get-stat SLOT tell a connected agent to uninstall / report statistics\n"
    "  connections [--watch]                the connected agents and mobiles (--watch: every second)\n"
    "  (HOST, PORT and the read community default to SnmpIpAddr, SnmpPort and SnmpGetComm)\n"
    "  probe CUSTID [--secret-file FILE]    relay one request through the service as that customer's\n"
    "                                       agent and mobile (or through its connected agent), timed;\n"
    "                                       the pass is read from FILE or stdin\n"
    "PROGRAM_DIR: --dir anywhere on the line, else $VANTOR_DIR, else " VANTOR_DEFAULT_DIR ".\n"
    "Secrets are never taken from the command line, where every local user can read them.\n"
    "Exit status: 0 done, 1 nothing was done or it failed, 2 usage error.\n"
    "--json: one JSON object on stdout, {\"ok\":true|false,\"message\":\"...\", ...fields of the command};\n"
    "  connections --json gives {\"agents\":[...],\"mobiles\":[...]}, customer list {\"customers\":[...]}.\n";

// Removes `name` and the word after it from `words`; the value, or nullopt when absent.
std::optional<std::string> TakeOption(std::vector<std::string>& words, const std::string& name, bool& missing) {
  auto it = std::find(words.begin(), words.end(), name);
  if (it == words.end()) return std::nullopt;
  if (it + 1 == words.end()) {
    missing = true;
    return std::nullopt;
  }
  std::string value = *(it + 1);
  words.erase(it, it + 2);
  return value;
}

bool TakeFlag(std::vector<std::string>& words, const std::string& name) {
  auto it = std::find(words.begin(), words.end(), name);
  if (it == words.end()) return false;
  words.erase(it);
  return true;
}

// The default is the installed service's directory, so an operator on the machine needs no option.
std::filesystem::path ProgramDir(const std::optional<std::string>& option) {
  if (option) return *option;
  if (const char* env = std::getenv("VANTOR_DIR"); env && *env) return env;
  return VANTOR_DEFAULT_DIR;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor::console;
  // The database and folders it creates are the service's: not readable by other users.
  ::umask(0027);
  std::vector<std::string> words(argv + 1, argv + argc);
  // Help wins over everything else and touches nothing.
  if (std::find(words.begin(), words.end(), "--help") != words.end() || (!words.empty() && words[0] == "help")) {
    std::cout << kUsage;
    return kDone;
  }
  bool missing = false;
  const auto dirOption = TakeOption(words, "--dir", missing);
  if (missing) {
    std::cerr << "--dir needs a value\n" << kUsage;
    return kUsageError;
  }
  const bool json = TakeFlag(words, "--json");
  if (words.empty()) {
    std::cerr << "No command given\n" << kUsage;
    return kUsageError;
  }
  const std::map<std::string, int (*)(const CommandContext&)> commands{
      {"init", InitCommand},
      {"customer", CustomerCommand},
      {"settings", SettingsCommand},
      {"status", SnmpStatusCommand},
      {"reload", SnmpReloadCommand},
      {"report", SnmpReportCommand},
      {"disconnect-agent", DisconnectAgentCommand},
      {"disconnect-mobile", DisconnectMobileCommand},
      {"uninstall-agent", UninstallAgentCommand},
      {"get-stat", GetStatCommand},
      {"connections", ConnectionsCommand},
      {"probe", ProbeCommand}};
  auto it = commands.find(words[0]);
  if (it == commands.end()) {
    std::cerr << "Unknown command " << words[0] << "\n" << kUsage;
    return kUsageError;
  }
  CommandContext context{ProgramDir(dirOption), {words.begin() + 1, words.end()}, std::cout, std::cerr, json};
  return it->second(context);
}
