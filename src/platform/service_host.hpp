#pragma once
// What the service tells the operating system's service manager. On Linux this is systemd's
// notification socket; without one (a run from a terminal) the calls do nothing.

#include <string>

namespace vantor {

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  virtual void NotifyReady() = 0;
  virtual void NotifyStopping() = 0;
  virtual void NotifyStatus(const std::string& text) = 0;
};

class SystemdServiceHost final : public ServiceHost {
 public:
  void NotifyReady() override;
  void NotifyStopping() override;
  void NotifyStatus(const std::string& text) override;
};

}  // namespace vantor
