// Feeds arbitrary server replies to the code that reads them: header lines and body pieces of an
// HTTPS reply as libcurl hands them over, the push API's status and error text and the limit
// headers. The same input also drives the texts an agent's alarm receiver puts into a push form
// and a mail (user key, device, mail address, body).
// Checks, besides sanitizer reports: the reply keeps its bounds (100 headers, 64 KiB body, trimmed
// names and values), a failure text stays bounded however large the body, and the agent's texts
// can add neither a form field nor a mail header line.
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

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool Trimmed(const std::string& s) { return s.empty() || (!Blank(s.front()) && !Blank(s.back())); }

void CheckReply(FuzzedDataProvider& in) {
  HttpsReply reply;
  reply.transportOk = in.ConsumeBool();
  reply.error = in.ConsumeRandomLengthString(64);
  reply.status = in.ConsumeIntegral<long>();
  std::size_t bodySent = 0;
  const int pieces = in.ConsumeIntegralInRange(0, 160);
  for (int i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
    std::string piece = in.ConsumeRandomLengthString(512);
    if (in.ConsumeBool()) {
      AddReplyHeaderLine(reply, piece + "\r\n");
    } else {
      // A large piece stands for the rest of an oversized body.
      if (!piece.empty() && piece[0] == '*') piece.resize(70000, 'x');
      bodySent += piece.size();
      AddReplyBody(reply, piece);
    }
  }
  Check(Trimmed(reply.statusLine) && reply.headers.size() <= 100);
  for (const auto& [name, value] : reply.headers) Check(Trimmed(name) && Trimmed(value));
  Check(reply.body.size() == std::min<std::size_t>(bodySent, 64 * 1024));

  int limit = 0, remaining = 0;
  ReadLimitHeaders(reply, limit, remaining);
  const auto failure = PushReplyFailure(reply);
  Check(failure.has_value() != (reply.transportOk && reply.status >= 200 && reply.status <= 299));
  if (failure) Check(failure->size() <= reply.statusLine.size() + reply.error.size() + 300 + 64);
  const std::size_t maxLength = in.ConsumeIntegralInRange<std::size_t>(0, 400);
  Check(PushApiErrorText(reply.body, maxLength).size() <= maxLength + 32);
}

void CheckAlarmFields(FuzzedDataProvider& in) {
  const std::string userKey = in.ConsumeRandomLengthString(128);
  const std::string device = in.ConsumeRandomLengthString(64);
  const std::string priority = in.ConsumeRandomLengthString(4);
  const std::string address = in.ConsumeRandomLengthString(300);
  const std::string body = in.ConsumeRemainingBytesAsString();

  const std::string form = BuildPushForm(userKey, device, priority, body);
  Check(std::count(form.begin(), form.end(), '&') == (device.empty() ? 5 : 6));

  if (IsMailAddress(address)) {
    Check(std::all_of(address.begin(), address.end(), [](unsigned char c) {
      return c > 0x20 && c < 0x7F && c != '<' && c != '>' && c != ',' && c != '"';
    }));
  }
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
    CheckAlarmFields(in);
  }
  return 0;
}
