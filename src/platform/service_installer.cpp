#include "platform/service_installer.hpp"

#include "platform/text_file.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vantor {
namespace fs = std::filesystem;

InstallerConfig InstallerConfig::FromEnvironment() {
  InstallerConfig config;
  if (const char* dir = std::getenv("VANTOR_UNIT_DIR"); dir && *dir) config.unitDir = dir;
  if (const char* cmd = std::getenv("VANTOR_SYSTEMCTL"); cmd && *cmd) config.systemctl = cmd;
  return config;
}

std::string MakeUnitFile(const fs::path& executable) {
  const fs::path dir = executable.parent_path();
  // systemd unit files use LF line ends. Paths are quoted for names with spaces.
  return fmt::format(
      "[Unit]\n"
      "Description=Vantor Web\n"
      "Wants=network-online.target\n"
      "After=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=\"{exe}\"\n"
      "WorkingDirectory={dir}\n"
      "Restart=on-failure\n"
      "RestartSec=5\n"
      "TimeoutStopSec=30\n"
      "# Hardening: the system is read-only except the program directory; the only extra\n"
      "# privilege is binding ports below 1024.\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ProtectHome=read-only\n"
      "ReadWritePaths=\"{dir}\"\n"
      "PrivateTmp=yes\n"
      "PrivateDevices=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "SystemCallArchitectures=native\n"
      "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_DAC_OVERRIDE CAP_FOWNER\n"
      "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      fmt::arg("exe", executable.string()), fmt::arg("dir", dir.string()));
}

std::string SystemdInstaller::Systemctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{config_.systemctl};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, cargv[0], nullptr, nullptr, cargv.data(), environ);
  if (rc != 0) return fmt::format("cannot run {}: {}", config_.systemctl, std::strerror(rc));
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return "cannot wait for " + config_.systemctl;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return fmt::format("{} {} failed", config_.systemctl, fmt::join(args, " "));
  }
  return {};
}

std::string SystemdInstaller::Install(const fs::path& executable) {
  std::error_code ec;
  if (!fs::is_directory(config_.unitDir, ec)) {
    return "unit folder " + config_.unitDir.string() + " does not exist";
  }
  const fs::path unit = config_.unitDir / kUnitName;
  const fs::path temp = config_.unitDir / (std::string(kUnitName) + ".tmp");
  if (!WriteText(temp, MakeUnitFile(executable))) return "cannot write " + temp.string();
  fs::rename(temp, unit, ec);
  if (ec) return "cannot write " + unit.string() + ": " + ec.message();
  if (auto error = Systemctl({"daemon-reload"}); !error.empty()) return error;
  return Systemctl({"enable", kUnitName});
}

std::string SystemdInstaller::Uninstall() {
  const fs::path unit = config_.unitDir / kUnitName;
  std::error_code ec;
  if (!fs::exists(unit, ec)) return "the service is not installed";
  if (auto error = Systemctl({"disable", kUnitName}); !error.empty()) return error;
  fs::remove(unit, ec);
  if (ec) return "cannot remove " + unit.string() + ": " + ec.message();
  return Systemctl({"daemon-reload"});
}

}  // namespace vantor
