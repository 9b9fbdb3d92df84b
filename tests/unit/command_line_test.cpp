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
  std::string Install(const std::filesystem::path& executable, const std::filesystem::path& programDir) override {
    calls.push_back("install " + executable.filename().string());
    installedDir = programDir;
    return installError;
  }
  std::string Uninstall() override {
    calls.push_back("uninstall");
    return uninstallError;
  }
  std::vector<std::string> calls;
  std::filesystem::path installedDir;
  std::string installError, uninstallError;
};

struct Outcome {
  FormLoadResult result;
  std::string out, err;
};

class FormLoadTest : public ::testing::Test {
 protected:
  Outcome Load(const std::string& commandLine) {
    std::ostringstream out, err;
    // The executable lives elsewhere: only the program directory holds the database and logs.
    FormLoadContext context{commandLine, "/usr/sbin/VantorWebSrv", dir_.path(), false,
                            &installer_, &clock_, &out, &err};
    auto result = Form_Load(context);
    return {result, out.str(), err.str()};
  }
  std::string Events() { return ReadFile(dir_.path() / "Debug" / "AppEvent.txt"); }

  TempProgramDir dir_;
  FakeClock clock_{LocalTimePoint(2026, 2, 3, 4, 5, 6)};
  FakeInstaller installer_;
};

// What one command line does when the installer succeeds: exit status, what is printed, and
// which installer call is made ("" for none). A second instance, and the plain -install and
// -uninstall, are run against the built service by test_service_lifecycle.py.
TEST_F(FormLoadTest, OptionsOutcomes) {
  const struct {
    const char *line, *out, *err, *installerCall;
  } cases[] = {
      {"-install_noMsg", "", "", "install VantorWebSrv"},
      {"-installXYZ now", "Vantor Web Service Installed Successfully\n", "", "install VantorWebSrv"},
      {"-uninstall", "Vantor Web Service Uninstalled Successfully\n", "", "uninstall"},
      {"-uninstall now", "", "Invalid command option: -uninstall now\n", ""},
      {"-Install", "", "Invalid command option: -Install\n", ""},
      {"x", "", "Invalid command option: x\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    installer_.calls.clear();
    const auto outcome = Load(c.line);
    EXPECT_EQ(outcome.result.exitCode, *c.err ? 1 : 0);
    EXPECT_FALSE(outcome.result.runService);
    EXPECT_EQ(std::pair(outcome.out, outcome.err), std::pair(std::string(c.out), std::string(c.err)));
    EXPECT_EQ(installer_.calls, *c.installerCall ? std::vector<std::string>{c.installerCall}
                                                 : std::vector<std::string>{});
  }
  EXPECT_EQ(Events(), "2026-02-03 04:05:06\t3\tfrmVantorWebSrv_Form_Load\tService Installed\r\n"
                      "2026-02-03 04:05:06\t3\tfrmVantorWebSrv_Form_Load\tService Installed\r\n"
                      "2026-02-03 04:05:06\t3\tfrmVantorWebSrv_Form_Load\tService Uninstalled\r\n");
  EXPECT_EQ(installer_.installedDir, dir_.path());
  EXPECT_TRUE(Load("").result.runService);
}

TEST_F(FormLoadTest, InstallerAndDatabaseFailures) {
  installer_.installError = "systemctl enable failed";
  installer_.uninstallError = "the service is not installed";
  auto failed = Load("-install");
  EXPECT_EQ(std::pair(failed.result.exitCode, failed.err),
            std::pair(1, std::string("Vantor Web Service Failed To Install\nsystemctl enable failed\n")));
  EXPECT_EQ(Events(), "2026-02-03 04:05:06\t1\tfrmVantorWebSrv_Form_Load\tsystemctl enable failed\r\n");
  auto notInstalled = Load("-uninstall");
  EXPECT_EQ(std::pair(notInstalled.result.exitCode, notInstalled.err),
            std::pair(1, std::string("Vantor Web Service Failed To Uninstall\n")));

  // A database the service could not read is refused before anything is registered.
  dir_.Sql("DROP TABLE General_Settings");
  installer_.calls.clear();
  auto unreadable = Load("-install");
  EXPECT_EQ(unreadable.result.exitCode, 1);
  EXPECT_EQ(unreadable.err, DatabaseErrorText() + "\n");
  EXPECT_EQ(std::count(unreadable.err.begin(), unreadable.err.end(), '\n'), 8);

  std::filesystem::remove(dir_.database());
  auto missing = Load("-install_noMsg");
  EXPECT_EQ(std::pair(missing.result.exitCode, missing.err), std::pair(1, std::string("VantorWeb.mdb does not exits\n")));
  EXPECT_TRUE(installer_.calls.empty());
}

}  // namespace
}  // namespace vantor
