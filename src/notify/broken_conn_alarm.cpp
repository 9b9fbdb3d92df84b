#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "notify/notifier.hpp"

#include <optional>

namespace vantor {
namespace {

constexpr std::string_view kProcedure = "SendBrokenConnAlarm";

struct Receiver {
  std::optional<std::string> name;
  std::string type, userKey, device, mailAddress;  // NULL reads as empty
};

std::optional<std::string> TextOrNull(const DbValue& value) {
  if (auto* text = std::get_if<std::string>(&value)) return *text;
  if (auto* number = std::get_if<std::int64_t>(&value)) return std::to_string(*number);
  return std::nullopt;
}

// The receiver as stored now, or nothing when the customer has no row.
std::optional<Receiver> ReadReceiver(const std::filesystem::path& databaseFile,
                                     const std::string& custID) {
  auto db = OpenDatabase(databaseFile);
  std::vector<DbRow> rows;
  auto status = db->Query(
      "SELECT BcaRecvName, BcaRecvType, BcaPoUserKey, BcaPoDevice, BcaMailAddress "
      "FROM Customer WHERE CustID = ?",
      {custID}, rows);
  if (!status) throw ProcedureError(status.error);
  if (rows.empty()) return std::nullopt;
  const auto& v = rows.front().values;
  return Receiver{TextOrNull(v[0]), TextOrNull(v[1]).value_or(""), TextOrNull(v[2]).value_or(""),
                  TextOrNull(v[3]).value_or(""), TextOrNull(v[4]).value_or("")};
}

}  // namespace

asio::awaitable<void> Notifier::SendBrokenConnAlarm(std::string custID) {
  co_await Guarded(events_, kCodeModule, kProcedure, [&]() -> asio::awaitable<void> {
    // The connection closes here, before any transfer is awaited.
    const std::optional<Receiver> receiver = ReadReceiver(databaseFile_, custID);
    if (!receiver || !receiver->name || *receiver->name == "None") co_return;

    const std::string trapReceiver = "Mr Tavo (" + custID + ")";
    const std::string subject(kAlarmMessage);
    if (receiver->type == "MobilePO") {
      SendOutcome sent =
          co_await SendMobilePO(subject, receiver->userKey, receiver->device, "0");
      NotifyCounts::Count(counts_.alarms, NotifyCounts::kPush, sent);
      forwardSendStatus_(trapReceiver, subject, sent.status, sent.result, "MobilePO");
      co_await PauseMs(clock_, 200);
    } else if (receiver->type == "MailSMTP") {
      SendOutcome sent = co_await SendMailSMTP(subject, receiver->mailAddress, "3");
      NotifyCounts::Count(counts_.alarms, NotifyCounts::kMail, sent);
      forwardSendStatus_(trapReceiver, subject, sent.status, sent.result, "MailSMTP");
    }
  });
}

}  // namespace vantor
