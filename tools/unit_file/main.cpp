// Prints the systemd unit for an executable path and account, the same text that
// "VantorWebSrv -install" writes; the Debian package ships the output, so the two cannot differ.
// Usage: vantor-unit-file EXECUTABLE USER GROUP

#include "platform/service_installer.hpp"

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: vantor-unit-file EXECUTABLE USER GROUP\n";
    return 2;
  }
  std::cout << vantor::MakeUnitFile(argv[1], {argv[2], argv[3]});
  return std::cout.good() ? 0 : 1;
}
