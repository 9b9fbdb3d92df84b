// The self-install: the unit runs the service as the owner of its program directory.
#include "core/product.hpp"
#include "platform/host/service_installer.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace vantor {
namespace {
namespace fs = std::filesystem;

TEST(SystemdInstaller, UnitRunsAsProgramDirectoryOwnerNeverRoot) {
  const fs::path root = fs::temp_directory_path() / ("installer-" + std::to_string(::getpid()));
  fs::create_directories(root / "units");
  fs::create_directories(root / "program");
  // Run as root, the test hands the directory to an account of its own, as an operator would.
  if (::getuid() == 0) {
    ASSERT_EQ(::chown((root / "program").c_str(), 65534, 65534), 0);
  }
  SystemdInstaller installer({.names = kServiceUnitNames, .unitDir = root / "units", .systemctl = "true"});

  // A directory owned by root (here "/") gets no unit, but the steps that give it an owner.
  const std::string refused = installer.Install("/usr/sbin/VantorWebSrv", "/");
  EXPECT_NE(refused.find("adduser --system --group --home \"/\" --no-create-home vantor"),
            std::string::npos) << refused;
  EXPECT_FALSE(fs::exists(root / "units" / kServiceUnitNames.unit));

  ASSERT_EQ(installer.Install("/usr/sbin/VantorWebSrv", root / "program"), "");
  const std::string unit = testing::ReadFile(root / "units" / kServiceUnitNames.unit);
  struct stat owner {};
  ASSERT_EQ(::stat((root / "program").c_str(), &owner), 0);
  for (const std::string& line : {"User=" + std::string(::getpwuid(owner.st_uid)->pw_name),
                                  "Group=" + std::string(::getgrgid(owner.st_gid)->gr_name),
                                  std::string("ProtectHome=yes")}) {
    EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << unit;
  }

  // A program directory that is gone has no owner to run as.
  EXPECT_NE(installer.Install(root / "missing" / "VantorWebSrv", root / "missing"), "");
  fs::remove_all(root);
}

// ExecStart, WorkingDirectory and Type are read back by the service's install integration test.
TEST(UnitFile, OnlyTheProgramDirectoryIsWritableAndHomeStaysReachableForIt) {
  const std::string unit = MakeUnitFile(kServiceUnitNames.description, "/home/ops/vantor/VantorWebSrv", "/home/ops/vantor", {"ops", "staff"});
  for (const char* expected :
       {"User=ops\n", "Group=staff\n", "ReadWritePaths=\"/home/ops/vantor\"\n", "ProtectHome=read-only\n",
        "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n", "AmbientCapabilities=CAP_NET_BIND_SERVICE\n",
        "UMask=0027\n", "ProtectSystem=strict\n", "ExecReload=/bin/kill -HUP $MAINPID\n",
        "After=network-online.target\n", "Restart=on-failure\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(expected), std::string::npos) << expected;
  }
}

}  // namespace
}  // namespace vantor
