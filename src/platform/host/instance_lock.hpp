#pragma once

#include <filesystem>

namespace vantor {

// Holds an exclusive advisory lock (flock) on a file of the program directory for the life of the
// process, so only one instance runs per program directory. The lock file is never deleted: a
// deleted file would let a second process lock a new file of the same name.
class InstanceLock {
 public:
  enum class Result { kAcquired, kHeldByAnother, kError };

  explicit InstanceLock(const std::filesystem::path& file);
  ~InstanceLock();

  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  Result result() const { return result_; }

 private:
  int fd_ = -1;
  Result result_;
};

}  // namespace vantor
