// The self-signed certificate the TLS server uses when no subject is configured.

#include "platform/tls/certificate_manager.hpp"
#include "platform/tls/openssl_objects.hpp"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace vantor {

namespace fs = std::filesystem;

CertificateResult MakeSelfSignedCertificate(const std::string& commonName, std::chrono::hours validity) {
  try {
    KeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    if (!key || !cert) return {std::nullopt, "cannot create a key: " + LastOpenSslError()};
    X509_set_version(cert.get(), X509_VERSION_3);
    BnPtr serial(BN_new());
    BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(validity.count()) * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);

    const bool hostLike = !commonName.empty() && std::all_of(commonName.begin(), commonName.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
    });
    std::vector<std::pair<int, std::string>> extensions{{NID_basic_constraints, "critical,CA:FALSE"},
                                                        {NID_key_usage, "critical,digitalSignature"},
                                                        {NID_ext_key_usage, "serverAuth"}};
    if (hostLike) extensions.emplace_back(NID_subject_alt_name, "DNS:" + commonName);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
      if (ext == nullptr) return {std::nullopt, "cannot build a certificate extension: " + LastOpenSslError()};
      X509_add_ext(cert.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
      return {std::nullopt, "cannot sign the certificate: " + LastOpenSslError()};

    ServerCertificate out;
    out.selection = {0, "", commonName};
    out.credentials.certificateChainPem = PemOf(cert.get());
    out.credentials.privateKeyPem = PemOf(key.get());
    return {std::move(out), ""};
  } catch (const std::exception& e) {
    return {std::nullopt, std::string("self-signed certificate failed: ") + e.what()};
  }
}

}  // namespace vantor
