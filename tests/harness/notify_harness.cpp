// Runs one notifier call with the real libcurl clients in a program directory and prints what
// came out, for the integration tests:
//   notify_harness DIR [--timeout-ms N] push MESSAGE USERKEY DEVICE
//   notify_harness DIR [--timeout-ms N] mail MESSAGE ADDRESS
// Output lines: "STATUS n" and "RESULT text", with CR and LF in the text written as \r and \n.

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
  for (char c : text) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return out;
}

int Usage() {
  std::cerr << "usage: notify_harness DIR [--timeout-ms N] push|mail ARGS...\n";
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
      [](const std::string&, const std::string&, int, const std::string&, const std::string&) {},
      [] { return std::string("127.0.0.1"); }, timeouts);

  auto done = asio::co_spawn(io, RunCommand(notifier, args), asio::use_future);
  io.run();
  try {
    done.get();
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return Usage();
  }
  return 0;
}
