// vantor-console: sets up and edits a program directory of the service, so that nobody has to
// edit the database by hand.

#include "commands.hpp"

#include <algorithm>
#include <iostream>
#include <map>

namespace {

constexpr const char* kUsage =
    "usage: vantor-console [--dir PROGRAM_DIR] COMMAND ...\n"
    "  init [DIR]                           create a program directory and its database\n"
    "  customer add CUSTID COMPANY [--disabled]\n"
    "  customer list | enable CUSTID | disable CUSTID\n"
    "  settings show | set COLUMN VALUE     (VALUE --null clears a column)\n"
    "commands to the running service over SNMP [--host HOST] [--port PORT] [--community COMMUNITY]:\n"
    "  status                               show the service's system group (version, uptime)\n"
    "  reload                               reload the customer table from the database\n"
    "  report                               write Debug/AgtConn.txt and Debug/MobConn.txt\n"
    "  disconnect-agent SLOT | disconnect-mobile SLOT\n"
    "  uninstall-agent SLOT | get-stat SLOT tell a connected agent to uninstall / report statistics\n"
    "  (HOST, PORT and the read community default to SnmpIpAddr, SnmpPort and SnmpGetComm)\n"
    "PROGRAM_DIR defaults to the current directory.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor::console;
  std::vector<std::string> words(argv + 1, argv + argc);
  std::filesystem::path dir = std::filesystem::current_path();
  if (words.size() >= 2 && words[0] == "--dir") {
    dir = words[1];
    words.erase(words.begin(), words.begin() + 2);
  }
  bool json = false;
  if (auto it = std::find(words.begin(), words.end(), "--json"); it != words.end()) {
    json = true;
    words.erase(it);
  }
  if (words.empty()) {
    std::cerr << kUsage;
    return 2;
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
      {"get-stat", GetStatCommand}};
  auto it = commands.find(words[0]);
  if (it == commands.end()) {
    std::cerr << kUsage;
    return 2;
  }
  CommandContext context{dir, {words.begin() + 1, words.end()}, std::cout, std::cerr, json};
  return it->second(context);
}
