#include "platform/tls_context.hpp"

#include <boost/asio/buffer.hpp>

#include <openssl/ssl.h>

namespace vantor {

namespace ssl = boost::asio::ssl;

TlsContextResult MakeTlsServerContext(const TlsCredentials& credentials) {
  try {
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    if (SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION) != 1)
      return {nullptr, "cannot restrict TLS to version 1.2 and later"};
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
