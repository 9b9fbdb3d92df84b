#include "core/message_header.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace vantor {
namespace {

TEST(MessageView, FieldsOfWholeShortAndMisalignedMessages) {
  struct Case {
    std::string_view text, fields;  // kind and sender|customer id|number field|body|version|interval
    std::optional<std::int64_t> slot, number;
  };
  const Case cases[] = {
      {"CA12000034" "0  " "VER:3.31 KEEPALIVE:60", "CA|12000034|0  |VER:3.31 KEEPALIVE:60|3.31|60", 12, 0},
      {"CM02000002" "2.5" "VER:2.", "CM|02000002|2.5|VER:2.|2.|", 2, 2},  // numbers round half to even
      {"DMzz000001" "abc", "DM|zz000001|abc|||", std::nullopt, std::nullopt},
      {"  DM01000001" "2  ", "  |DM010000|012|  ||", std::nullopt, 12},  // blanks shift every field
      {"CA01", "CA|01||||", 1, std::nullopt},
      {"D", std::string_view("D\0|||||", 7), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const MessageView m(c.text);
    EXPECT_EQ(fmt::format("{}{}|{}|{}|{}|{}|{}", m.kind(), m.sender(), m.customerId(), m.numberField(),
                          m.body(), m.Version(), m.AnnouncedKeepAlive()),
              c.fields)
        << c.text;
    EXPECT_EQ(m.customerSlot(), c.slot) << c.text;
    EXPECT_EQ(m.mobileNumber(), c.number) << c.text;
  }
}

}  // namespace
}  // namespace vantor
