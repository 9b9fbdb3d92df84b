#pragma once
// The vocabulary of procedures and their events: the module names that prefix every procedure
// name in the event log, the event levels, and the boundary at which a procedure's failures are
// caught.
//
// Every procedure catches the failures of its body once, at its boundary, and reports them as one
// level-1 application event; the caller is not told. Work done before the failure stays done.

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <string>
#include <string_view>

namespace vantor {

namespace asio = boost::asio;

inline constexpr std::string_view kFormModule = "frmVantorWebSrv";
inline constexpr std::string_view kCodeModule = "modVantorWebSrv";

inline constexpr int kLevelError = 1;
inline constexpr int kLevelDropped = 2;
inline constexpr int kLevelInfo = 3;

// Runs `body` (a callable returning asio::awaitable<void>) on the calling coroutine's thread.
// Returns true when it completed, false when it failed and the failure was written to `log`
// (anything with AppEvent(module, procedure, text, level) returning asio::awaitable<void>).
template <typename EventLog, typename Body>
asio::awaitable<bool> Guarded(EventLog& log, std::string_view module, std::string_view procedure,
                              Body&& body) {
  std::string failure;
  try {
    co_await body();
    co_return true;
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "Unknown error";
  }
  // An event cannot be awaited inside the handler itself, hence the two steps.
  co_await log.AppEvent(module, procedure, failure, kLevelError);
  co_return false;
}

}  // namespace vantor
