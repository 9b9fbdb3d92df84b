#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// The alarm receiver an agent announces, in the column order of the Customer table.
struct AlarmReceiver {
  std::string name, type, userKey, device, mailAddress;
};

// Splits "name TAB type TAB user key TAB device TAB mail address" at its first four TABs; the
// mail address runs to the end, further TABs included. Nothing when there are fewer than four.
std::optional<AlarmReceiver> SplitReceiverPayload(std::string_view payload);

}  // namespace vantor
