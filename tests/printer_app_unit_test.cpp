// quill-printer's pure parts: what the end-to-end tests reach only one case of.
#include <gtest/gtest.h>

#include "printer-app/jobs.hpp"
#include "printer-app/label.hpp"
#include "printer-app/links.hpp"
#include "printer-app/status.hpp"

namespace quill_printer {
namespace {

using Kind = LinkTarget::Kind;

TEST(LinkUri, NamesTheLinkOrNothing) {
  const struct {
    const char* uri;
    std::optional<LinkTarget> target;
  } cases[] = {
      {"quill-bt://aabbccddeeff", LinkTarget{Kind::kBluetooth, "AA:BB:CC:DD:EE:FF"}},
      {"quill-bt:///dev/rfcomm0", LinkTarget{Kind::kBluetooth, "/dev/rfcomm0"}},
      {"quill-bt://%2Fdev%2Fpts%2F3", LinkTarget{Kind::kBluetooth, "/dev/pts/3"}},
      {"quill-ble://AABBCCDDEEFF", LinkTarget{Kind::kBle, "AA:BB:CC:DD:EE:FF"}},
      {"quill-ble://TX%20200", LinkTarget{Kind::kBle, "TX 200"}},
      {"quill-bt://printer", std::nullopt},  // neither an address nor a path
      {"quill-bt:///", std::nullopt},
      {"quill-ble://a/b", std::nullopt},
      {"quill-ble://TX%2", std::nullopt},
      {"quill-ble://TX%00", std::nullopt},
      {"quill-ble://", std::nullopt},
      {"quill-bt:AABBCCDDEEFF", std::nullopt},
      {"socket://127.0.0.1:9100", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_link_uri(c.uri), c.target) << c.uri;
}

TEST(CommandFiles, AreRecognisedByTheirFirstCommand) {
  const struct {
    std::string_view head;
    bool commands;
  } cases[] = {
      {"SIZE 50 mm,30 mm\r\n", true},
      {"\r\n  CLS\r\n", true},
      {"\x1B!?", true},
      {"~!T\r\n", true},
      {"SIZE", false},  // no whole word: a header that ends inside the first word
      {"Size 50 mm\r\n", false},
      {"SIZES are\n", false},
      {"Hello, printer\n", false},
      {"%PDF-1.7\n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(looks_like_commands(c.head), c.commands) << c.head;
}

TEST(StatusByte, BecomesReasons) {
  const struct {
    std::optional<std::uint8_t> byte;
    StatusReport report;
  } cases[] = {
      {0x00, {PAPPL_PREASON_NONE, false}},
      {0x20, {PAPPL_PREASON_NONE, false}},  // printing
      {0x01, {PAPPL_PREASON_COVER_OPEN, false}},
      {0x40, {PAPPL_PREASON_COVER_OPEN, false}},
      {0x06, {PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_MEDIA_EMPTY, false}},
      {0x08, {PAPPL_PREASON_MARKER_SUPPLY_EMPTY, false}},
      {0x90, {PAPPL_PREASON_OTHER, true}},
      {std::nullopt, {PAPPL_PREASON_OFFLINE, false}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(status_report(c.byte), c.report) << (c.byte ? int{*c.byte} : -1);
  }
}

TEST(LabelSettings, FromStockDarknessSpeedAndGap) {
  pappl_media_col_t media{};
  media.size_width = 10160;
  media.size_length = 15240;
  media.tracking = PAPPL_MEDIA_TRACKING_MARK;
  const struct {
    int darkness, speed, gap;
    const char* setup;
  } cases[] = {
      {50, 0, 2, "SIZE 101.6 mm,152.4 mm\r\nSPEED 4\r\nDENSITY 8\r\nBLINE 2 mm,0 mm\r\nCLS\r\n"},
      {150, 6 * 2540, 40,
       "SIZE 101.6 mm,152.4 mm\r\nSPEED 6\r\nDENSITY 15\r\nBLINE 25 mm,0 mm\r\nCLS\r\n"},
      {-30, 1000, -1,
       "SIZE 101.6 mm,152.4 mm\r\nSPEED 1\r\nDENSITY 0\r\nBLINE 0 mm,0 mm\r\nCLS\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(label_setup(label_settings(media, 203, c.darkness, c.speed, c.gap)), c.setup);
  }
  media.size_width = 5005;
  media.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
  const LabelSettings s = label_settings(media, 300, 50, 0, 2);
  EXPECT_EQ(label_setup(s).substr(0, 27), "SIZE 50.05 mm,152.4 mm\r\nSPE");
  EXPECT_NE(label_setup(s).find("GAP 0 mm,0 mm\r\n"), std::string::npos);
  EXPECT_EQ(std::pair(s.width_dots(), s.length_dots()), std::pair(591, 1800));
}

// Raster lines become dots whatever their colour space: black a 0 bit, white a 1 bit.
TEST(RasterPage, ConvertsLinesOfEachColourSpace) {
  const struct {
    unsigned bits;
    cups_cspace_t space;
    std::vector<unsigned char> line;  // black, then white
    bool taken;
  } cases[] = {
      {8, CUPS_CSPACE_SW, {0, 255}, true},
      {8, CUPS_CSPACE_K, {255, 0}, true},
      {24, CUPS_CSPACE_SRGB, {0, 0, 0, 255, 255, 255}, true},
      {1, CUPS_CSPACE_K, {0x80}, false},
      {16, CUPS_CSPACE_SW, {0, 0, 255, 255}, false},
  };
  for (const auto& c : cases) {
    cups_page_header2_t header{};
    header.cupsWidth = 2;
    header.cupsHeight = 1;
    header.cupsBitsPerPixel = c.bits;
    header.cupsColorSpace = c.space;
    RasterPage page;
    std::string why;
    ASSERT_EQ(page.start(header, quillkit::PictureOptions{}, why), c.taken)
        << c.bits << " " << c.space;
    if (!c.taken) continue;
    page.write_line(0, c.line.data());
    page.write_line(1, c.line.data());  // past the page: ignored
    EXPECT_EQ(page.finish(why).bits, (std::vector<std::uint8_t>{0x7F})) << c.bits << " " << c.space;
  }
}

}  // namespace
}  // namespace quill_printer
