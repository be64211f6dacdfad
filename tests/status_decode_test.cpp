// The status byte's conditions.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "quillkit/status.hpp"

namespace quillkit {
namespace {

using Words = std::vector<std::string_view>;

// Zero is ready; each bit sets its own condition only; combinations join in bit order.
TEST(DecodeStatusTest, EachBitSetsItsOwnConditionAndCombinationsJoinInBitOrder) {
  EXPECT_EQ(decode_status(0), PrinterState{});
  EXPECT_TRUE(decode_status(0).ready());
  EXPECT_EQ(decode_status(0).text(), "ready");
  const struct {
    bool PrinterState::*flag;
    std::string_view word;
  } kBits[] = {{&PrinterState::head_opened, "head opened"},
               {&PrinterState::paper_jam, "paper jam"},
               {&PrinterState::out_of_paper, "out of paper"},
               {&PrinterState::out_of_ribbon, "out of ribbon"},
               {&PrinterState::paused, "paused"},
               {&PrinterState::printing, "printing"},
               {&PrinterState::cover_opened, "cover opened"},
               {&PrinterState::other_error, "other error"}};
  Words all;
  for (int bit = 0; bit < 8; ++bit) {
    SCOPED_TRACE(bit);
    PrinterState expected;
    expected.byte = static_cast<std::uint8_t>(1u << bit);
    expected.*kBits[bit].flag = true;
    const PrinterState state = decode_status(expected.byte);
    EXPECT_EQ(state, expected);
    EXPECT_FALSE(state.ready());
    EXPECT_EQ(state.conditions(), Words{kBits[bit].word});
    EXPECT_EQ(state.text(), kBits[bit].word);
    all.push_back(kBits[bit].word);
  }
  EXPECT_EQ(decode_status(0xff).conditions(), all);
  EXPECT_EQ(decode_status(0x60).text(), "printing, cover opened");
  // A state built by hand describes its flags, not its byte.
  PrinterState by_hand;
  by_hand.out_of_ribbon = true;
  EXPECT_FALSE(by_hand.ready());
  EXPECT_EQ(by_hand.text(), "out of ribbon");
}

}  // namespace
}  // namespace quillkit
