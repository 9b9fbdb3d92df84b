#pragma once
// Registers the service with systemd: a unit file for this executable, enabled at boot.
// The unit folder and the systemctl command can be replaced through the environment
// (VANTOR_UNIT_DIR, VANTOR_SYSTEMCTL), so tests never touch the machine's real systemd.

#include <filesystem>
#include <string>
#include <vector>

namespace vantor {

inline constexpr const char* kUnitName = "vantor-web.service";

struct InstallerConfig {
  std::filesystem::path unitDir = "/etc/systemd/system";
  std::string systemctl = "systemctl";

  // Defaults overridden by VANTOR_UNIT_DIR and VANTOR_SYSTEMCTL when they are set.
  static InstallerConfig FromEnvironment();
};

class ServiceInstaller {
 public:
  virtual ~ServiceInstaller() = default;
  // Each returns an empty text on success, otherwise what went wrong.
  virtual std::string Install(const std::filesystem::path& executable) = 0;
  virtual std::string Uninstall() = 0;
};

class SystemdInstaller final : public ServiceInstaller {
 public:
  explicit SystemdInstaller(InstallerConfig config) : config_(std::move(config)) {}

  std::string Install(const std::filesystem::path& executable) override;
  std::string Uninstall() override;

 private:
  std::string Systemctl(const std::vector<std::string>& args) const;
  InstallerConfig config_;
};

// The account the service runs as.
struct ServiceAccount {
  std::string user;
  std::string group;
};

// The owner and group of the program directory: the service runs as whoever owns its files, so
// a directory owned by a service account gives that account and one owned by root gives root.
// Returns false when the directory cannot be examined or its owner has no name.
bool ProgramDirectoryOwner(const std::filesystem::path& dir, ServiceAccount& account);

// The unit file's text for an executable; the program directory is the executable's folder,
// and the only path the service may write.
std::string MakeUnitFile(const std::filesystem::path& executable, const ServiceAccount& account);

}  // namespace vantor
