// windowsfont over a real TCP connection: the pause, the link check and the
// one write of the whole command.
#include <gtest/gtest.h>

#include <thread>

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
  EXPECT_GE(since(start), 0.5);
  ASSERT_TRUE(fake.wait_for_bytes(expected.size()));
  const auto chunks = fake.chunks();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].bytes, expected);
  EXPECT_GE(chunks[0].at - start, std::chrono::milliseconds(500));

  // After closeport there is no output stream: the pause, then refused, nothing written.
  fake.clear();
  EXPECT_EQ(printer.closeport(0), 1);
  start = Clock::now();
  EXPECT_EQ(printer.windowsfont(0, 0, 18, 0, 0, 0, "DejaVu Sans", "Late"), -1);
  EXPECT_GE(since(start), 0.5);
  EXPECT_LT(since(start), 3.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(fake.received().empty());

  // A stream the printer closed still exists, whatever its state: the command
  // is handed to the write primitive, whose failure is not reported.
  ASSERT_EQ(printer.openport("127.0.0.1", fake.port()), 1);
  fake.close_client();
  testing::wait_until([&] { return printer.stream_Status() != 2; });
  EXPECT_EQ(printer.windowsfont(0, 0, 18, 0, 0, 0, "DejaVu Sans", "Gone"), 1);
}

}  // namespace
}  // namespace quillkit
