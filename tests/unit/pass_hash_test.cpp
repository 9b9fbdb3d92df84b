#include "platform/tls/pass_hash.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

// A stored hash matches its own pass only: another pass, a hash altered in its last digit (the
// whole hash is compared, not a prefix), and texts that are no hash all match nothing.
TEST(PassHash, MatchesOnlyTheWholeHashOfItsOwnPass) {
  const auto stored = HashPass("s3cret pass");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(PassMatches("s3cret pass", *stored));
  EXPECT_NE(*HashPass("s3cret pass"), *stored) << "each hash has its own salt";

  std::string altered = *stored;
  altered.back() = altered.back() == '0' ? '1' : '0';
  for (const std::string& text : {std::string("s3cret pasS"), std::string(""), std::string("s3cret pass ")})
    EXPECT_FALSE(PassMatches(text, *stored)) << text;
  for (const std::string& bad : {altered, std::string("s3cret pass"), std::string("pbkdf2-sha256$0$00$00"),
                                 stored->substr(0, stored->size() - 2)})
    EXPECT_FALSE(PassMatches("s3cret pass", bad)) << bad;
}

}  // namespace
}  // namespace vantor
