#pragma once
// The TLS server's certificate: chosen by store type, store name and subject from PEM files, or
// generated (self-signed) when none is configured, and described property by property for
// "Debug/CertInfo_Server.txt".
//
// Stores are folders of PEM files:
//   store type 0 ("User"):     <CertStoreRoots::user>/<store>/
//   store type 1 ("Computer"): <CertStoreRoots::computer>/<store>/
// Every *.pem, *.crt and *.cer file of the folder is read; its first certificate is the candidate,
// the certificates after it are its chain. A candidate matches when one of its subject common
// names, or its whole subject line, equals the configured subject exactly. The whole subject line
// may be written as "CN=host,O=Org,C=US", "CN=host, O=Org, C=US" or "/C=US/O=Org/CN=host". The
// private key is the one in the same file, otherwise the one in the file of the same name with
// ".key" in place of the extension (or ".key" appended). Keys must be unencrypted PEM: the service
// holds no password. When several certificates match, one valid now is preferred, then the one
// that expires last.
//
// Nothing here throws; failures come back as an error text fit for the event log.

#include "platform/net/websocket_server.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantor {

struct CertificateSelection {
  std::optional<int> storeType;  // 0 user, 1 computer; empty when CertType named neither
  std::string store;
  std::string subject;
};

struct CertStoreRoots {
  std::filesystem::path user;      // folder holding the user stores
  std::filesystem::path computer;  // folder holding the computer stores
};

struct ServerCertificate {
  CertificateSelection selection;          // what was asked for (store type 0 for a generated one)
  std::filesystem::path certificateFile;   // empty for a generated certificate
  std::filesystem::path keyFile;           // file the key came from; empty for a generated one
  TlsCredentials credentials;              // chain and key as PEM, for WebSocketServer::UseTls
};

struct CertificateResult {
  std::optional<ServerCertificate> certificate;
  std::string error;  // set when certificate is empty
};

// Finds the certificate and its key. Fails when the store type is unset, the store name is not a
// plain folder name, the folder is missing, nothing matches, or the matching certificate has no
// usable key.
CertificateResult SelectServerCertificate(const CertStoreRoots& roots, const CertificateSelection& selection);

// A fresh self-signed server certificate (P-256 key, SHA-256, serverAuth) for `commonName`, valid
// from an hour ago for `validity`. Used when the TLS server is enabled without a configured subject.
CertificateResult MakeSelfSignedCertificate(const std::string& commonName,
                                            std::chrono::hours validity = std::chrono::hours(24 * 365));

// The certificate's properties as (label, value), in the order of the certificate information file:
// CertEffectiveDate ... CertVersion. Passwords and the private key are never part of a value.
std::vector<std::pair<std::string, std::string>> CertificateProperties(const ServerCertificate& certificate);

// One text line per certificate of the chain, leaf first: "<n> s:<subject> i:<issuer>", CR LF ended.
std::string CertificateChainText(const ServerCertificate& certificate);

// The property block of the certificate information file: "label<TAB><TAB>value" lines, then
// "CertChain:" alone, then the chain text; every line ends with CR LF.
std::string CertificateInfoText(const ServerCertificate& certificate);

}  // namespace vantor
