// VantorWebSrv: with no option, runs the service in the foreground under the service manager;
// "-install", "-install_noMsg" and "-uninstall" register or remove the systemd unit;
// "--help", "--version" and "--check" inform and change nothing. "--dir DIR" names the program
// directory; without it, the executable's directory is.

#include "core/product.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/instance_lock.hpp"
#include "platform/host/service_installer.hpp"
#include "service/command_line.hpp"
#include "service/query_options.hpp"
#include "service/service_runner.hpp"

#include <boost/asio/io_context.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <iostream>

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  // Logs, traces, the database and its backups hold customers' data and the mail password:
  // whoever starts the service, nothing it creates is readable by other users (files 0640,
  // folders 0750 at most).
  ::umask(0027);
  std::error_code ec;
  const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    std::cerr << "Cannot find the program's own path: " << ec.message() << "\n";
    return 1;
  }
  const auto invocation = vantor::ParseInvocation(argc, argv, executable);
  if (!invocation.error.empty()) {
    std::cerr << invocation.error << "\n";
    return 1;
  }
  const fs::path& programDir = invocation.programDir;
  const std::string& commandLine = invocation.commandLine;
  // Before the lock: informing options create no file, not even the lock file.
  if (auto code = vantor::AnswerQueryOption(commandLine, programDir, std::cout, std::cerr)) return *code;

  vantor::InstanceLock lock(programDir / "VantorWebSrv.lock");
  if (lock.result() == vantor::InstanceLock::Result::kError) {
    std::cerr << "Cannot lock " << (programDir / "VantorWebSrv.lock").string()
              << ": the program directory must be writable\n";
    return 1;
  }

  boost::asio::io_context io;
  vantor::RealClock clock(io);
  vantor::SystemdInstaller installer(vantor::ProductInstallerConfig());
  vantor::FormLoadContext context{
      .commandLine = commandLine,
      .executable = executable,
      .programDir = programDir,
      .anotherInstanceRunning = lock.result() == vantor::InstanceLock::Result::kHeldByAnother,
      .installer = &installer,
      .clock = &clock,
      .out = &std::cout,
      .err = &std::cerr,
  };
  const auto result = vantor::Form_Load(context);
  if (!result.runService) return result.exitCode;
  return vantor::RunService(programDir);
}
