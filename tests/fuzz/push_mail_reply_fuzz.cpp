// Feeds arbitrary server replies to the code that reads them (header lines and body pieces of an
// HTTPS reply as libcurl hands them over, the push API's status, error text and limit headers),
// and arbitrary alarm receiver texts (user key, device, mail address, body) to the push form and
// the mail. Checks, besides sanitizer reports: a reply and the failure texts made of it stay
// bounded however large the body, and a receiver's texts add neither a form field, nor a
// character outside an accepted address, nor a mail header line.
#include "fuzz_check.hpp"
#include "notify/mail_address.hpp"
#include "notify/mail_message.hpp"
#include "notify/push_form.hpp"
#include "platform/curl/https_client.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

namespace {

using namespace vantor;
using fuzzing::Check;

void CheckReply(FuzzedDataProvider& in) {
  HttpsReply reply;
  reply.transportOk = in.ConsumeBool();
  reply.error = in.ConsumeRandomLengthString(64);
  reply.status = in.ConsumeIntegral<long>();
  const int pieces = in.ConsumeIntegralInRange(0, 160);
  for (int i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
    std::string piece = in.ConsumeRandomLengthString(512);
    if (in.ConsumeBool()) {
      AddReplyHeaderLine(reply, piece + "\r\n");
    } else {
      if (piece.starts_with('*')) piece.resize(70000, 'x');  // the rest of an oversized body
      AddReplyBody(reply, piece);
    }
  }
  Check(reply.headers.size() <= 100 && reply.body.size() <= 64 * 1024);
  int limit = 0, remaining = 0;
  ReadLimitHeaders(reply, limit, remaining);
  if (const auto failure = PushReplyFailure(reply)) {
    Check(failure->size() <= reply.statusLine.size() + reply.error.size() + 364);
  }
  const std::size_t maxLength = in.ConsumeIntegralInRange<std::size_t>(0, 400);
  Check(PushApiErrorText(reply.body, maxLength).size() <= maxLength + 32);
}

void CheckAlarmTexts(FuzzedDataProvider& in) {
  const std::string userKey = in.ConsumeRandomLengthString(128);
  const std::string device = in.ConsumeRandomLengthString(64);
  const std::string priority = in.ConsumeRandomLengthString(4);
  const std::string address = in.ConsumeRandomLengthString(300);
  const std::string body = in.ConsumeRemainingBytesAsString();

  const std::string form = BuildPushForm(userKey, device, priority, body);
  Check(std::count(form.begin(), form.end(), '&') == (device.empty() ? 5 : 6));
  Check(!IsMailAddress(address) || std::all_of(address.begin(), address.end(), [](unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '<' && c != '>' && c != ',' && c != '"';
  }));
  const std::string message = BuildMailMessage(MailContent{address, address, "Vantor Com Server", body, priority},
                                               std::chrono::system_clock::time_point{});
  const auto headerEnd = message.find("\r\n\r\n");
  Check(headerEnd != std::string::npos);
  const std::string_view headers = std::string_view(message).substr(0, headerEnd + 2);
  const auto lines = std::count(headers.begin(), headers.end(), '\n');
  Check(lines == std::count(headers.begin(), headers.end(), '\r'));
  Check(lines == (priority.size() == 1 && priority[0] >= '1' && priority[0] <= '5' ? 8 : 7));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    CheckReply(in);
  } else {
    CheckAlarmTexts(in);
  }
  return 0;
}
