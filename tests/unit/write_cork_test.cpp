#include "platform/net/write_cork.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

struct CountingWriter : WriteCork::Writer {
  int flushes = 0;
  void FlushHeld() override { ++flushes; }
};

// Writes wait while a read is under way and all leave together when it ends; a read that never
// ends (a close handshake holding the library's read) delays them by a bounded number of passes.
TEST(WriteCork, HoldsWritesWhileReadsAreUnderWayAndNoLongerThanItsBound) {
  boost::asio::io_context io;
  auto& cork = WriteCork::Of(io);
  auto first = std::make_shared<CountingWriter>();
  auto second = std::make_shared<CountingWriter>();

  cork.ReadStarted();
  cork.Hold(first);
  cork.Hold(second);
  for (int pass = 0; pass < WriteCork::kMaxDeferrals / 2; ++pass) io.poll_one();
  EXPECT_EQ(first->flushes + second->flushes, 0);
  cork.ReadEnded();
  io.poll();
  EXPECT_EQ(first->flushes, 1);
  EXPECT_EQ(second->flushes, 1);

  io.restart();
  cork.ReadStarted();
  cork.Hold(first);
  EXPECT_EQ(io.poll(), static_cast<std::size_t>(WriteCork::kMaxDeferrals) + 1);
  EXPECT_EQ(first->flushes, 2);
  EXPECT_EQ(second->flushes, 1);
}

}  // namespace
}  // namespace vantor
