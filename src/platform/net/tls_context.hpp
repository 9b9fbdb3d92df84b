#pragma once
// The TLS context of the WebSocket server, with the server certificate, its chain and its
// private key loaded from PEM text. TLS 1.2 and 1.3 only; TLS 1.2 with forward-secret AEAD suites
// only (ECDHE with AES-GCM or ChaCha20-Poly1305), TLS 1.3 with OpenSSL's suites; the server's
// order of suites decides; no renegotiation.

#include "platform/net/websocket_server.hpp"

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace vantor {

struct TlsContextResult {
  std::shared_ptr<boost::asio::ssl::context> context;  // empty on failure
  std::string error;                                   // set on failure, fit for the caller's report
};

// Builds a server context from `credentials`. Fails when the protocol floor or the suites cannot
// be set, the certificate or key cannot be loaded, or the key does not belong to the certificate.
// Does not throw. The server shares the context among its sessions and leaves it unchanged afterwards.
TlsContextResult MakeTlsServerContext(const TlsCredentials& credentials);

}  // namespace vantor
