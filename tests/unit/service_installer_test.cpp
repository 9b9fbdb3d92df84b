// The self-install: the unit runs the service as the owner of its program directory.
#include "platform/service_installer.hpp"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantor {
namespace {
namespace fs = std::filesystem;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SystemdInstaller, UnitRunsAsProgramDirectoryOwnerAndUninstallRemovesIt) {
  const fs::path root = fs::temp_directory_path() / ("installer-" + std::to_string(::getpid()));
  fs::create_directories(root / "units");
  fs::create_directories(root / "program");
  SystemdInstaller installer({.unitDir = root / "units", .systemctl = "true"});

  ASSERT_EQ(installer.Install(root / "program" / "VantorWebSrv"), "");
  const std::string unit = ReadAll(root / "units" / kUnitName);
  const std::string user = ::getpwuid(::getuid())->pw_name;
  const std::string group = ::getgrgid(::getgid())->gr_name;
  EXPECT_NE(unit.find("\nUser=" + user + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nGroup=" + group + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nProtectHome=yes\n"), std::string::npos);

  // A program directory that is gone has no owner to run as: nothing is written.
  EXPECT_NE(installer.Install(root / "missing" / "VantorWebSrv"), "");
  ASSERT_EQ(installer.Uninstall(), "");
  EXPECT_FALSE(fs::exists(root / "units" / kUnitName));
  fs::remove_all(root);
}

TEST(UnitFile, OnlyTheProgramDirectoryIsWritableAndHomeStaysReachableForIt) {
  const std::string unit = MakeUnitFile("/home/ops/vantor/VantorWebSrv", {"ops", "staff"});
  for (const char* expected :
       {"User=ops\n", "Group=staff\n", "ReadWritePaths=\"/home/ops/vantor\"\n",
        "ProtectHome=read-only\n", "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n", "UMask=0027\n"}) {
    EXPECT_NE(unit.find(expected), std::string::npos) << expected;
  }
}

}  // namespace
}  // namespace vantor
