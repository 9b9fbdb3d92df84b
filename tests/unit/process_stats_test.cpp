#include "platform/host/process_stats.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

namespace vantor {
namespace {

TEST(ProcessStats, ReadsThisProcessFromProc) {
  const ProcessStats before = ReadProcessStats();
  const int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  const ProcessStats after = ReadProcessStats();
  close(fd);
  EXPECT_EQ(after.openFds, before.openFds + 1);
  EXPECT_GT(after.residentBytes, 1024u * 1024u);
  EXPECT_GE(after.cpuSeconds, before.cpuSeconds);
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_LE(after.startTimeSeconds, now + 1);
  EXPECT_GT(after.startTimeSeconds, now - 3600);  // the test binary started within the hour
}

}  // namespace
}  // namespace vantor
