#include "platform/host/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace vantor {

InstanceLock::InstanceLock(const std::filesystem::path& file) {
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    result_ = Result::kError;
    return;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    result_ = Result::kAcquired;
  } else {
    result_ = errno == EWOULDBLOCK ? Result::kHeldByAnother : Result::kError;
  }
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace vantor
