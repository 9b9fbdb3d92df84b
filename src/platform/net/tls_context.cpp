#include "platform/net/tls_context.hpp"

#include <boost/asio/buffer.hpp>

#include <openssl/ssl.h>

namespace vantor {

namespace ssl = boost::asio::ssl;

namespace {
// TLS 1.2 suites: ECDHE key exchange (forward secrecy) with AES-GCM or ChaCha20-Poly1305 (AEAD),
// in the server's order of preference. TLS 1.3 keeps OpenSSL's own suites, all of that kind.
constexpr char kTls12Suites[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
}  // namespace

TlsContextResult MakeTlsServerContext(const TlsCredentials& credentials) {
  try {
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    if (SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION) != 1)
      return {nullptr, "cannot restrict TLS to version 1.2 and later"};
    if (SSL_CTX_set_cipher_list(ctx->native_handle(), kTls12Suites) != 1)
      return {nullptr, "cannot restrict TLS 1.2 to forward-secret AEAD suites"};
    // A renegotiation would let a client make the server redo handshakes at will; the server
    // picks the suite by its own order, strongest first, not the client's.
    SSL_CTX_set_options(ctx->native_handle(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    boost::system::error_code ec;
    ctx->use_certificate_chain(boost::asio::buffer(credentials.certificateChainPem), ec);
    if (ec) return {nullptr, "cannot load the server certificate: " + ec.message()};
    ctx->use_private_key(boost::asio::buffer(credentials.privateKeyPem), ssl::context::pem, ec);
    if (ec) return {nullptr, "cannot load the private key: " + ec.message()};
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1)
      return {nullptr, "the private key does not belong to the server certificate"};
    return {std::move(ctx), {}};
  } catch (const std::exception& e) {
    return {nullptr, std::string("cannot set up TLS: ") + e.what()};
  }
}

}  // namespace vantor
