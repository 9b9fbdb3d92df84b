#pragma once
// The names the product goes by where it shows itself to the outside: the Server header of its
// WebSocket answers, its systemd unit, the machine-wide certificate folder. The platform parts
// name no product; they are given these.

#include "platform/host/service_installer.hpp"
#include "platform/tls/certificate_manager.hpp"

#include <cstdlib>
#include <filesystem>

namespace vantor {

// The Server header of every HTTP answer of the WebSocket server.
inline constexpr const char* kProductName = "VantorWeb";

// The unit "-install" writes, and the account proposed for a program directory owned by root.
inline const ServiceUnitNames kServiceUnitNames{
    .unit = "vantor-web.service", .description = "Vantor Web", .account = "vantor"};

// The installer's settings for this product. VANTOR_UNIT_DIR and VANTOR_SYSTEMCTL, when set,
// replace the unit folder and the systemctl command, so tests never touch the machine's systemd.
inline InstallerConfig ProductInstallerConfig() {
  InstallerConfig config{.names = kServiceUnitNames};
  if (const char* dir = std::getenv("VANTOR_UNIT_DIR"); dir && *dir) config.unitDir = dir;
  if (const char* cmd = std::getenv("VANTOR_SYSTEMCTL"); cmd && *cmd) config.systemctl = cmd;
  return config;
}

// The certificate stores: the user stores below the program directory, the computer stores in
// one folder of the machine.
inline CertStoreRoots ProductCertStoreRoots(const std::filesystem::path& programDirectory) {
  return {programDirectory / "Cert", "/etc/vantor-web/cert"};
}

}  // namespace vantor
