#include "platform/certificate_manager.hpp"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace vantor {

namespace fs = std::filesystem;

namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

// Refuses encrypted keys instead of prompting for a password on the terminal.
int NoPassword(char*, int, int, void*) { return 0; }

std::string LastOpenSslError() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, static_cast<std::size_t>(len)) : std::string();
}

std::vector<X509Ptr> ReadCertificates(const fs::path& file) {
  std::vector<X509Ptr> certs;
  BioPtr bio(BIO_new_file(file.c_str(), "r"));
  if (!bio) return certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr)) certs.emplace_back(cert);
  ERR_clear_error();  // the loop always ends on "no start line"
  return certs;
}

KeyPtr ReadKey(const fs::path& file) {
  BioPtr bio(BIO_new_file(file.c_str(), "r"));
  if (!bio) return nullptr;
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
  ERR_clear_error();
  return key;
}

std::string NameText(const X509_NAME* name, unsigned long flags) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), name, 0, flags);
  return BioText(bio.get());
}

// "CN=host, O=Org, C=US": most specific part first, as certificate tools usually show it.
std::string SubjectLine(const X509_NAME* name) {
  return NameText(name, XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN | ASN1_STRFLGS_RFC2253);
}

bool SubjectMatches(X509* cert, const std::string& wanted) {
  const X509_NAME* name = X509_get_subject_name(cert);
  for (int i = -1; (i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) >= 0;) {
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, value);
    if (len < 0) continue;
    const bool equal = std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len)) == wanted;
    OPENSSL_free(utf8);
    if (equal) return true;
  }
  if (wanted == SubjectLine(name) || wanted == NameText(name, XN_FLAG_RFC2253)) return true;
  char oneline[1024];
  X509_NAME_oneline(name, oneline, sizeof oneline);
  return wanted == oneline;
}

bool ValidNow(X509* cert) {
  return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 && X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

std::string PemOf(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  return BioText(bio.get());
}

std::string PemOf(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  return BioText(bio.get());
}

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

// The key that belongs to `cert`: in its own file first, then in the ".key" companion.
CertificateResult Complete(X509* leaf, const std::vector<X509Ptr>& chain, const fs::path& file,
                           const CertificateSelection& selection) {
  std::vector<fs::path> keyFiles{file, fs::path(file).replace_extension(".key"), fs::path(file.string() + ".key")};
  for (const auto& keyFile : keyFiles) {
    std::error_code ec;
    if (!fs::is_regular_file(keyFile, ec)) continue;
    KeyPtr key = ReadKey(keyFile);
    if (!key) continue;
    if (X509_check_private_key(leaf, key.get()) != 1) {
      ERR_clear_error();
      continue;
    }
    ServerCertificate out;
    out.selection = selection;
    out.certificateFile = file;
    out.keyFile = keyFile;
    for (const auto& cert : chain) out.credentials.certificateChainPem += PemOf(cert.get());
    out.credentials.privateKeyPem = PemOf(key.get());
    return {std::move(out), ""};
  }
  return {std::nullopt, "certificate \"" + selection.subject + "\" in " + file.string() +
                            " has no matching unencrypted private key (same file or .key file)"};
}

bool PlainFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

CertStoreRoots CertStoreRoots::ForProgramDirectory(const fs::path& programDirectory) {
  return {programDirectory / "Cert", "/etc/vantor-web/cert"};
}

CertificateResult SelectServerCertificate(const CertStoreRoots& roots, const CertificateSelection& selection) {
  try {
    if (!selection.storeType || (*selection.storeType != 0 && *selection.storeType != 1))
      return {std::nullopt, "certificate store type is not set (CertType must be \"User\" or \"Computer\")"};
    if (!PlainFolderName(selection.store))
      return {std::nullopt, "certificate store name \"" + selection.store + "\" is not a plain folder name"};
    if (selection.subject.empty()) return {std::nullopt, "certificate subject is empty"};
    const fs::path folder = (*selection.storeType == 0 ? roots.user : roots.computer) / selection.store;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return {std::nullopt, "certificate store folder " + folder.string() + " not found"};

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const auto ext = entry.path().extension();
      if (entry.is_regular_file(ec) && (ext == ".pem" || ext == ".crt" || ext == ".cer")) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());

    struct Candidate {
      fs::path file;
      std::vector<X509Ptr> chain;
    };
    std::vector<Candidate> matches;
    for (const auto& file : files) {
      auto chain = ReadCertificates(file);
      if (!chain.empty() && SubjectMatches(chain.front().get(), selection.subject))
        matches.push_back({file, std::move(chain)});
    }
    if (matches.empty())
      return {std::nullopt, "no certificate with subject \"" + selection.subject + "\" in " + folder.string()};

    // Valid now first, then the latest expiry; stable so that file order decides ties.
    std::stable_sort(matches.begin(), matches.end(), [](const Candidate& a, const Candidate& b) {
      X509* x = a.chain.front().get();
      X509* y = b.chain.front().get();
      if (ValidNow(x) != ValidNow(y)) return ValidNow(x);
      return ASN1_TIME_compare(X509_get0_notAfter(x), X509_get0_notAfter(y)) > 0;
    });
    CertificateResult last;
    for (const auto& match : matches) {
      last = Complete(match.chain.front().get(), match.chain, match.file, selection);
      if (last.certificate) return last;
    }
    return last;
  } catch (const std::exception& e) {
    return {std::nullopt, std::string("certificate selection failed: ") + e.what()};
  }
}

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
