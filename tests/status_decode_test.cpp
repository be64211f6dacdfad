// The status byte's conditions.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/status.hpp"

namespace quillkit {
namespace {

using Words = std::vector<std::string_view>;

TEST(DecodeStatusTest, ZeroIsReady) {
  const PrinterState state = decode_status(0);
  EXPECT_TRUE(state.ready());
  EXPECT_TRUE(state.conditions().empty());
  EXPECT_EQ(state.text(), "ready");
  EXPECT_EQ(state, PrinterState{});
}

struct Bit {
  int bit;
  bool PrinterState::*flag;
  std::string_view word;
};

void PrintTo(const Bit& b, std::ostream* os) { *os << "bit " << b.bit; }

class DecodeBitTest : public ::testing::TestWithParam<Bit> {};

TEST_P(DecodeBitTest, EachBitSetsItsOwnConditionOnly) {
  const Bit& b = GetParam();
  const PrinterState state = decode_status(static_cast<std::uint8_t>(1u << b.bit));
  PrinterState expected;
  expected.byte = static_cast<std::uint8_t>(1u << b.bit);
  expected.*b.flag = true;
  EXPECT_EQ(state, expected);
  EXPECT_FALSE(state.ready());
  EXPECT_EQ(state.conditions(), Words{b.word});
  EXPECT_EQ(state.text(), b.word);
}

INSTANTIATE_TEST_SUITE_P(Bits, DecodeBitTest,
                         ::testing::Values(Bit{0, &PrinterState::head_opened, "head opened"},
                                           Bit{1, &PrinterState::paper_jam, "paper jam"},
                                           Bit{2, &PrinterState::out_of_paper, "out of paper"},
                                           Bit{3, &PrinterState::out_of_ribbon, "out of ribbon"},
                                           Bit{4, &PrinterState::paused, "paused"},
                                           Bit{5, &PrinterState::printing, "printing"},
                                           Bit{6, &PrinterState::cover_opened, "cover opened"},
                                           Bit{7, &PrinterState::other_error, "other error"}),
                         [](const auto& info) { return "bit" + std::to_string(info.param.bit); });

TEST(DecodeStatusTest, CombinationsListEveryConditionInBitOrder) {
  EXPECT_EQ(decode_status(0x05).text(), "head opened, out of paper");
  EXPECT_EQ(decode_status(0x60).text(), "printing, cover opened");
  EXPECT_EQ(decode_status(0xff).conditions(),
            (Words{"head opened", "paper jam", "out of paper", "out of ribbon", "paused",
                   "printing", "cover opened", "other error"}));
}

TEST(DecodeStatusTest, StateBuiltByHandDescribesItsFlags) {
  PrinterState state;
  state.out_of_ribbon = true;
  EXPECT_FALSE(state.ready());
  EXPECT_EQ(state.text(), "out of ribbon");
}

}  // namespace
}  // namespace quillkit
