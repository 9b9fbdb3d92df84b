#include "platform/tls/pass_hash.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <vector>

namespace vantor {
namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr std::size_t kMaxSaltBytes = 64;
// Stored texts with more rounds than this are refused rather than computed: a row edited by hand
// must not stall the event thread.
constexpr int kMaxIterations = 1'000'000;

using Bytes = std::vector<unsigned char>;

std::string Hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xf];
  }
  return text;
}

std::optional<Bytes> FromHex(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  Bytes bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto [end, ec] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, bytes[i], 16);
    if (ec != std::errc() || end != text.data() + 2 * i + 2) return std::nullopt;
  }
  return bytes;
}

std::optional<Bytes> Derive(std::string_view pass, const Bytes& salt, int iterations, std::size_t length) {
  Bytes hash(length);
  const int ok = PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()), salt.data(),
                                   static_cast<int>(salt.size()), iterations, EVP_sha256(),
                                   static_cast<int>(hash.size()), hash.data());
  if (ok != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  return hash;
}

struct StoredHash {
  int iterations = 0;
  Bytes salt;
  Bytes hash;
};

// Splits "scheme$iterations$salt$hash"; nullopt for anything else.
std::optional<StoredHash> Parse(std::string_view stored) {
  std::string_view parts[4];
  for (int i = 0; i < 3; ++i) {
    const auto sep = stored.find('$');
    if (sep == std::string_view::npos) return std::nullopt;
    parts[i] = stored.substr(0, sep);
    stored.remove_prefix(sep + 1);
  }
  parts[3] = stored;
  if (parts[0] != kScheme) return std::nullopt;
  StoredHash result;
  auto [end, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), result.iterations);
  if (ec != std::errc() || end != parts[1].data() + parts[1].size() || result.iterations < 1 ||
      result.iterations > kMaxIterations) {
    return std::nullopt;
  }
  auto salt = FromHex(parts[2]);
  auto hash = FromHex(parts[3]);
  if (!salt || !hash || salt->size() > kMaxSaltBytes || hash->size() != kHashBytes) return std::nullopt;
  result.salt = std::move(*salt);
  result.hash = std::move(*hash);
  return result;
}

}  // namespace

std::optional<std::string> HashPass(std::string_view pass) {
  Bytes salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  auto hash = Derive(pass, salt, kPassHashIterations, kHashBytes);
  if (!hash) return std::nullopt;
  return std::string(kScheme) + "$" + std::to_string(kPassHashIterations) + "$" + Hex(salt) + "$" + Hex(*hash);
}

bool PassMatches(std::string_view pass, std::string_view stored) {
  const auto parsed = Parse(stored);
  if (!parsed) return false;
  const auto derived = Derive(pass, parsed->salt, parsed->iterations, parsed->hash.size());
  return derived && CRYPTO_memcmp(derived->data(), parsed->hash.data(), parsed->hash.size()) == 0;
}

}  // namespace vantor
