#include "platform/host/service_installer.hpp"

#include "platform/host/text_file.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <string_view>

extern char** environ;

namespace vantor {
namespace fs = std::filesystem;

std::string ProgramDirectoryOwner(const fs::path& dir, const std::string& proposedAccount, ServiceAccount& account) {
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) return "cannot find the owner of " + dir.string();
  // A unit running as root would hand a compromised service the whole machine.
  if (info.st_uid == 0) {
    return fmt::format(
        "{0} is owned by root, and the service does not run as root. Create a system user\n"
        "that owns the program directory, then install again:\n"
        "  adduser --system --group --home \"{0}\" --no-create-home {1}\n"
        "  chown -R {1}:{1} \"{0}\"",
        dir.string(), proposedAccount);
  }
  const passwd* user = ::getpwuid(info.st_uid);
  const group* grp = ::getgrgid(info.st_gid);
  if (user == nullptr || grp == nullptr) return "the owner of " + dir.string() + " has no name";
  account = {user->pw_name, grp->gr_name};
  return {};
}

namespace {

// ProtectHome=yes hides /home, /root and /run/user; a program directory below one of them
// would then be unreachable, so such a directory gets them read-only instead.
bool BelowHomeFolders(const fs::path& dir) {
  const std::string text = dir.lexically_normal().string();
  for (std::string_view home : {"/home/", "/root/", "/run/user/"}) {
    if (text.compare(0, home.size(), home) == 0) return true;
  }
  return false;
}

}  // namespace

std::string MakeUnitFile(const std::string& description, const fs::path& executable, const fs::path& dir,
                         const ServiceAccount& account) {
  // systemd unit files use LF line ends. Paths are quoted for names with spaces.
  return fmt::format(
      "[Unit]\n"
      "Description={description}\n"
      "Wants=network-online.target\n"
      "After=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=\"{exe}\" --dir \"{dir}\"\n"
      "# SIGHUP re-reads the customer table.\n"
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      "WorkingDirectory={dir}\n"
      "User={user}\n"
      "Group={group}\n"
      "Restart=on-failure\n"
      "RestartSec=5\n"
      "TimeoutStopSec=30\n"
      "UMask=0027\n"
      "# Hardening: the system is read-only except the program directory; the only privilege\n"
      "# is binding ports below 1024. The service needs TCP and UDP sockets, the notify\n"
      "# socket, /proc/self/exe and the files of its directory, nothing more.\n"
      "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
      "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ProtectHome={home}\n"
      "ReadWritePaths=\"{dir}\"\n"
      "PrivateTmp=yes\n"
      "PrivateDevices=yes\n"
      "PrivateMounts=yes\n"
      "DevicePolicy=closed\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "ProtectProc=invisible\n"
      "ProcSubset=pid\n"
      "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "RemoveIPC=yes\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "SystemCallArchitectures=native\n"
      "SystemCallFilter=@system-service\n"
      "SystemCallFilter=~@privileged @resources\n"
      "SystemCallErrorNumber=EPERM\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      fmt::arg("description", description), fmt::arg("exe", executable.string()), fmt::arg("dir", dir.string()),
      fmt::arg("user", account.user), fmt::arg("group", account.group),
      fmt::arg("home", BelowHomeFolders(dir) ? "read-only" : "yes"));
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

std::string SystemdInstaller::Install(const fs::path& executable, const fs::path& programDir) {
  std::error_code ec;
  if (!fs::is_directory(config_.unitDir, ec)) {
    return "unit folder " + config_.unitDir.string() + " does not exist";
  }
  ServiceAccount account;
  if (auto error = ProgramDirectoryOwner(programDir, config_.names.account, account); !error.empty()) return error;
  const fs::path unit = config_.unitDir / config_.names.unit;
  const fs::path temp = config_.unitDir / (config_.names.unit + ".tmp");
  if (!WriteText(temp, MakeUnitFile(config_.names.description, executable, programDir, account))) {
    return "cannot write " + temp.string();
  }
  fs::rename(temp, unit, ec);
  if (ec) return "cannot write " + unit.string() + ": " + ec.message();
  if (auto error = Systemctl({"daemon-reload"}); !error.empty()) return error;
  return Systemctl({"enable", config_.names.unit});
}

std::string SystemdInstaller::Uninstall() {
  const fs::path unit = config_.unitDir / config_.names.unit;
  std::error_code ec;
  if (!fs::exists(unit, ec)) return "the service is not installed";
  if (auto error = Systemctl({"disable", config_.names.unit}); !error.empty()) return error;
  fs::remove(unit, ec);
  if (ec) return "cannot remove " + unit.string() + ": " + ec.message();
  return Systemctl({"daemon-reload"});
}

}  // namespace vantor
