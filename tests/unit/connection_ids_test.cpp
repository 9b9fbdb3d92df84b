// 70,000 connections through the id allocator, held and released the way a server's session
// table holds them (until the service's disconnect handler has returned): an id still held is
// never handed out, and a released id comes back only after every other free id has been handed
// out, so a late send or event meant for a closed connection cannot meet a new holder of its id
// for as long as 32,000 connections take.
#include "platform/net/connection_ids.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vantor {
namespace {

constexpr long kMaxOpen = 600;

TEST(ConnectionIds, HeldIdsAreSkippedAndReleasedOnesComeBackLast) {
  ConnectionIdAllocator ids;
  std::map<ConnectionId, long> holder;     // id -> serial number of the connection holding it
  std::map<ConnectionId, long> closesAt;   // id -> allocation count at which it is released
  std::map<ConnectionId, long> releasedAt;
  std::mt19937 random(7);
  auto held = [&](ConnectionId id) { return holder.contains(id); };
  const ConnectionId longLived = ids.Next(held);
  holder[longLived] = -1;

  for (long n = 1; n <= 70'000; ++n) {
    const ConnectionId id = ids.Next(held);
    ASSERT_GE(id, 1);
    ASSERT_LE(id, kMaxConnectionId);
    ASSERT_FALSE(holder.contains(id)) << "id " << id << " handed out while held";
    // Only the long-lived connection is held when the allocator comes round to an id again, so
    // every other id was handed out since this one was (at most 600 of them before its release).
    if (auto it = releasedAt.find(id); it != releasedAt.end()) {
      ASSERT_GE(n - it->second, kMaxConnectionId - 2 - kMaxOpen) << id;
    }
    holder[id] = n;
    closesAt[id] = n + 1 + static_cast<long>(random() % kMaxOpen);  // up to 600 open at once, closed out of order
    for (auto it = closesAt.begin(); it != closesAt.end();) {
      if (it->second > n) {
        ++it;
        continue;
      }
      holder.erase(it->first);
      releasedAt[it->first] = n;
      it = closesAt.erase(it);
    }
  }
  EXPECT_EQ(holder.at(longLived), -1);  // kept its id through two wrap-arounds
}

}  // namespace
}  // namespace vantor
