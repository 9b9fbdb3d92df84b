#include "service/listener.hpp"

#include "core/endpoint.hpp"
#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/schema.hpp"
#include "platform/host/text_file.hpp"
#include "service/listener_status.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include <cctype>

namespace vantor {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kOpen = "ServiceOpen";

void WriteServicesBlock(const fs::path& programDir, std::string_view header, std::string_view status,
                        bool rewrite) {
  const fs::path file = programDir / "Debug" / "Services.txt";
  const std::string block = ServicesBlock(header, status);
  const bool ok = rewrite ? WriteText(file, block) : AppendText(file, block);
  if (!ok) throw ProcedureError("Path not found: " + file.string());
}

}  // namespace

Listener::Listener(ListenerContext context, Names names) : context_(context), names_(std::move(names)) {}

void Listener::Configured(std::string_view address, int port) { where_ = Endpoint(address, port); }

// The report names the bound address as the server gives it, without brackets.
void Listener::Bound(const std::string& address, int port) {
  report_ = fmt::format("{} {}:{}", names_.kind, address, port);
  startedStatus_ = StartedStatus(context_.clock.Now(), names_.startedLine, address, port);
}

std::string Listener::label() const {
  std::string label = names_.kind;
  for (char& c : label) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return label;
}

bool Listener::Enabled(const GeneralSettings& settings) const {
  return settings.Bool(names_.columnPrefix + "Enabled");
}

void Listener::SaveSettings(GeneralSettings& settings) {
  for (auto& write : settings.TakeWrites()) context_.writer.Submit(std::move(write));
}

asio::awaitable<Listener::State> Listener::Open() {
  const fs::path database = context_.programDir / kDatabaseFileName;
  std::optional<StartFailure> failure;
  State state = State::kOff;
  where_.clear();
  report_ = names_.kind;
  try {
    auto settings = GeneralSettings::Load(database);
    if (Enabled(settings)) {
      failure = co_await Start(settings);
      if (!failure) state = State::kUp;
    }
    if (!failure && names_.statusColumn) {
      settings.Set(names_.columnPrefix + "Status", state == State::kUp ? startedStatus_ : std::string(kNotStarted));
      SaveSettings(settings);
      if (names_.pauseAfterStatus.count() > 0) {
        co_await PauseMs(context_.clock, static_cast<int>(names_.pauseAfterStatus.count()));
      }
      if (context_.debugMode) {
        WriteServicesBlock(context_.programDir, names_.servicesHeader,
                           state == State::kUp ? startedStatus_ : std::string(kNotStarted), names_.firstInServicesFile);
      }
    }
  } catch (const std::exception& e) {
    failure = StartFailure{e.what(), "", "", false};
  }
  enabled_ = state != State::kOff || failure.has_value();
  up_ = state == State::kUp && !failure;
  if (!failure) co_return state;
  co_await ReportFailure(*failure);
  if (!names_.statusColumn) co_return State::kFailed;
  co_await Guarded(context_.events, kCodeModule, kOpen, [&]() -> asio::awaitable<void> {
    auto settings = GeneralSettings::Load(database);
    StageFailure(settings, *failure);
    settings.Set(names_.columnPrefix + "Status", FailedStatus(context_.clock.Now(), failure->statusReason));
    SaveSettings(settings);
    co_return;
  });
  co_return State::kFailed;
}

// A fixed event text does not say where or why; the journal hears that in a line of its own.
asio::awaitable<void> Listener::ReportFailure(const StartFailure& failure) {
  report_ = fmt::format("{}{}{}: {}", names_.kind, where_.empty() ? "" : " ", where_, failure.reason);
  const std::string named = ListenerFailureText(names_.kind, where_, failure.reason);
  co_await context_.events.AppEvent(kCodeModule, kOpen, failure.event.empty() ? named : failure.event, kLevelError);
  if (!failure.event.empty()) context_.host.Log(LogPriority::kError, named);
}

asio::awaitable<void> Listener::Close() {
  up_ = false;
  Stop();
  if (!names_.statusColumn) co_return;
  co_await Guarded(context_.events, kCodeModule, "ServiceClose", [&]() -> asio::awaitable<void> {
    auto settings = GeneralSettings::Load(context_.programDir / kDatabaseFileName);
    // Let events already queued for the listener run once before its status is reset.
    if (Running(settings)) co_await asio::post(context_.io, asio::use_awaitable);
    settings.Set(names_.columnPrefix + "Status", std::string(kNotStarted));
    SaveSettings(settings);
  });
}

}  // namespace vantor
