#include "core/schema.hpp"

namespace vantor {
namespace {

// Yes/no columns are INTEGER (0 false, anything else true). The optional columns at the end
// (push API address, download hosts, mail security, the opening limit per address, agent pass
// pinning and the pinned passes, the SNMP set community, the monitoring listener) may be absent or NULL; the service then uses its built-in
// behaviour. A new database pins agent passes.
constexpr const char* kSchema = R"sql(
CREATE TABLE General_Settings (
  ProgVersion     TEXT,
  DebugMode       INTEGER,
  SnmpEnabled     INTEGER,
  SnmpIpAddr      TEXT,
  SnmpPort        INTEGER,
  SnmpGetComm     TEXT,
  SendAppEvents   INTEGER,
  TrapHost        TEXT,
  TrapPort        INTEGER,
  TrapComm        TEXT,
  SnmpStatus      TEXT,
  WsEnabled       INTEGER,
  WsIpAddr        TEXT,
  WsPort          INTEGER,
  WsStatus        TEXT,
  WssEnabled      INTEGER,
  WssIpAddr       TEXT,
  WssPort         INTEGER,
  CertSubject     TEXT,
  CertType        TEXT,
  CertStore       TEXT,
  WssStatus       TEXT,
  TestMessDaily   INTEGER,
  TestMessUserKey TEXT,
  TestMessDevice  TEXT,
  MailHostAddress TEXT,
  MailPort        INTEGER,
  MailFromAddress TEXT,
  MailUseAuth     INTEGER,
  MailAuthMode    TEXT,
  MailAccount     TEXT,
  MailPassword    TEXT,
  PushApiUrl      TEXT,
  PushCaFile      TEXT,
  DownloadHost1   TEXT,
  DownloadHost2   TEXT,
  DownloadHost3   TEXT,
  MailSecurity    TEXT,
  -- WebSocket connections that may be opening (not yet upgraded) from one remote address.
  MaxOpeningPerAddr INTEGER DEFAULT 16,
  -- Refused admissions within a minute after which an address is refused for RefusedCoolingSec.
  MaxRefusedPerAddr INTEGER DEFAULT 10,
  RefusedCoolingSec INTEGER DEFAULT 60,
  -- Reverse proxies (addresses, comma-separated) whose clients are named by X-Forwarded-For.
  TrustedProxies    TEXT,
  -- The first agent of a customer pins its pass; later agents must give the same pass.
  PinAgentPass    INTEGER,
  -- The community of SNMP set requests (console commands); NULL or empty: the default one.
  SnmpSetComm     TEXT,
  -- The monitoring listener (HTTP, Prometheus text format); a token is a secret, and one is
  -- needed on any address but a loopback one.
  MetricsEnabled  INTEGER,
  MetricsIpAddr   TEXT,
  MetricsPort     INTEGER,
  MetricsToken    TEXT
);

CREATE TABLE Customer (
  CustID         TEXT UNIQUE,
  Enabled        INTEGER,
  Company        TEXT,
  BcaRecvName    TEXT,
  BcaRecvType    TEXT,
  BcaPoUserKey   TEXT,
  BcaPoDevice    TEXT,
  BcaMailAddress TEXT,
  AgentPassHash  TEXT
);

INSERT INTO General_Settings (
  ProgVersion, DebugMode,
  SnmpEnabled, SnmpIpAddr, SnmpPort, SnmpGetComm, SendAppEvents, TrapHost, TrapPort, TrapComm,
  SnmpStatus,
  WsEnabled, WsIpAddr, WsPort, WsStatus,
  WssEnabled, WssIpAddr, WssPort, CertSubject, CertType, CertStore, WssStatus,
  TestMessDaily, TestMessUserKey, TestMessDevice,
  MailHostAddress, MailPort, MailFromAddress, MailUseAuth, MailAuthMode, MailAccount, MailPassword,
  PinAgentPass,
  MetricsEnabled, MetricsIpAddr, MetricsPort
) VALUES (
  '1.0.0', 0,
  1, '127.0.0.1', 16161, 'public', 0, '127.0.0.1', 16162, 'public',
  'Not Started',
  1, '127.0.0.1', 8080, 'Not Started',
  1, '127.0.0.1', 8443, '', 'User', 'My', 'Not Started',
  0, '', '',
  '127.0.0.1', 25, 'vantor-web@localhost', 0, 'AUTH LOGIN', '', '',
  1,
  1, '127.0.0.1', 9480
);
)sql";

}  // namespace

DbStatus CreateSchema(Database& db) {
  return db.ExecuteScript(std::string("BEGIN;") + kSchema + "COMMIT;");
}

std::optional<std::string> OptionalSettingType(std::string_view column) {
  static constexpr std::string_view kText[] = {"PushApiUrl", "PushCaFile", "DownloadHost1", "DownloadHost2",
                                               "DownloadHost3", "MailSecurity", "TrustedProxies", "SnmpSetComm",
                                               "MetricsIpAddr", "MetricsToken"};
  static constexpr std::string_view kInteger[] = {"MaxOpeningPerAddr", "MaxRefusedPerAddr", "RefusedCoolingSec",
                                                  "PinAgentPass", "MetricsEnabled", "MetricsPort"};
  for (auto name : kText) {
    if (name == column) return "TEXT";
  }
  for (auto name : kInteger) {
    if (name == column) return "INTEGER";
  }
  return std::nullopt;
}

}  // namespace vantor
