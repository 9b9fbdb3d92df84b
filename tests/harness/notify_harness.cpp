// Runs one notifier call with the real libcurl clients in a program directory and prints what
// came out, for the integration tests:
//   notify_harness DIR [--timeout-ms N] push MESSAGE USERKEY DEVICE
//   notify_harness DIR [--timeout-ms N] mail MESSAGE ADDRESS
//   notify_harness DIR [--timeout-ms N] alarm CUSTID | daily HOUR | save CUSTID PAYLOAD
// Output lines: "STATUS n", "RESULT text", one "TRAP receiver TAB subject TAB status TAB result
// TAB channel" per forwarded status trap, "LIMITS limit remaining". CR, LF, TAB and backslash in
// texts are written as \r, \n, \t and \\.

#include "core/schema.hpp"
#include "logging/app_event.hpp"
#include "notify/notifier.hpp"
#include "platform/async/worker_pool.hpp"
#include "platform/curl/https_client.hpp"
#include "platform/curl/smtp_client.hpp"
#include "platform/host/clock.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace vantor;

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

int Usage() {
  std::cerr << "usage: notify_harness DIR [--timeout-ms N] push|mail|alarm|daily|save ARGS...\n";
  return 2;
}

asio::awaitable<void> RunCommand(Notifier& notifier, const std::vector<std::string>& a) {
  const std::string& command = a[0];
  auto print = [](const SendOutcome& sent) {
    std::cout << "STATUS " << sent.status << "\nRESULT " << Escape(sent.result) << "\n";
  };
  if (command == "push" && a.size() == 4) {
    print(co_await notifier.SendMobilePO(a[1], a[2], a[3], "0"));
  } else if (command == "mail" && a.size() == 3) {
    print(co_await notifier.SendMailSMTP(a[1], a[2], "3"));
  } else if (command == "alarm" && a.size() == 2) {
    co_await notifier.SendBrokenConnAlarm(a[1]);
  } else if (command == "daily" && a.size() == 2) {
    co_await notifier.TestMessDaily(std::stoi(a[1]));
  } else if (command == "save" && a.size() == 3) {
    co_await notifier.SaveBrokenConnAlarm(a[1], a[2]);
  } else {
    throw std::invalid_argument("unknown command or wrong argument count");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2) return Usage();
  const std::filesystem::path dir = args[0];
  args.erase(args.begin());
  NotifyTimeouts timeouts;
  if (args.size() >= 2 && args[0] == "--timeout-ms") {
    const std::chrono::milliseconds limit(std::stol(args[1]));
    timeouts.push = {limit, limit};
    timeouts.mailConnect = limit;
    timeouts.mailTotal = limit;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage();

  asio::io_context io;
  RealClock clock(io);
  WorkerPool pool(2);
  AppEventLog events(clock, dir);
  auto https = MakeCurlHttpsClient();
  auto smtp = MakeCurlSmtpClient();
  DatabaseWriter writer(io, dir / kDatabaseFileName, {});
  Notifier notifier(
      clock, pool, events, dir / kDatabaseFileName, writer, *https, *smtp,
      [](const std::string& receiver, const std::string& subject, int status,
         const std::string& result, const std::string& channel) {
        std::cout << "TRAP " << Escape(receiver) << "\t" << Escape(subject) << "\t" << status
                  << "\t" << Escape(result) << "\t" << Escape(channel) << "\n";
      },
      [] { return std::string("127.0.0.1"); }, timeouts);

  auto done = asio::co_spawn(io, RunCommand(notifier, args), asio::use_future);
  io.run();
  try {
    done.get();
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return Usage();
  }
  std::cout << "LIMITS " << notifier.appLimit() << " " << notifier.appRemaining() << "\n";
  return 0;
}
