#include "platform/tls/openssl_objects.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace vantor {

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

std::vector<X509Ptr> ReadCertificates(const std::filesystem::path& file) {
  std::vector<X509Ptr> certs;
  BioPtr bio(BIO_new_file(file.c_str(), "r"));
  if (!bio) return certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr)) certs.emplace_back(cert);
  ERR_clear_error();  // the loop always ends on "no start line"
  return certs;
}

KeyPtr ReadKey(const std::filesystem::path& file) {
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

std::string SubjectLine(const X509_NAME* name) {
  return NameText(name, XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN | ASN1_STRFLGS_RFC2253);
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

}  // namespace vantor
