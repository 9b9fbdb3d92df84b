#include "fakes/fake_clock.hpp"
#include "service/command_line.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace vantor {
namespace {

using testing::FakeClock;
using testing::LocalTimePoint;
using testing::ReadFile;
using testing::TempProgramDir;

class FakeInstaller final : public ServiceInstaller {
 public:
  std::string Install(const std::filesystem::path& executable) override {
    calls.push_back("install " + executable.filename().string());
    return installError;
  }
  std::string Uninstall() override {
    calls.push_back("uninstall");
    return uninstallError;
  }
  std::vector<std::string> calls;
  std::string installError, uninstallError;
};

struct Outcome {
  FormLoadResult result;
  std::string out, err;
};

class FormLoadTest : public ::testing::Test {
 protected:
  Outcome Load(const std::string& commandLine, bool anotherInstance = false) {
    std::ostringstream out, err;
    FormLoadContext context{commandLine, dir_.path() / "VantorWebSrv", anotherInstance,
                            &installer_, &clock_, &out, &err};
    auto result = Form_Load(context);
    return {result, out.str(), err.str()};
  }
  std::string Events() { return ReadFile(dir_.path() / "Debug" / "AppEvent.txt"); }

  TempProgramDir dir_;
  FakeClock clock_{LocalTimePoint(2026, 2, 3, 4, 5, 6)};
  FakeInstaller installer_;
};

TEST_F(FormLoadTest, InstallVariants) {
  auto plain = Load("-install");
  EXPECT_EQ(plain.result.exitCode, 0);
  EXPECT_FALSE(plain.result.runService);
  EXPECT_EQ(plain.out, "Vantor Web Service Installed Successfully\n");

  auto quiet = Load("-install_noMsg");
  EXPECT_EQ(quiet.result.exitCode, 0);
  EXPECT_EQ(quiet.out, "");

  auto other = Load("-installXYZ now");  // the first 8 characters decide
  EXPECT_EQ(other.out, "Vantor Web Service Installed Successfully\n");

  EXPECT_EQ(installer_.calls, (std::vector<std::string>(3, "install VantorWebSrv")));
  const std::string line = "2026-02-03 04:05:06\t3\tfrmVantorWebSrv_Form_Load\tService Installed\r\n";
  EXPECT_EQ(Events(), line + line + line);
}

TEST_F(FormLoadTest, InstallFailures) {
  installer_.installError = "systemctl enable failed";
  auto failed = Load("-install");
  EXPECT_EQ(failed.result.exitCode, 1);
  EXPECT_EQ(failed.err, "Vantor Web Service Failed To Install\n");
  EXPECT_EQ(Events(),
            "2026-02-03 04:05:06\t1\tfrmVantorWebSrv_Form_Load\tsystemctl enable failed\r\n");

  // A database the service could not read is refused before anything is registered.
  dir_.Sql("DROP TABLE General_Settings");
  installer_.calls.clear();
  auto unreadable = Load("-install");
  EXPECT_EQ(unreadable.result.exitCode, 1);
  EXPECT_EQ(unreadable.err, DatabaseErrorText() + "\n");
  EXPECT_EQ(std::count(unreadable.err.begin(), unreadable.err.end(), '\n'), 8);
  EXPECT_TRUE(installer_.calls.empty());

  std::filesystem::remove(dir_.database());
  auto missing = Load("-install_noMsg");
  EXPECT_EQ(missing.err, "VantorWeb.mdb does not exits\n");
  EXPECT_EQ(missing.result.exitCode, 1);
  EXPECT_TRUE(installer_.calls.empty());
}

TEST_F(FormLoadTest, UninstallAndOtherOptions) {
  auto ok = Load("-uninstall");
  EXPECT_EQ(ok.out, "Vantor Web Service Uninstalled Successfully\n");
  EXPECT_EQ(ok.result.exitCode, 0);
  EXPECT_EQ(Events(), "2026-02-03 04:05:06\t3\tfrmVantorWebSrv_Form_Load\tService Uninstalled\r\n");

  installer_.uninstallError = "the service is not installed";
  auto failed = Load("-uninstall");
  EXPECT_EQ(failed.err, "Vantor Web Service Failed To Uninstall\n");
  EXPECT_EQ(failed.result.exitCode, 1);

  for (const char* line : {"-uninstall now", "-Install", "--help", "x"}) {
    auto invalid = Load(line);
    EXPECT_EQ(invalid.err, "Invalid command option\n") << line;
    EXPECT_EQ(invalid.result.exitCode, 1) << line;
    EXPECT_FALSE(invalid.result.runService);
  }
  EXPECT_EQ(installer_.calls, (std::vector<std::string>{"uninstall", "uninstall"}));

  auto service = Load("");
  EXPECT_TRUE(service.result.runService);
}

TEST_F(FormLoadTest, SecondInstanceIsRefusedWhateverItsOptions) {
  for (const char* line : {"", "-install", "-uninstall", "bogus"}) {
    auto outcome = Load(line, true);
    EXPECT_EQ(outcome.err, "The Vantor Web Service is already running\n") << line;
    EXPECT_EQ(outcome.result.exitCode, 1);
    EXPECT_FALSE(outcome.result.runService);
  }
  EXPECT_TRUE(installer_.calls.empty());
}

TEST(UnitFile, NotifyTypeProgramDirectoryAndHardening) {
  const std::string unit = MakeUnitFile("/opt/vantor web/VantorWebSrv");
  for (const char* expected :
       {"Type=notify\n", "ExecStart=\"/opt/vantor web/VantorWebSrv\"\n",
        "WorkingDirectory=/opt/vantor web\n", "After=network-online.target\n",
        "Restart=on-failure\n", "ReadWritePaths=\"/opt/vantor web\"\n", "ProtectSystem=strict\n",
        "AmbientCapabilities=CAP_NET_BIND_SERVICE\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(expected), std::string::npos) << expected;
  }
}

}  // namespace
}  // namespace vantor
