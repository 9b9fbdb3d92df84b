#pragma once
// Every procedure catches the failures of its body once, at its boundary, and reports them as one
// level-1 application event; the caller is not told. Work done before the failure stays done.

#include "logging/app_event.hpp"

#include <exception>
#include <string>

namespace vantor {

// Runs `body` (a callable returning asio::awaitable<void>). Returns true when it completed,
// false when it failed and the failure was logged.
template <typename Body>
asio::awaitable<bool> Guarded(AppEventLog& log, std::string_view module, std::string_view procedure,
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
