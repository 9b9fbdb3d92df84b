#include "platform/service_host.hpp"

#include <systemd/sd-daemon.h>

namespace vantor {

void SystemdServiceHost::NotifyReady() { sd_notify(0, "READY=1"); }
void SystemdServiceHost::NotifyStopping() { sd_notify(0, "STOPPING=1"); }
void SystemdServiceHost::NotifyStatus(const std::string& text) {
  sd_notify(0, ("STATUS=" + text).c_str());
}

}  // namespace vantor
