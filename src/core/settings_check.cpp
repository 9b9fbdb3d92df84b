#include "core/settings_check.hpp"

#include "core/metrics_settings.hpp"
#include "core/product.hpp"
#include "core/snmp_settings.hpp"
#include "platform/net/ip_address.hpp"

#include <boost/asio/ip/address.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>

namespace vantor {
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kMaxPort = 65535;
// TrapPort is read as a 16-bit signed number.
constexpr std::int64_t kMaxTrapPort = 32767;

class RowChecker {
 public:
  RowChecker(const DbRow& row, const SettingsEnvironment& env) : row_(row), env_(env) {}

  std::vector<SettingProblem> Run() {
    CheckGeneral();
    CheckSnmp();
    CheckWebSocket("Ws");
    CheckWebSocket("Wss");
    CheckCertificate();
    CheckMetrics();
    CheckDistinctPorts();
    CheckPush();
    CheckMail();
    CheckOptionalLimits();
    return std::move(problems_);
  }

 private:
  void Add(std::string_view column, std::string problem) {
    problems_.push_back({std::string(column), std::move(problem)});
  }

  // The column's value, or nullopt after noting that the column is missing or NULL.
  std::optional<DbValue> Required(std::string_view column, std::string_view allowed) {
    const DbValue* value = row_.Find(column);
    if (!value) {
      Add(column, fmt::format("is missing from General_Settings ({} expected)", allowed));
      return std::nullopt;
    }
    if (std::holds_alternative<std::monostate>(*value)) {
      Add(column, fmt::format("is NULL ({} expected)", allowed));
      return std::nullopt;
    }
    return *value;
  }

  // Present, not NULL: optional columns and columns whose NULL the service tolerates.
  const DbValue* Given(std::string_view column) const {
    const DbValue* value = row_.Find(column);
    return value && !std::holds_alternative<std::monostate>(*value) ? value : nullptr;
  }

  std::string TextOf(std::string_view column) const {
    const DbValue* value = Given(column);
    const auto* text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? *text : std::string();
  }

  std::string ShownColumn(std::string_view column) const {
    const DbValue* value = Given(column);
    return value ? DescribeValue(*value) : "NULL";
  }

  bool YesOf(std::string_view column) const {
    const DbValue* value = Given(column);
    const auto* n = value ? std::get_if<std::int64_t>(value) : nullptr;
    return n && *n != 0;
  }

  bool CheckYesNo(std::string_view column) {
    auto value = Required(column, "yes/no (0 or 1)");
    if (!value) return false;
    if (std::holds_alternative<std::int64_t>(*value)) return true;
    Add(column, DescribeValue(*value) + " is not yes/no (0 or 1)");
    return false;
  }

  void CheckText(std::string_view column, std::string_view allowed) {
    auto value = Required(column, allowed);
    if (value && !std::holds_alternative<std::string>(*value)) {
      Add(column, fmt::format("{} is not a text ({} expected)", DescribeValue(*value), allowed));
    }
  }

  void CheckNotEmpty(std::string_view column, std::string_view why) {
    auto value = Required(column, "a text");
    if (value && TextOf(column).empty()) Add(column, fmt::format("is empty ({})", why));
  }

  // A whole number within [min, max]; `what` names it in the message ("a port").
  std::optional<std::int64_t> CheckNumber(std::string_view column, std::int64_t min,
                                          std::int64_t max, std::string_view what, bool required) {
    const DbValue* given = Given(column);
    if (!given) {
      if (required) Required(column, fmt::format("{} ({}-{})", what, min, max));
      return std::nullopt;
    }
    const auto* n = std::get_if<std::int64_t>(given);
    if (!n || *n < min || *n > max) {
      Add(column, fmt::format("{} is not {} ({}-{})", n ? std::to_string(*n) : DescribeValue(*given),
                              what, min, max));
      return std::nullopt;
    }
    return *n;
  }

  void CheckAddress(std::string_view column, bool required) {
    const DbValue* given = Given(column);
    if (!given) {
      if (required) Required(column, "an IP address");
      return;
    }
    const auto* text = std::get_if<std::string>(given);
    boost::system::error_code ec;
    if (text) boost::asio::ip::make_address(*text, ec);
    if (!text || ec) {
      Add(column, DescribeValue(*given) + " is not an IP address (such as 127.0.0.1; 0.0.0.0 for every address)");
    }
  }

  void CheckGeneral() {
    CheckText("ProgVersion", "a version text");
    CheckYesNo("DebugMode");
  }

  void CheckSnmp() {
    const bool enabled = CheckYesNo("SnmpEnabled") && YesOf("SnmpEnabled");
    CheckAddress("SnmpIpAddr", enabled);
    CheckNumber("SnmpPort", 1, kMaxPort, "a port", enabled);
    CheckNumber("TrapPort", 1, kMaxTrapPort, "a trap port", enabled);
    if (!enabled) return;
    CheckText("SnmpGetComm", "a community text");
    CheckOptionalText("SnmpSetComm", "a community text, or empty for the default");
    CheckText("TrapComm", "a community text");
    if (CheckYesNo("SendAppEvents") && YesOf("SendAppEvents")) {
      CheckNotEmpty("TrapHost", "SendAppEvents needs the trap destination");
    } else {
      CheckText("TrapHost", "a host text");
    }
  }

  void CheckWebSocket(const std::string& prefix) {
    const bool enabled = CheckYesNo(prefix + "Enabled") && YesOf(prefix + "Enabled");
    CheckAddress(prefix + "IpAddr", enabled);
    CheckNumber(prefix + "Port", 1, kMaxPort, "a port", enabled);
  }

  // An empty CertSubject makes the TLS listener use a certificate of its own; otherwise the
  // selected certificate and its key must be readable from the store.
  void CheckCertificate() {
    if (!YesOf("WssEnabled")) return;
    CheckText("CertSubject", "a certificate subject, or empty");
    const std::string subject = TextOf("CertSubject");
    if (subject.empty()) return;
    CertificateSelection selection{std::nullopt, TextOf("CertStore"), subject};
    const std::string type = TextOf("CertType");
    if (type == "User") selection.storeType = 0;
    if (type == "Computer") selection.storeType = 1;
    if (!selection.storeType) {
      Add("CertType", ShownColumn("CertType") +
                          " names no certificate store type (User or Computer)");
      return;
    }
    if (selection.store.empty()) {
      Add("CertStore", "is empty (the name of the folder that holds the certificate)");
      return;
    }
    if (!env_.certificateProblem) return;
    if (auto why = env_.certificateProblem(selection); !why.empty()) Add("CertSubject", why);
  }

  // The monitoring listener: off unless MetricsEnabled says so; on an address other hosts can
  // reach only with a token.
  void CheckMetrics() {
    CheckOptionalYesNo("MetricsEnabled");
    CheckAddress("MetricsIpAddr", false);
    CheckNumber("MetricsPort", 1, kMaxPort, "a port", false);
    CheckOptionalText("MetricsToken", "a token, or empty for none");
    const std::string token = TextOf("MetricsToken");
    if (!IsMetricsToken(token)) Add("MetricsToken", "holds blanks or control characters (visible ASCII expected)");
    if (!YesOf("MetricsEnabled")) return;
    const std::string address = Given("MetricsIpAddr") ? TextOf("MetricsIpAddr") : kDefaultMetricsAddress;
    if (MetricsNeedToken(address, token)) {
      Add("MetricsToken", fmt::format("is empty while the monitoring listener serves {}, which other hosts can "
                                      "reach (set a token, or listen on 127.0.0.1)", address));
    }
  }

  // Each enabled listener binds its own port; the monitoring listener's may be its default.
  void CheckDistinctPorts() {
    struct Bound { std::string column; std::int64_t port; };
    std::vector<Bound> bound;
    for (std::string prefix : {"Snmp", "Ws", "Wss", "Metrics"}) {
      if (!YesOf(prefix + "Enabled")) continue;
      const DbValue* value = Given(prefix + "Port");
      const std::int64_t fallback = kDefaultMetricsPort;
      const auto* port = value ? std::get_if<std::int64_t>(value) : prefix == "Metrics" ? &fallback : nullptr;
      if (!port) continue;
      auto same = std::find_if(bound.begin(), bound.end(), [&](const Bound& b) { return b.port == *port; });
      if (same != bound.end()) {
        Add(prefix + "Port", fmt::format("{} is also {} (each listener needs a port of its own)",
                                         *port, same->column));
      }
      bound.push_back({prefix + "Port", *port});
    }
  }

  void CheckPush() {
    const bool dailyTest = YesOf("TestMessDaily");
    if (dailyTest) CheckNotEmpty("TestMessUserKey", "TestMessDaily needs the receiver's user key");
    if (!dailyTest && !env_.pushUsed) return;
    if (const std::string url = TextOf("PushApiUrl"); !url.empty() && url.rfind("https://", 0) != 0) {
      Add("PushApiUrl", "'" + url + "' is not an https:// address (empty for the default)");
    }
    const std::string caFile = TextOf("PushCaFile");
    if (!caFile.empty() && env_.fileReadable && !env_.fileReadable(caFile)) {
      Add("PushCaFile", "'" + caFile + "' cannot be read (a readable PEM file, or empty for the system's)");
    }
  }

  void CheckMail() {
    if (!env_.mailUsed) {
      CheckNumber("MailPort", 1, kMaxPort, "a port", false);
      return;
    }
    CheckNotEmpty("MailHostAddress", "mail receivers need the SMTP server");
    CheckNumber("MailPort", 1, kMaxPort, "a port", true);
    CheckNotEmpty("MailFromAddress", "mail receivers need a sender address");
    if (YesOf("MailUseAuth")) {
      CheckText("MailAuthMode", "AUTH LOGIN or another mode text");
      CheckNotEmpty("MailAccount", "MailUseAuth needs the account");
      CheckNotEmpty("MailPassword", "MailUseAuth needs the password");
    }
    const DbValue* security = Given("MailSecurity");
    if (security) {
      const std::string text = TextOf("MailSecurity");
      if (text != "None" && text != "STARTTLS" && text != "TLS") {
        Add("MailSecurity", DescribeValue(*security) + " is not a transport security (None, STARTTLS or TLS)");
      }
    }
  }

  void CheckOptionalLimits() {
    CheckNumber("MaxOpeningPerAddr", 1, kMaxPort, "a connection count", false);
    CheckNumber("MaxRefusedPerAddr", 1, kMaxPort, "a refusal count", false);
    CheckNumber("RefusedCoolingSec", 1, 86400, "a number of seconds", false);
    CheckAddressList("TrustedProxies");
    CheckOptionalYesNo("PinAgentPass");
  }

  void CheckOptionalText(std::string_view column, std::string_view allowed) {
    const DbValue* given = Given(column);
    if (given && !std::holds_alternative<std::string>(*given)) {
      Add(column, fmt::format("{} is not a text ({} expected)", DescribeValue(*given), allowed));
    }
  }

  void CheckOptionalYesNo(std::string_view column) {
    const DbValue* given = Given(column);
    if (given && !std::holds_alternative<std::int64_t>(*given)) {
      Add(column, DescribeValue(*given) + " is not yes/no (0 or 1)");
    }
  }

  // Empty, or IP addresses separated by commas.
  void CheckAddressList(std::string_view column) {
    if (!ParseAddressList(TextOf(column))) {
      Add(column, "'" + TextOf(column) + "' is not a list of IP addresses (separated by commas, or empty for none)");
    }
  }

  const DbRow& row_;
  const SettingsEnvironment& env_;
  std::vector<SettingProblem> problems_;
};

// An address that hosts other than this one can reach: an IP address, and not a loopback one.
bool Exposed(const std::string& address) { return IsIpAddress(address) && !IsLoopbackAddress(address); }

// The text of a column, or "" when it is absent, NULL or no text.
std::string TextIn(const DbRow& row, std::string_view column) {
  const DbValue* value = row.Find(column);
  const auto* text = value ? std::get_if<std::string>(value) : nullptr;
  return text ? *text : std::string();
}

bool EnabledIn(const DbRow& row, std::string_view column) {
  const DbValue* value = row.Find(column);
  const auto* n = value ? std::get_if<std::int64_t>(value) : nullptr;
  return n && *n != 0;
}

// Opening for reading changes nothing on the file, not even its modification time.
bool Readable(const fs::path& file) {
  std::error_code ec;
  return fs::is_regular_file(file, ec) && std::ifstream(file, std::ios::binary).is_open();
}

}  // namespace

std::string DescribeProblem(const SettingProblem& p) { return p.column + ": " + p.problem; }

DbStatus ReadSettingsEnvironment(Database& db, const fs::path& programDir,
                                 SettingsEnvironment& environment) {
  std::vector<DbRow> rows;
  auto status = db.Query("SELECT DISTINCT BcaRecvType FROM Customer", {}, rows);
  if (!status) return status;
  for (const DbRow& row : rows) {
    const auto* type = std::get_if<std::string>(&row.values[0]);
    if (type && *type == "MailSMTP") environment.mailUsed = true;
    if (type && *type == "MobilePO") environment.pushUsed = true;
  }
  const CertStoreRoots roots = ProductCertStoreRoots(programDir);
  environment.certificateProblem = [roots](const CertificateSelection& selection) {
    auto result = SelectServerCertificate(roots, selection);
    return result.certificate ? std::string() : result.error;
  };
  environment.fileReadable = Readable;
  return DbStatus::Ok();
}

std::vector<SettingProblem> CheckSettings(const DbRow& row, const SettingsEnvironment& env) {
  return RowChecker(row, env).Run();
}

std::vector<SettingProblem> CheckSettingWarnings(const DbRow& row) {
  std::vector<SettingProblem> warnings;
  const std::string wssAddress = TextIn(row, "WssIpAddr");
  if (EnabledIn(row, "WssEnabled") && Exposed(wssAddress) && TextIn(row, "CertSubject").empty()) {
    warnings.push_back({"CertSubject", fmt::format("is empty while the TLS listener serves {}, which other hosts can "
                                                   "reach: it serves a self-signed certificate made at each start, "
                                                   "which clients cannot verify", wssAddress)});
  }
  const std::string snmpAddress = SnmpAgentAddress(TextIn(row, "SnmpIpAddr"));
  if (!EnabledIn(row, "SnmpEnabled") || !Exposed(snmpAddress)) return warnings;
  if (TextIn(row, "SnmpGetComm") == kDefaultGetCommunity) {
    warnings.push_back({"SnmpGetComm", fmt::format("is the default '{}' while the SNMP agent serves {}, which other "
                                                   "hosts can reach", kDefaultGetCommunity, snmpAddress)});
  }
  if (SetCommunity(TextIn(row, "SnmpSetComm")) == kDefaultSetCommunity) {
    warnings.push_back({"SnmpSetComm", fmt::format("gives no community of its own, so console commands take the "
                                                   "default set community while the SNMP agent serves {}, which "
                                                   "other hosts can reach", snmpAddress)});
  }
  return warnings;
}

std::vector<SettingProblem> CheckSettingChange(const DbRow& row, std::string_view column,
                                               const DbValue& value, const SettingsEnvironment& env) {
  DbRow changed = row;
  auto names = std::make_shared<std::vector<std::string>>(*row.names);
  auto it = std::find(names->begin(), names->end(), column);
  if (it == names->end()) {
    names->emplace_back(column);
    changed.values.push_back(value);
  } else {
    changed.values[static_cast<std::size_t>(it - names->begin())] = value;
  }
  changed.names = names;
  const auto before = CheckSettings(row, env);
  std::vector<SettingProblem> brought;
  for (auto& problem : CheckSettings(changed, env)) {
    const bool isNew = std::find(before.begin(), before.end(), problem) == before.end();
    if (problem.column == column || isNew) brought.push_back(std::move(problem));
  }
  return brought;
}

}  // namespace vantor
