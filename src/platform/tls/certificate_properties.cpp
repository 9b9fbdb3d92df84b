// The certificate described property by property, as the certificate information file lists it.

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

#include <arpa/inet.h>

#include <cstdio>
#include <ctime>

namespace vantor {

namespace fs = std::filesystem;

namespace {

std::optional<X509Ptr> ParseLeaf(const ServerCertificate& certificate) {
  BioPtr bio(BIO_new_mem_buf(certificate.credentials.certificateChainPem.data(),
                             static_cast<int>(certificate.credentials.certificateChainPem.size())));
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr));
  ERR_clear_error();
  if (!cert) return std::nullopt;
  return cert;
}

std::string Hex(const unsigned char* data, std::size_t len) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(len * 2);
  for (std::size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}

std::string Digest(X509* cert, const EVP_MD* md) {
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, md, buf, &len) != 1) return "";
  return Hex(buf, len);
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string ObjectText(const ASN1_OBJECT* obj) {
  char oid[128];
  OBJ_obj2txt(oid, sizeof oid, obj, 1);
  const int nid = OBJ_obj2nid(obj);
  if (nid == NID_undef) return oid;
  return std::string(OBJ_nid2sn(nid)) + " (" + oid + ")";
}

std::string ExtendedKeyUsage(X509* cert) {
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
  if (eku == nullptr) return "";
  std::string out;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
    if (!out.empty()) out += ", ";
    out += ObjectText(sk_ASN1_OBJECT_value(eku, i));
  }
  EXTENDED_KEY_USAGE_free(eku);
  return out;
}

std::string SubjectAltNames(X509* cert) {
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  if (names == nullptr) return "";
  std::string out;
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
    std::string item;
    if (gn->type == GEN_DNS || gn->type == GEN_EMAIL || gn->type == GEN_URI) {
      const ASN1_STRING* s = gn->d.ia5;
      const char* label = gn->type == GEN_DNS ? "DNS:" : gn->type == GEN_EMAIL ? "email:" : "URI:";
      item = label + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                 static_cast<std::size_t>(ASN1_STRING_length(s)));
    } else if (gn->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = gn->d.iPAddress;
      char text[INET6_ADDRSTRLEN] = "";
      const int len = ASN1_STRING_length(ip);
      if (len == 4 || len == 16) inet_ntop(len == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text, sizeof text);
      item = std::string("IP:") + text;
    } else {
      continue;
    }
    if (!out.empty()) out += ", ";
    out += item;
  }
  GENERAL_NAMES_free(names);
  return out;
}

std::pair<std::string, std::string> KeyUsage(X509* cert) {
  const std::uint32_t bits = X509_get_key_usage(cert);
  if (bits == UINT32_MAX) return {"", "0"};  // no key usage extension: every use allowed
  static const std::pair<std::uint32_t, const char*> kNames[] = {
      {KU_DIGITAL_SIGNATURE, "digitalSignature"}, {KU_NON_REPUDIATION, "nonRepudiation"},
      {KU_KEY_ENCIPHERMENT, "keyEncipherment"},   {KU_DATA_ENCIPHERMENT, "dataEncipherment"},
      {KU_KEY_AGREEMENT, "keyAgreement"},         {KU_KEY_CERT_SIGN, "keyCertSign"},
      {KU_CRL_SIGN, "cRLSign"},                   {KU_ENCIPHER_ONLY, "encipherOnly"},
      {KU_DECIPHER_ONLY, "decipherOnly"}};
  std::string names;
  for (const auto& [bit, name] : kNames) {
    if ((bits & bit) == 0) continue;
    if (!names.empty()) names += ", ";
    names += name;
  }
  return {names, std::to_string(bits)};
}

std::string SerialNumber(X509* cert) {
  BnPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
  if (!bn) return "";
  char* hex = BN_bn2hex(bn.get());
  std::string out = hex ? hex : "";
  OPENSSL_free(hex);
  return out;
}

std::string PublicKeyHex(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(key, &der);
  if (len <= 0) return "";
  std::string out = Hex(der, static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return out;
}

std::string PublicKeyAlgorithm(X509* cert) {
  ASN1_OBJECT* alg = nullptr;
  if (X509_PUBKEY_get0_param(&alg, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert)) != 1 || !alg) return "";
  return ObjectText(alg);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> CertificateProperties(const ServerCertificate& certificate) {
  auto leaf = ParseLeaf(certificate);
  if (!leaf) return {};
  X509* cert = leaf->get();
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  const auto [usage, usageFlags] = KeyUsage(cert);
  const bool hasKey = !certificate.credentials.privateKeyPem.empty();
  const auto& sel = certificate.selection;
  return {
      {"CertEffectiveDate:", TimeText(X509_get0_notBefore(cert))},
      {"CertExpirationDate:", TimeText(X509_get0_notAfter(cert))},
      {"CertExtendedKeyUsage:", ExtendedKeyUsage(cert)},
      {"CertFingerprint:", Digest(cert, EVP_sha256())},
      {"CertIssuer:", SubjectLine(X509_get_issuer_name(cert))},
      {"CertKeyPassword:", ""},  // keys are unencrypted; no password is ever shown
      {"CertPrivateKey:", ""},   // the key itself never leaves the TLS context
      {"CertPrivateKeyAvailable:", hasKey ? "True" : "False"},
      {"CertPrivateKeyContainer:",
       certificate.keyFile.empty() ? std::string(hasKey ? "(generated in memory)" : "") : certificate.keyFile.string()},
      {"CertPublicKey:", pub ? PublicKeyHex(pub) : ""},
      {"CertPublicKeyAlgorithm:", PublicKeyAlgorithm(cert)},
      {"CertPublicKeyLength:", pub ? std::to_string(EVP_PKEY_get_bits(pub)) : ""},
      {"CertSerialNumber:", SerialNumber(cert)},
      {"CertSignatureAlgorithm:", OBJ_nid2ln(X509_get_signature_nid(cert))},
      {"CertStoreType:", sel.storeType ? std::to_string(*sel.storeType) : ""},
      {"CertStore:", sel.store},
      {"CertStorePassword:", ""},  // stores are folders; they have no password
      {"CertSubject:", SubjectLine(X509_get_subject_name(cert))},
      {"CertSubjectAltNames:", SubjectAltNames(cert)},
      {"CertThumbprintMD5:", Digest(cert, EVP_md5())},
      {"CertThumbprintSHA1:", Digest(cert, EVP_sha1())},
      {"CertUsage:", usage},
      {"CertUsageFlags:", usageFlags},
      {"CertVersion:", std::to_string(X509_get_version(cert) + 1)},
  };
}

std::string CertificateChainText(const ServerCertificate& certificate) {
  const std::string& pem = certificate.credentials.certificateChainPem;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::string out;
  int index = 0;
  while (X509* raw = PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr)) {
    X509Ptr cert(raw);
    out += std::to_string(index++) + " s:" + SubjectLine(X509_get_subject_name(raw)) +
           " i:" + SubjectLine(X509_get_issuer_name(raw)) + "\r\n";
  }
  ERR_clear_error();
  return out;
}

std::string CertificateInfoText(const ServerCertificate& certificate) {
  std::string out;
  for (const auto& [label, value] : CertificateProperties(certificate)) out += label + "\t\t" + value + "\r\n";
  out += "CertChain:\r\n";
  out += CertificateChainText(certificate);
  return out;
}

}  // namespace vantor
