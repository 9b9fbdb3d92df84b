// Certificate selection from PEM store folders and the certificate information block. Test
// certificates are made with the openssl command, so the expected thumbprints come from a tool
// independent of the code under test.

#include "platform/tls/certificate_manager.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tuple>

namespace vantor {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 512> buf{};
  while (fgets(buf.data(), buf.size(), pipe) != nullptr) out += buf.data();
  pclose(pipe);
  return out;
}

std::map<std::string, std::string> PropertyMap(const ServerCertificate& certificate) {
  std::map<std::string, std::string> value;
  for (const auto& [label, v] : CertificateProperties(certificate)) value[label] = v;
  return value;
}

class CertificateStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vantor-cert-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "user" / "My");
    fs::create_directories(root_ / "computer" / "My");
    roots_ = {root_ / "user", root_ / "computer"};
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes <dir>/<name>.pem and <dir>/<name>.key for a self-signed P-256 certificate.
  void MakeCert(const fs::path& dir, const std::string& name, const std::string& subj) {
    const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '" +
                            subj + "' -addext 'subjectAltName=DNS:host.example,IP:127.0.0.1'" +
                            " -addext 'extendedKeyUsage=serverAuth' -addext 'keyUsage=digitalSignature'" +
                            " -keyout '" + (dir / (name + ".key")).string() + "' -out '" +
                            (dir / (name + ".pem")).string() + "'";
    ASSERT_EQ(std::system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;
  }

  CertificateResult Select(int type, const std::string& subject, const std::string& store = "My") {
    return SelectServerCertificate(roots_, {type, store, subject});
  }

  fs::path root_;
  CertStoreRoots roots_;
};

TEST_F(CertificateStoreTest, MatchesCommonNameOrWholeSubjectWithTheKeyBesideOrWithin) {
  const fs::path dir = root_ / "user" / "My";
  MakeCert(dir, "other", "/C=US/O=Acme/CN=other.example");
  MakeCert(dir, "server", "/C=US/O=Acme/CN=host.example");

  for (const std::string subject : {"host.example", "CN=host.example, O=Acme, C=US", "CN=host.example,O=Acme,C=US",
                                    "/C=US/O=Acme/CN=host.example"}) {
    auto result = Select(0, subject);
    ASSERT_TRUE(result.certificate) << subject << ": " << result.error;
    EXPECT_EQ(result.certificate->certificateFile, dir / "server.pem") << subject;
    EXPECT_EQ(result.certificate->keyFile, dir / "server.key") << subject;
    EXPECT_EQ(result.certificate->credentials.certificateChainPem, ReadFile(dir / "server.pem"));
  }
  // Neither a partial subject nor another case matches.
  for (const char* subject : {"host", "HOST.EXAMPLE", "O=Acme"}) EXPECT_FALSE(Select(0, subject).certificate);

  // The computer store, with the key in the certificate's own file, is not the user store.
  const fs::path computer = root_ / "computer" / "My";
  MakeCert(computer, "combined", "/CN=wss.example");
  std::ofstream(computer / "combined.pem", std::ios::app) << ReadFile(computer / "combined.key");
  fs::remove(computer / "combined.key");
  EXPECT_FALSE(Select(0, "wss.example").certificate);
  auto combined = Select(1, "wss.example");
  ASSERT_TRUE(combined.certificate) << combined.error;
  EXPECT_EQ(combined.certificate->keyFile, computer / "combined.pem");
  EXPECT_NE(combined.certificate->credentials.privateKeyPem.find("PRIVATE KEY"), std::string::npos);
}

TEST_F(CertificateStoreTest, FailuresExplainThemselves) {
  const fs::path dir = root_ / "user" / "My";
  MakeCert(dir, "nokey", "/CN=nokey.example");
  fs::remove(dir / "nokey.key");
  MakeCert(dir, "a", "/CN=a.example");
  MakeCert(dir, "b", "/CN=b.example");
  fs::rename(dir / "b.key", dir / "a.key");  // a.pem now sits next to b's key

  const std::vector<std::tuple<std::optional<int>, std::string, std::string, std::string>> cases = {
      {0, "nokey.example", "My", "private key"},  {0, "a.example", "My", "private key"},
      {0, "absent.example", "My", "absent.example"}, {0, "a.example", "NoSuchStore", "not found"},
      {0, "a.example", "../user", "plain folder name"}, {std::nullopt, "a.example", "My", "store type"}};
  for (const auto& [type, subject, store, why] : cases) {
    const auto result = SelectServerCertificate(roots_, {type, store, subject});
    EXPECT_FALSE(result.certificate) << subject;
    EXPECT_NE(result.error.find(why), std::string::npos) << result.error;
  }
}

TEST_F(CertificateStoreTest, PropertiesAndInfoTextComputedFromTheCertificate) {
  const fs::path dir = root_ / "user" / "My";
  MakeCert(dir, "server", "/C=US/O=Acme/CN=host.example");
  auto result = Select(0, "host.example");
  ASSERT_TRUE(result.certificate) << result.error;
  auto value = PropertyMap(*result.certificate);

  // Thumbprints and serial as the openssl tool reports them (colons removed).
  auto tool = [&](const std::string& args) {
    std::string out = Shell("openssl x509 -noout " + args + " -in '" + (dir / "server.pem").string() + "'");
    std::erase_if(out, [](char c) { return c == ':' || c == '\n'; });
    return out.substr(out.find('=') + 1);
  };
  EXPECT_EQ(value["CertThumbprintSHA1:"], tool("-fingerprint -sha1"));
  EXPECT_EQ(value["CertThumbprintMD5:"], tool("-fingerprint -md5"));
  EXPECT_EQ(value["CertFingerprint:"], tool("-fingerprint -sha256"));
  EXPECT_EQ(value["CertSerialNumber:"], tool("-serial"));
  EXPECT_EQ(value["CertSubject:"], "CN=host.example, O=Acme, C=US");
  EXPECT_EQ(value["CertSubjectAltNames:"], "DNS:host.example, IP:127.0.0.1");
  EXPECT_EQ(value["CertExtendedKeyUsage:"], "serverAuth (1.3.6.1.5.5.7.3.1)");
  EXPECT_EQ(value["CertUsageFlags:"], "128");
  EXPECT_EQ(value["CertPublicKeyLength:"], "256");
  EXPECT_EQ(value["CertPrivateKeyContainer:"], (dir / "server.key").string());
  EXPECT_LT(value["CertEffectiveDate:"], value["CertExpirationDate:"]);

  // The info text: "label<TAB><TAB>value" lines with CR LF, "CertChain:" and the chain, and no
  // line of the private key.
  const std::string text = CertificateInfoText(*result.certificate);
  EXPECT_EQ(text.find("PRIVATE"), std::string::npos);
  std::istringstream key(ReadFile(dir / "server.key"));
  for (std::string line; std::getline(key, line);) {
    if (line.rfind("-----", 0) != 0 && line.size() >= 16) { EXPECT_EQ(text.find(line), std::string::npos) << line; }
  }
  EXPECT_EQ(text.rfind("CertEffectiveDate:\t\t", 0), 0u);
  EXPECT_TRUE(text.ends_with("\r\nCertVersion:\t\t3\r\nCertChain:\r\n"
                             "0 s:CN=host.example, O=Acme, C=US i:CN=host.example, O=Acme, C=US\r\n"))
      << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 26);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 26);
}

TEST(SelfSignedCertificate, FreshKeyAndSerialEachTimeAndDescribed) {
  auto result = MakeSelfSignedCertificate("vantor.local");
  ASSERT_TRUE(result.certificate) << result.error;
  auto value = PropertyMap(*result.certificate);
  EXPECT_EQ(value["CertSubject:"], "CN=vantor.local");
  EXPECT_EQ(value["CertIssuer:"], "CN=vantor.local");
  EXPECT_EQ(value["CertSubjectAltNames:"], "DNS:vantor.local");
  EXPECT_EQ(value["CertPrivateKeyAvailable:"], "True");

  auto other = MakeSelfSignedCertificate("vantor.local");
  ASSERT_TRUE(other.certificate);
  EXPECT_NE(other.certificate->credentials.privateKeyPem, result.certificate->credentials.privateKeyPem);
  EXPECT_NE(PropertyMap(*other.certificate)["CertSerialNumber:"], value["CertSerialNumber:"]);
}

}  // namespace
}  // namespace vantor
