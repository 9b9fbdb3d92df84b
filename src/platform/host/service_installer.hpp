#pragma once
// Registers the service with systemd: a unit file for this executable and program directory,
// enabled at boot, running as the directory's owner (never as root).
// The caller names the unit and may replace the unit folder and the systemctl command (tests
// never touch the machine's real systemd).

#include <filesystem>
#include <string>
#include <vector>

namespace vantor {

// How the service is known to systemd; the program gives its own.
struct ServiceUnitNames {
  std::string unit;         // the unit file's name, "<name>.service"
  std::string description;  // the unit's Description=
  std::string account;      // the system user proposed for a program directory owned by root
};

struct InstallerConfig {
  ServiceUnitNames names;
  std::filesystem::path unitDir = "/etc/systemd/system";
  std::string systemctl = "systemctl";
};

class ServiceInstaller {
 public:
  virtual ~ServiceInstaller() = default;
  // Each returns an empty text on success, otherwise what went wrong (for a program directory
  // owned by root: how to give it a service account instead).
  virtual std::string Install(const std::filesystem::path& executable,
                              const std::filesystem::path& programDir) = 0;
  virtual std::string Uninstall() = 0;
};

class SystemdInstaller final : public ServiceInstaller {
 public:
  explicit SystemdInstaller(InstallerConfig config) : config_(std::move(config)) {}

  std::string Install(const std::filesystem::path& executable,
                      const std::filesystem::path& programDir) override;
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

// The owner and group of the program directory: the service runs as whoever owns its files.
// Returns an empty text on success; otherwise why there is no account to run as: the directory
// cannot be examined, its owner has no name, or it is owned by root (the text then tells how to
// create a system user named `proposedAccount` that owns it).
std::string ProgramDirectoryOwner(const std::filesystem::path& dir, const std::string& proposedAccount,
                                  ServiceAccount& account);

// The unit file's text, described as `description`: the executable runs with "--dir
// programDir", in that directory, which is the only path the service may write; "systemctl
// reload" sends it SIGHUP.
std::string MakeUnitFile(const std::string& description, const std::filesystem::path& executable,
                         const std::filesystem::path& programDir, const ServiceAccount& account);

}  // namespace vantor
