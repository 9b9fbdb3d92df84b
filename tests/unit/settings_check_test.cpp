#include "core/settings_check.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <map>

namespace vantor {
namespace {

using testing::TempProgramDir;
using I = std::int64_t;
using S = std::string;

class SettingsCheckTest : public ::testing::Test {
 protected:
  SettingsCheckTest() {
    DbStatus status;
    auto db = Database::Open(dir_.database(), Database::Mode::kReadOnly, status);
    std::vector<DbRow> rows;
    status = db->Query("SELECT * FROM General_Settings", {}, rows);
    defaults_ = rows.at(0);
  }

  // The new directory's row with `changes` applied.
  DbRow Row(const std::map<std::string, DbValue>& changes) const {
    DbRow row = defaults_;
    for (const auto& [column, value] : changes) {
      for (std::size_t i = 0; i < row.names->size(); ++i) {
        if ((*row.names)[i] == column) row.values[i] = value;
      }
    }
    return row;
  }

  // The problems of the changed row, as printed.
  std::vector<std::string> Problems(const std::map<std::string, DbValue>& changes) const {
    std::vector<std::string> lines;
    for (const auto& p : CheckSettings(Row(changes), env_)) lines.push_back(DescribeProblem(p));
    return lines;
  }

  using Lines = std::vector<std::string>;
  TempProgramDir dir_;
  DbRow defaults_;
  SettingsEnvironment env_;
};

// Each row of changes with the problems it brings, as printed. Store type and name are judged
// before any store is searched; mail and push settings only when a receiver uses them.
TEST_F(SettingsCheckTest, EachSettingInItsRangeAndWhereItIsUsed) {
  struct Case {
    std::map<std::string, DbValue> changes;
    Lines lines;
    bool mailUsed = false, pushUsed = false;
  };
  const std::string notAddress = " is not an IP address (such as 127.0.0.1; 0.0.0.0 for every address)";
  const std::map<std::string, DbValue> incompleteMail{{"MailHostAddress", S("")}, {"MailUseAuth", I{1}}};
  const std::map<std::string, DbValue> oddPush{{"PushApiUrl", S("http://push.local/")},
                                               {"PushCaFile", S("/nonexistent/ca.pem")}};
  const Case cases[] = {
      {{}, {}},  // a new program directory
      {{{"WsPort", I{0}}}, {"WsPort: 0 is not a port (1-65535)"}},
      {{{"WsPort", I{1}}, {"WssPort", I{65535}}}, {}},
      {{{"WsPort", S("80a")}}, {"WsPort: '80a' is not a port (1-65535)"}},
      // The trap port is read as a 16-bit number.
      {{{"TrapPort", I{32767}}}, {}},
      {{{"TrapPort", I{32768}}}, {"TrapPort: 32768 is not a trap port (1-32767)"}},
      // A listener that is enabled needs its port, of its own; a disabled one does not.
      {{{"WsPort", std::monostate{}}}, {"WsPort: is NULL (a port (1-65535) expected)"}},
      {{{"WsPort", std::monostate{}}, {"WsEnabled", I{0}}}, {}},
      {{{"WssPort", I{8080}}}, {"WssPort: 8080 is also WsPort (each listener needs a port of its own)"}},
      {{{"WssPort", I{8080}}, {"WsEnabled", I{0}}}, {}},
      {{{"MaxOpeningPerAddr", I{0}}}, {"MaxOpeningPerAddr: 0 is not a connection count (1-65535)"}},
      {{{"RefusedCoolingSec", I{0}}, {"TrustedProxies", S("10.0.0.1, proxy.example")}, {"PinAgentPass", S("yes")}},
       {"RefusedCoolingSec: 0 is not a number of seconds (1-86400)",
        "TrustedProxies: '10.0.0.1, proxy.example' is not a list of IP addresses (separated by commas, "
        "or empty for none)",
        "PinAgentPass: 'yes' is not yes/no (0 or 1)"}},
      {{{"TrustedProxies", S(" 10.0.0.1,::1 ")}, {"MaxRefusedPerAddr", I{3}}}, {}},
      {{{"WsIpAddr", S("0.0.0.0")}, {"SnmpIpAddr", S("::1")}}, {}},
      {{{"WssIpAddr", S("256.0.0.1")}}, {"WssIpAddr: '256.0.0.1'" + notAddress}},
      {{{"SnmpIpAddr", S("localhost")}}, {"SnmpIpAddr: 'localhost'" + notAddress}},
      {{{"CertSubject", S("vantor.example")}, {"CertType", S("user")}},
       {"CertType: 'user' names no certificate store type (User or Computer)"}},
      {{{"CertSubject", S("vantor.example")}, {"CertStore", S("")}},
       {"CertStore: is empty (the name of the folder that holds the certificate)"}},
      // Without a subject the listener makes its own certificate: nothing to read.
      {{{"CertType", S("neither")}}, {}},
      {incompleteMail, {}},
      {incompleteMail,
       {"MailHostAddress: is empty (mail receivers need the SMTP server)",
        "MailAccount: is empty (MailUseAuth needs the account)",
        "MailPassword: is empty (MailUseAuth needs the password)"},
       true},
      {{{"MailSecurity", S("SSL")}}, {"MailSecurity: 'SSL' is not a transport security (None, STARTTLS or TLS)"}, true},
      {{{"TestMessDaily", I{1}}}, {"TestMessUserKey: is empty (TestMessDaily needs the receiver's user key)"}},
      // The monitoring listener: a token on any address but a loopback one; its port, its default
      // included, of its own.
      {{{"MetricsIpAddr", S("0.0.0.0")}},
       {"MetricsToken: is empty while the monitoring listener serves 0.0.0.0, which other hosts can reach (set a "
        "token, or listen on 127.0.0.1)"}},
      {{{"MetricsIpAddr", S("::")}, {"MetricsToken", S("b64+token/=")}}, {}},
      {{{"MetricsIpAddr", S("192.0.2.1")}, {"MetricsEnabled", I{0}}}, {}},
      {{{"MetricsIpAddr", S("127.0.0.2")}, {"MetricsToken", S("two words")}},
       {"MetricsToken: holds blanks or control characters (visible ASCII expected)"}},
      {{{"MetricsIpAddr", std::monostate{}}, {"MetricsPort", std::monostate{}}, {"WsPort", I{9480}}},
       {"MetricsPort: 9480 is also WsPort (each listener needs a port of its own)"}},
      {oddPush, {}},
      {oddPush,
       {"PushApiUrl: 'http://push.local/' is not an https:// address (empty for the default)",
        "PushCaFile: '/nonexistent/ca.pem' cannot be read (a readable PEM file, or empty for the system's)"},
       false, true},
  };
  env_.fileReadable = [](const std::filesystem::path&) { return false; };
  for (const auto& c : cases) {
    env_.mailUsed = c.mailUsed;
    env_.pushUsed = c.pushUsed;
    EXPECT_EQ(Problems(c.changes), c.lines) << ::testing::PrintToString(c.lines);
  }
}

TEST_F(SettingsCheckTest, DefaultsThatOtherHostsReachAreWarningsOnly) {
  const std::pair<std::map<std::string, DbValue>, Lines> cases[] = {
      // 0.0.0.0 puts the SNMP agent on the loopback address, the TLS listener on every address.
      {{{"SnmpIpAddr", S("0.0.0.0")}, {"WssIpAddr", S("0.0.0.0")}}, {"CertSubject"}},
      {{{"SnmpIpAddr", S("10.0.0.5")}, {"SnmpSetComm", S("")}}, {"SnmpGetComm", "SnmpSetComm"}},
      {{{"SnmpIpAddr", S("::")}, {"SnmpGetComm", S("g")}, {"SnmpSetComm", S("s")}, {"WssIpAddr", S("::")},
        {"CertSubject", S("x")}}, {}},
      {{{"SnmpIpAddr", S("10.0.0.5")}, {"SnmpEnabled", I{0}}, {"WssIpAddr", S("10.0.0.5")}, {"WssEnabled", I{0}}},
       {}},
  };
  for (const auto& [changes, columns] : cases) {
    EXPECT_EQ(CheckSettings(Row(changes), env_), std::vector<SettingProblem>{});
    Lines warned;
    for (const auto& w : CheckSettingWarnings(Row(changes))) warned.push_back(w.column);
    EXPECT_EQ(warned, columns);
  }
  EXPECT_EQ(Problems({{"SnmpSetComm", I{5}}}),
            Lines{"SnmpSetComm: 5 is not a text (a community text, or empty for the default expected)"});
}

TEST_F(SettingsCheckTest, AChangeIsJudgedByTheProblemsItBrings) {
  const DbRow row = Row({{"TrapPort", I{99999}}});  // a problem already stored
  EXPECT_TRUE(CheckSettingChange(row, "WsPort", I{9000}, env_).empty());
  EXPECT_EQ(CheckSettingChange(row, "WsPort", I{99999}, env_),
            (std::vector<SettingProblem>{{"WsPort", "99999 is not a port (1-65535)"}}));
  // Moving WsPort onto WssPort is a problem that the check reports on WssPort.
  EXPECT_EQ(CheckSettingChange(row, "WsPort", I{8443}, env_),
            (std::vector<SettingProblem>{{"WssPort", "8443 is also WsPort (each listener needs a port of its own)"}}));
}

// The environment of a real program directory: its customers' receiver types and certificate
// stores that hold no certificate.
TEST_F(SettingsCheckTest, ReadFromTheProgramDirectory) {
  dir_.Sql("INSERT INTO Customer (CustID, Enabled, BcaRecvType) VALUES ('01000001', 1, 'MailSMTP'), "
           "('02000002', 1, 'None')");
  DbStatus status;
  auto db = Database::Open(dir_.database(), Database::Mode::kReadOnly, status);
  ASSERT_TRUE(ReadSettingsEnvironment(*db, dir_.path(), env_));
  EXPECT_TRUE(env_.mailUsed);
  EXPECT_FALSE(env_.pushUsed);
  const auto problems = CheckSettings(Row({{"CertSubject", S("vantor.example")}}), env_);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].column, "CertSubject");
  EXPECT_NE(problems[0].problem, "");
}

}  // namespace
}  // namespace vantor
