#pragma once

#include "platform/host/service_host.hpp"

#include <string>
#include <vector>

namespace vantor::testing {

// Records what the service told the service manager, in order.
class FakeServiceHost final : public ServiceHost {
 public:
  void NotifyReady() override { notes.push_back("READY"); }
  void NotifyStopping() override { notes.push_back("STOPPING"); }
  void NotifyStatus(const std::string& text) override { notes.push_back("STATUS=" + text); }
  void Log(LogPriority priority, std::string_view text) override {
    logged.push_back(JournalLine(priority, text));
  }

  std::vector<std::string> notes;
  std::vector<std::string> logged;  // journal lines, "<N>text\n"
};

}  // namespace vantor::testing
