// The picture operations of Printer over a real TCP connection to the fake printer: the bytes
// of each write, the pauses, and what is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "quillkit/image.hpp"
#include "quillkit/wifi.hpp"
#include "support/query_support.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

// 13 x 2 dots: the padding bits of each row's second byte are 1.
const MonoImage kPicture{13, 2, {0x0F, 0xF7, 0xF0, 0x0F}};
const std::string kBits = "\x0F\xF7\xF0\x0F";

struct PictureCase : testing::NamedCase {
  std::function<Result(WiFi&)> send;
  Result result;
  std::vector<std::string> writes;
  double pause;  // the least time the call takes
};

using PicturePrinterTest = testing::QueryTableTest<PictureCase>;

TEST_P(PicturePrinterTest, WritesEachCommandGroupOnce) {
  const PictureCase& c = GetParam();
  testing::WriteLog log;
  auto start = Clock::now();
  EXPECT_EQ(c.send(*printer_), c.result);
  EXPECT_GE(since(start), c.pause);
  EXPECT_LT(since(start), c.pause + 0.1);
  EXPECT_EQ(log.texts(), c.writes);
  // Without a link the BITMAP's check refuses after its pause; refusals stay as they are.
  WiFi never_opened{testing::env()};
  start = Clock::now();
  EXPECT_EQ(c.send(never_opened), -1);
  EXPECT_GE(since(start), std::min(c.pause, 0.5));
}

const LabelStock kStock300{
    .dpi = 300, .width_mm = 10, .height_mm = 5, .gap_mm = 3, .gap_offset_mm = 1.5};

INSTANTIATE_TEST_SUITE_P(
    Operations, PicturePrinterTest,
    ::testing::Values(
        PictureCase{"Sendbitmap",
                    [](WiFi& p) { return p.sendbitmap(3, 4, kPicture); },
                    1,
                    {"BITMAP 3,4,2,2,0," + kBits + "\r\n"},
                    0.5},
        PictureCase{"SendbitmapExclusive",
                    [](WiFi& p) { return p.sendbitmap(-8, 0, kPicture, BitmapMode::exclusive); },
                    1,
                    {"BITMAP -8,0,2,2,2," + kBits + "\r\n"},
                    0.5},
        PictureCase{"SendbitmapMalformed",
                    [](WiFi& p) {
                      return p.sendbitmap(0, 0, MonoImage{13, 2, {0x00}});
                    },
                    -1,
                    {},
                    0},
        // The label is the picture's size at 8 dots a millimetre, rounded up: 13 dots, 1.63 mm.
        PictureCase{"PrintpictureSizedByThePicture",
                    [](WiFi& p) { return p.printpicture(kPicture); },
                    1,
                    {"SIZE 1.63 mm,0.25 mm\r\nGAP 2 mm,0 mm\r\nCLS\r\n",
                     "BITMAP 0,0,2,2,0," + kBits + "\r\n", "PRINT 1,1\r\n"},
                    1.0},
        // 120 x 60 dots at 12 a millimetre: the picture in the middle.
        PictureCase{"PrintpictureOnStock",
                    [](WiFi& p) { return p.printpicture(kPicture, kStock300, 3); },
                    1,
                    {"SIZE 10 mm,5 mm\r\nGAP 3 mm,1.5 mm\r\nCLS\r\n",
                     "BITMAP 53,29,2,2,0," + kBits + "\r\n", "PRINT 1,3\r\n"},
                    1.0},
        PictureCase{"PrintpictureNoCopies",
                    [](WiFi& p) { return p.printpicture(kPicture, {}, 0); },
                    -1,
                    {},
                    0},
        PictureCase{"PrintpictureStockNotANumber",
                    [](WiFi& p) {
                      LabelStock stock;
                      stock.width_mm = std::nan("");
                      return p.printpicture(kPicture, stock);
                    },
                    -1,
                    {},
                    0}),
    ::testing::PrintToStringParamName());

// The box a picture for a stock is fitted to, in the printer's dots: 8 a millimetre at 203 dpi
// (so 4 x 6 inches is 813 x 1219, not 812 x 1218), 12 at 300.
TEST(PictureStockTest, DotsAsThePrinterCountsThem) {
  using Dots = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(stock_dots({.width_mm = 101.6, .height_mm = 152.4}), Dots(813, 1219));
  EXPECT_EQ(stock_dots(kStock300), Dots(120, 60));
  EXPECT_EQ(stock_dots({.dpi = 50, .width_mm = 10}), Dots(0, 0));
}

}  // namespace
}  // namespace quillkit
