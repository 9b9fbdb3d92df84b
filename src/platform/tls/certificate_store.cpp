// Choosing the server certificate and its key from the PEM files of a store folder.

#include "platform/tls/certificate_manager.hpp"
#include "platform/tls/openssl_objects.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>

namespace vantor {

namespace fs = std::filesystem;

namespace {

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

}  // namespace vantor
