// The status byte's conditions.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "quillkit/status.hpp"

namespace quillkit {
namespace {

// Zero is ready; each bit sets its own condition only; combinations join in bit order; a state
// built by hand describes its flags, not its byte.
TEST(DecodeStatusTest, EachBitSetsItsOwnConditionAndCombinationsJoinInBitOrder) {
  const std::vector<std::string_view> words{"head opened",   "paper jam",  "out of paper",
                                            "out of ribbon", "paused",     "printing",
                                            "cover opened",  "other error"};
  EXPECT_EQ(decode_status(0), PrinterState{});
  EXPECT_EQ(decode_status(0).text(), "ready");
  for (int bit = 0; bit < 8; ++bit) {
    const PrinterState state = decode_status(static_cast<std::uint8_t>(1u << bit));
    EXPECT_EQ(state.byte, 1u << bit);
    EXPECT_EQ(state.conditions(), std::vector{words[bit]}) << bit;
  }
  EXPECT_EQ(decode_status(0xff).conditions(), words);
  PrinterState by_hand;
  by_hand.out_of_ribbon = true;
  EXPECT_EQ(by_hand.text(), "out of ribbon");
}

}  // namespace
}  // namespace quillkit
