// Prints the systemd unit for an executable, program directory and account, the same text that
// "VantorWebSrv --dir DIR -install" writes; the Debian package ships the output, so the two
// cannot differ.
// Usage: vantor-unit-file EXECUTABLE PROGRAM_DIR USER GROUP

#include "core/product.hpp"
#include "platform/host/service_installer.hpp"

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: vantor-unit-file EXECUTABLE PROGRAM_DIR USER GROUP\n";
    return 2;
  }
  std::cout << vantor::MakeUnitFile(vantor::kServiceUnitNames.description, argv[1], argv[2], {argv[3], argv[4]});
  return std::cout.good() ? 0 : 1;
}
