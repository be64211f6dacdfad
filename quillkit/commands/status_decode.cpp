// The status byte's conditions in words.
#include <array>

#include "quillkit/status.hpp"

namespace quillkit {
namespace {

// Words for bits 0 to 7, in bit order.
constexpr std::array<std::string_view, 8> kConditionWords{
    "head opened", "paper jam", "out of paper", "out of ribbon",
    "paused",      "printing",  "cover opened", "other error",
};

}  // namespace

PrinterState decode_status(std::uint8_t byte) {
  const auto bit = [byte](int n) { return ((byte >> n) & 1) != 0; };
  PrinterState state;
  state.byte = byte;
  state.head_opened = bit(0);
  state.paper_jam = bit(1);
  state.out_of_paper = bit(2);
  state.out_of_ribbon = bit(3);
  state.paused = bit(4);
  state.printing = bit(5);
  state.cover_opened = bit(6);
  state.other_error = bit(7);
  return state;
}

std::vector<std::string_view> PrinterState::conditions() const {
  const std::array<bool, 8> flags{head_opened, paper_jam, out_of_paper, out_of_ribbon,
                                  paused,      printing,  cover_opened, other_error};
  std::vector<std::string_view> words;
  for (std::size_t n = 0; n < flags.size(); ++n) {
    if (flags[n]) words.push_back(kConditionWords[n]);
  }
  return words;
}

std::string PrinterState::text() const {
  if (ready()) return "ready";
  std::string joined;
  for (const std::string_view word : conditions()) {
    if (!joined.empty()) joined += ", ";
    joined += word;
  }
  return joined;
}

}  // namespace quillkit
