#pragma once
// Owning handles for OpenSSL objects and the few PEM and name helpers that the certificate
// store, the self-signed certificate and the certificate properties share. Plain functions
// without state, callable from any thread; failures come back as empty results, and the OpenSSL
// error queue is left clear.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vantor {

template <auto Free>
struct OpenSslDeleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;

// A password callback that refuses encrypted keys instead of prompting on the terminal.
int NoPassword(char*, int, int, void*);

// The text of the last queued OpenSSL error ("unknown error" when none); clears the queue.
std::string LastOpenSslError();

// Every certificate of a PEM file, in file order; empty when it cannot be read.
std::vector<X509Ptr> ReadCertificates(const std::filesystem::path& file);

// The first unencrypted private key of a PEM file, or nullptr.
KeyPtr ReadKey(const std::filesystem::path& file);

// A name printed with X509_NAME_print_ex `flags`.
std::string NameText(const X509_NAME* name, unsigned long flags);

// "CN=host, O=Org, C=US": most specific part first, as certificate tools usually show it.
std::string SubjectLine(const X509_NAME* name);

std::string PemOf(X509* cert);
std::string PemOf(EVP_PKEY* key);

}  // namespace vantor
