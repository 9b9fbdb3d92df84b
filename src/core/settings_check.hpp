#pragma once
// Validation of the General_Settings row: the one place that knows which values the service can
// use. `VantorWebSrv --check` reports every problem of the stored row; the console refuses a
// change that would bring one.
//
// A check reads only the row and what the environment tells it (which notification channels the
// customers use, whether the configured certificate and files can be read); it writes nothing.

#include "platform/db/database.hpp"
#include "platform/tls/certificate_manager.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

struct SettingProblem {
  std::string column;
  std::string problem;  // what is wrong and what is allowed, e.g. "99999 is not a port (1-65535)"

  bool operator==(const SettingProblem&) const = default;
};

// "<Column>: <problem>", as printed one per line.
std::string DescribeProblem(const SettingProblem& p);

struct SettingsEnvironment {
  bool mailUsed = false;  // a customer's alarm receiver is of type "MailSMTP"
  bool pushUsed = false;  // a customer's alarm receiver is of type "MobilePO"
  // Why the TLS listener could not use the certificate selected by CertType, CertStore and
  // CertSubject (file missing or unreadable, no matching key); empty when it can.
  std::function<std::string(const CertificateSelection&)> certificateProblem;
  // Whether a file the service would open (PushCaFile) can be read.
  std::function<bool(const std::filesystem::path&)> fileReadable;
};

// The environment of a real program directory: the receiver types of its Customer table, the
// certificate stores the TLS listener searches, and the file system. Fails with the database's
// error when the Customer table cannot be read.
DbStatus ReadSettingsEnvironment(Database& db, const std::filesystem::path& programDir,
                                 SettingsEnvironment& environment);

// Every problem of the settings row, in column order of the checks; empty when the service can
// use the row as it is.
std::vector<SettingProblem> CheckSettings(const DbRow& row, const SettingsEnvironment& env);

// Values that expose an enabled listener on an address other hosts can reach: a TLS listener
// without a configured certificate (clients get one made at each start, which they cannot
// verify) and an SNMP agent that takes the default read or set community. Empty when the row
// has none; missing or wrong columns are left to CheckSettings.
std::vector<SettingProblem> CheckSettingWarnings(const DbRow& row);

// The problems that setting `column` to `value` would bring: those that name `column`, and those
// of other columns that the row does not have today (a port that now collides, say).
std::vector<SettingProblem> CheckSettingChange(const DbRow& row, std::string_view column,
                                               const DbValue& value, const SettingsEnvironment& env);

}  // namespace vantor
