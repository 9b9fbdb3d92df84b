#include "core/settings_check.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <map>

namespace vantor {
namespace {

using testing::TempProgramDir;

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

TEST_F(SettingsCheckTest, ANewProgramDirectoryIsValid) { EXPECT_EQ(Problems({}), Lines{}); }

// Each row of changes with the problems it brings, as printed.
TEST_F(SettingsCheckTest, PortsCountsAndAddressesMustBeInRangeAndOfTheirOwn) {
  using I = std::int64_t;
  using S = std::string;
  const std::string notAddress = " is not an IP address (such as 127.0.0.1; 0.0.0.0 for every address)";
  const std::vector<std::pair<std::map<std::string, DbValue>, Lines>> cases = {
      {{{"WsPort", I{0}}}, {"WsPort: 0 is not a port (1-65535)"}},
      {{{"WsPort", I{1}}, {"WssPort", I{65535}}}, {}},
      {{{"SnmpPort", I{65536}}}, {"SnmpPort: 65536 is not a port (1-65535)"}},
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
      {{{"WsIpAddr", S("")}}, {"WsIpAddr: ''" + notAddress}},
  };
  for (const auto& [changes, lines] : cases) EXPECT_EQ(Problems(changes), lines) << ::testing::PrintToString(lines);
}

TEST_F(SettingsCheckTest, DefaultsThatOtherHostsReachAreWarningsOnly) {
  auto warned = [&](const std::map<std::string, DbValue>& changes) {
    EXPECT_EQ(CheckSettings(Row(changes), env_), std::vector<SettingProblem>{});
    Lines columns;
    for (const auto& w : CheckSettingWarnings(Row(changes))) columns.push_back(w.column);
    return columns;
  };
  // 0.0.0.0 puts the SNMP agent on the loopback address, the TLS listener on every address.
  EXPECT_EQ(warned({{"SnmpIpAddr", std::string("0.0.0.0")}, {"WssIpAddr", std::string("0.0.0.0")}}),
            Lines{"CertSubject"});
  EXPECT_EQ(warned({{"SnmpIpAddr", std::string("10.0.0.5")}, {"SnmpSetComm", std::string("")}}),
            (Lines{"SnmpGetComm", "SnmpSetComm"}));
  EXPECT_EQ(warned({{"SnmpIpAddr", std::string("::")}, {"SnmpGetComm", std::string("g")},
                    {"SnmpSetComm", std::string("s")}, {"WssIpAddr", std::string("::")}, {"CertSubject", std::string("x")}}),
            Lines{});
  EXPECT_EQ(warned({{"SnmpIpAddr", std::string("10.0.0.5")}, {"SnmpEnabled", std::int64_t{0}},
                    {"WssIpAddr", std::string("10.0.0.5")}, {"WssEnabled", std::int64_t{0}}}),
            Lines{});
  EXPECT_EQ(Problems({{"SnmpSetComm", std::int64_t{5}}}),
            Lines{"SnmpSetComm: 5 is not a text (a community text, or empty for the default expected)"});
}

// Store type and name are judged before any store is searched; mail and push settings only
// when a receiver uses them.
TEST_F(SettingsCheckTest, CertificateMailAndPushSettingsWhereTheyAreUsed) {
  using S = std::string;
  struct Case {
    std::map<std::string, DbValue> changes;
    bool mailUsed, pushUsed;
    Lines lines;
  };
  const std::map<std::string, DbValue> incompleteMail{{"MailHostAddress", S("")}, {"MailUseAuth", std::int64_t{1}}};
  const std::map<std::string, DbValue> oddPush{{"PushApiUrl", S("http://push.local/")},
                                               {"PushCaFile", S("/nonexistent/ca.pem")}};
  const Case cases[] = {
      {{{"CertSubject", S("vantor.example")}, {"CertType", S("user")}}, false, false,
       {"CertType: 'user' names no certificate store type (User or Computer)"}},
      {{{"CertSubject", S("vantor.example")}, {"CertStore", S("")}}, false, false,
       {"CertStore: is empty (the name of the folder that holds the certificate)"}},
      // Without a subject the listener makes its own certificate: nothing to read.
      {{{"CertType", S("neither")}}, false, false, {}},
      {incompleteMail, false, false, {}},
      {incompleteMail, true, false,
       {"MailHostAddress: is empty (mail receivers need the SMTP server)",
        "MailAccount: is empty (MailUseAuth needs the account)",
        "MailPassword: is empty (MailUseAuth needs the password)"}},
      {{{"MailSecurity", S("SSL")}}, true, false,
       {"MailSecurity: 'SSL' is not a transport security (None, STARTTLS or TLS)"}},
      {{{"TestMessDaily", std::int64_t{1}}}, false, false,
       {"TestMessUserKey: is empty (TestMessDaily needs the receiver's user key)"}},
      {oddPush, false, false, {}},
      {oddPush, false, true,
       {"PushApiUrl: 'http://push.local/' is not an https:// address (empty for the default)",
        "PushCaFile: '/nonexistent/ca.pem' cannot be read (a readable PEM file, or empty for the system's)"}},
  };
  env_.fileReadable = [](const std::filesystem::path&) { return false; };
  for (const auto& c : cases) {
    env_.mailUsed = c.mailUsed;
    env_.pushUsed = c.pushUsed;
    EXPECT_EQ(Problems(c.changes), c.lines) << ::testing::PrintToString(c.lines);
  }
}

TEST_F(SettingsCheckTest, AChangeIsJudgedByTheProblemsItBrings) {
  const DbRow row = Row({{"TrapPort", std::int64_t{99999}}});  // a problem already stored
  EXPECT_TRUE(CheckSettingChange(row, "WsPort", std::int64_t{9000}, env_).empty());
  EXPECT_EQ(CheckSettingChange(row, "WsPort", std::int64_t{99999}, env_),
            (std::vector<SettingProblem>{{"WsPort", "99999 is not a port (1-65535)"}}));
  // Moving WsPort onto WssPort is a problem that the check reports on WssPort.
  EXPECT_EQ(CheckSettingChange(row, "WsPort", std::int64_t{8443}, env_),
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
  const auto problems = CheckSettings(Row({{"CertSubject", std::string("vantor.example")}}), env_);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].column, "CertSubject");
  EXPECT_NE(problems[0].problem, "");
}

}  // namespace
}  // namespace vantor
