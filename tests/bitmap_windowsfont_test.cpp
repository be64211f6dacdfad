// windowsfont over a real TCP connection: the pause, the link check and the
// whole command.
#include <gtest/gtest.h>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/platform/font_host.hpp"
#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"
#include "support/fontconfig_leak.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

TEST(BitmapWindowsfontTest, PausesThenWritesOnceOnAnOpenLinkAndRefusesAClosedOne) {
  testing::FakePrinter fake;
  WiFi printer;
  ASSERT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  const Bytes expected = bitmap::windowsfont_command(platform::default_font_host(), 10, 20, 18, 90,
                                                     2, 0, "DejaVu Sans", "Hi");
  auto start = Clock::now();
  EXPECT_EQ(printer.windowsfont(10, 20, 18, 90, 2, 0, "DejaVu Sans", "Hi"), 1);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
  ASSERT_TRUE(fake.wait_for_bytes(expected.size()));
  EXPECT_EQ(fake.received(), std::string(expected.begin(), expected.end()));
  EXPECT_DOUBLE_EQ(testing::seconds_between(start, fake.chunks().front().at), 0.5);

  // After closeport there is no output stream: the pause, then refused, nothing written.
  fake.clear();
  EXPECT_EQ(printer.closeport(0), 1);
  start = Clock::now();
  EXPECT_EQ(printer.windowsfont(0, 0, 18, 0, 0, 0, "DejaVu Sans", "Late"), -1);
  EXPECT_DOUBLE_EQ(since(start), 0.5);
  EXPECT_FALSE(fake.wait_for_bytes(1, 0.1));

  // A stream the printer closed still exists, whatever its state: the command
  // is handed to the write primitive, whose failure is not reported.
  ASSERT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  fake.close_client();
  testing::wait_until([&] { return printer.stream_Status() != 2; });
  EXPECT_EQ(printer.windowsfont(0, 0, 18, 0, 0, 0, "DejaVu Sans", "Gone"), 1);
}

}  // namespace
}  // namespace quillkit
