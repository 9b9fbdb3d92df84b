#include "notify/alarm_receiver_store.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "notify/notifier.hpp"

#include <fmt/format.h>

namespace vantor {

std::optional<AlarmReceiver> SplitReceiverPayload(std::string_view payload) {
  std::string_view fields[4];
  std::size_t start = 0;
  for (auto& field : fields) {
    const std::size_t tab = payload.find('\t', start);
    if (tab == std::string_view::npos) return std::nullopt;
    field = payload.substr(start, tab - start);
    start = tab + 1;
  }
  return AlarmReceiver{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                       std::string(fields[3]), std::string(payload.substr(start))};
}

asio::awaitable<bool> Notifier::SaveBrokenConnAlarm(std::string custID, std::string payload) {
  co_return co_await Guarded(events_, kCodeModule, "SaveBrokenConnAlarm", [&]() -> asio::awaitable<void> {
    const auto receiver = SplitReceiverPayload(payload);
    if (!receiver) {
      throw ProcedureError(fmt::format(
          "Invalid alarm receiver: four TAB-separated fields expected ({} characters received)",
          payload.size()));
    }
    // Waits until the receiver is committed, however long another program holds the database:
    // the agent is told "BCA:OK" only afterwards.
    DbWrite write{"Customer.Bca." + custID,
                  "UPDATE Customer SET BcaRecvName = ?, BcaRecvType = ?, BcaPoUserKey = ?, "
                  "BcaPoDevice = ?, BcaMailAddress = ? WHERE CustID = ?",
                  {receiver->name, receiver->type, receiver->userKey, receiver->device,
                   receiver->mailAddress, custID}};
    std::string error;
    const bool committed = co_await writer_.Commit(std::move(write), &error);
    if (!committed) throw ProcedureError(error);
  });
}

}  // namespace vantor
