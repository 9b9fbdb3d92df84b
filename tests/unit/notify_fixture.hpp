#pragma once
// A Notifier on fake clients, a fake clock and a fresh program directory, with the status traps
// it forwards collected in order.

#include "fakes/fake_clock.hpp"
#include "fakes/fake_https_client.hpp"
#include "fakes/fake_smtp_client.hpp"
#include "notify/notifier.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace vantor::testing {

struct Trap {
  std::string receiver, subject;
  int status;
  std::string result, channel;
  bool operator==(const Trap&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Trap& t) {
  return os << "{" << t.receiver << " | " << t.subject << " | " << t.status << " | " << t.result
            << " | " << t.channel << "}";
}

class NotifyTest : public ::testing::Test {
 protected:
  NotifyTest()
      : notifier_(clock_, pool_, events_, dir_.database(), writer_, https_, smtp_,
                  [this](const std::string& receiver, const std::string& subject, int status,
                         const std::string& result, const std::string& channel) {
                    traps_.push_back({receiver, subject, status, result, channel});
                    trapsAfter_.push_back(Waited());
                  },
                  [] { return std::string("192.0.2.7"); }) {}

  template <typename T>
  T Run(asio::awaitable<T> work) {
    T out{};
    RunToEnd(io_, [&]() -> asio::awaitable<void> { out = co_await std::move(work); }());
    return out;
  }
  void Run(asio::awaitable<void> work) { RunToEnd(io_, std::move(work)); }

  // How far the clock has moved since the test began: the notifier's pauses.
  std::chrono::milliseconds Waited() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now() - kStart);
  }

  // Event lines without their time stamps: "level TAB module_procedure TAB text".
  std::vector<std::string> Events() const { return EventLines(events_.file()); }

  // Stores the alarm receiver of `custID`: name, type, push user key, push device, mail address;
  // a null pointer stores NULL.
  void SetReceiver(const std::string& custID, std::initializer_list<const char*> fields) {
    std::vector<DbValue> params{custID};
    for (const char* f : fields) params.push_back(f ? DbValue(std::string(f)) : DbValue(std::monostate{}));
    dir_.Sql("INSERT INTO Customer (CustID, Enabled, Company, BcaRecvName, BcaRecvType, "
             "BcaPoUserKey, BcaPoDevice, BcaMailAddress) VALUES (?, 1, 'Acme', ?, ?, ?, ?, ?)",
             params);
  }

  const SystemTime kStart = LocalTimePoint(2026, 3, 14, 8, 0, 30);
  TempProgramDir dir_;
  FakeClock clock_{kStart};
  asio::io_context io_;
  WorkerPool pool_{1};
  AppEventLog events_{clock_, dir_.path()};
  FakeHttpsClient https_;
  FakeSmtpClient smtp_;
  std::vector<Trap> traps_;
  std::vector<std::chrono::milliseconds> trapsAfter_;  // Waited() when each trap went out
  DatabaseWriter writer_{io_, dir_.database(), {}};
  Notifier notifier_;
};

}  // namespace vantor::testing
