// The specified waits happen on the real clock: every other library test runs
// on the test clock, so these few check that the real waits are really taken
// (no sooner than asked, with generous upper slack for a loaded machine).
#include <gtest/gtest.h>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

TEST(RealClockTest, OpenQueryPrintAndCloseTakeTheirWaits) {
  testing::LogCapture quiet;
  testing::FakePrinter fake;
  fake.add_answer({"~!T\r\n", {"MODEL\r\n"}});
  WiFi printer;
  const struct {
    const char* what;
    std::function<void()> call;
    double seconds;
  } steps[] = {
      {"openport", [&] { EXPECT_EQ(printer.openport("127.0.0.1", fake.port()), 1); }, 1.5},
      {"printer_modelname", [&] { EXPECT_EQ(printer.printer_modelname(), "MODEL\r\n"); }, 1.0},
      {"closeport", [&] { EXPECT_EQ(printer.closeport(0.3), 1); }, 0.3},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const auto start = Clock::now();
    step.call();
    EXPECT_GE(since(start), step.seconds);
    EXPECT_LT(since(start), step.seconds + 2.0);
  }
  EXPECT_EQ(fake.received(), "~!T\r\n");
}

}  // namespace
}  // namespace quillkit
