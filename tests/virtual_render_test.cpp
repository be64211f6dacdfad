// What the virtual printer draws: rasters pixel for pixel, barcodes and QR codes that a reader
// decodes, resident and scalable text at the right place and size, shapes, print direction and
// the PNG files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "quillkit/virtual_printer.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using vptest::ink_box;
using vptest::ink_within;

// One printer per test; print() draws a label and expects nothing logged.
class VirtualRender : public ::testing::Test {
 protected:
  VirtualLabel print(std::string_view commands) {
    printer_.feed(std::string(commands) + "PRINT 1\r\n");
    EXPECT_TRUE(printer_.log_lines().empty()) << printer_.log_lines().front();
    return printer_.labels().back();
  }
  VirtualPrinter printer_;
};

TEST_F(VirtualRender, BitmapLandsPixelForPixelInEachMode) {
  constexpr int kX = 13, kY = 7, kWidthBytes = 3, kHeight = 5;
  std::mt19937 random(7);
  std::string raster;
  for (int i = 0; i < kWidthBytes * kHeight; ++i) raster.push_back(static_cast<char>(random()));

  for (int mode : {0, 1, 2}) {
    VirtualLabel label = print("SIZE 64 dot,32 dot\r\nCLS\r\nBAR 10,5,20,10\r\nBITMAP 13,7,3,5," +
                               std::to_string(mode) + "," + raster + "\r\n");

    for (int y = 0; y < label.height; ++y) {
      for (int x = 0; x < label.width; ++x) {
        bool before = x >= 10 && x < 30 && y >= 5 && y < 15, expected = before;
        int col = x - kX, row = y - kY;
        if (col >= 0 && col < kWidthBytes * 8 && row >= 0 && row < kHeight) {
          // A 0 bit prints.
          const auto byte = static_cast<std::uint8_t>(raster[row * kWidthBytes + col / 8]);
          bool ink = ((byte >> (7 - col % 8)) & 1) == 0;
          expected = mode == 0 ? ink : mode == 1 ? (before || ink) : (before != ink);
        }
        ASSERT_EQ(label.ink(x, y), expected) << "mode " << mode << " at " << x << "," << y;
      }
    }
  }
}

// A symbol command, with {x}, {y} and {r} standing for its origin and rotation, and what it
// must decode to.
struct SymbolCase {
  std::string command;
  ZXing::BarcodeFormat format;
  std::string decoded;
  friend std::ostream& operator<<(std::ostream& os, const SymbolCase& c) { return os << c.command; }
};

class SymbolTest : public VirtualRender,
                   public ::testing::WithParamInterface<std::tuple<SymbolCase, int>> {};

TEST_P(SymbolTest, DrawnSymbolDecodesToTheDataSent) {
  const auto& [c, rotation] = GetParam();
  // Rotated symbols turn about their origin, so place it where the turn stays on the label.
  const int x = rotation == 90 || rotation == 180 ? 560 : 40, y = rotation >= 180 ? 560 : 40;
  std::string command = c.command;
  for (auto [key, value] : {std::pair{"{x}", x}, {"{y}", y}, {"{r}", rotation}}) {
    if (auto at = command.find(key); at != std::string::npos)
      command.replace(at, 3, std::to_string(value));
  }
  VirtualLabel label = print("SIZE 600 dot,600 dot\r\nCLS\r\n" + command + "\r\n");
  EXPECT_EQ(vptest::decode(label, c.format), c.decoded) << command;
}

SymbolCase barcode(std::string type, std::string code, ZXing::BarcodeFormat format,
                   std::string decoded) {
  return {"BARCODE {x},{y},\"" + type + "\",80,2,{r},2,5,\"" + code + "\"", format, decoded};
}

using ZXing::BarcodeFormat;
INSTANTIATE_TEST_SUITE_P(
    Symbologies, SymbolTest,
    ::testing::Combine(
        ::testing::Values(
            barcode("128", "Quill-128", BarcodeFormat::Code128, "Quill-128"),
            barcode("128M", "!104Ab!099123456", BarcodeFormat::Code128, "Ab123456"),
            barcode("128M", "!105!1020109501234567890", BarcodeFormat::Code128, "0109501234567890"),
            barcode("39", "Code39", BarcodeFormat::Code39, "Code39"),
            barcode("39S", "CODE39", BarcodeFormat::Code39, "CODE39"),
            barcode("93", "CODE93", BarcodeFormat::Code93, "CODE93"),
            barcode("EAN13", "590123412345", BarcodeFormat::EAN13, "5901234123457"),
            barcode("EAN13", "5901234123457", BarcodeFormat::EAN13, "5901234123457"),
            barcode("EAN8", "9638507", BarcodeFormat::EAN8, "96385074"),
            barcode("UPCA", "72527273070", BarcodeFormat::UPCA, "725272730706"),
            barcode("UPCE", "0123456", BarcodeFormat::UPCE, "01234565"),
            barcode("25", "12345678", BarcodeFormat::ITF, "12345678"),
            barcode("CODA", "A40156B", BarcodeFormat::Codabar, "40156"),
            SymbolCase{"QRCODE {x},{y},M,4,A,{r},\"https://example.com/q?x=1,2\"",
                       BarcodeFormat::QRCode, "https://example.com/q?x=1,2"},
            SymbolCase{"QRCODE {x},{y},H,4,M,{r},M2,S3,\"B0005Quill\"", BarcodeFormat::QRCode,
                       "Quill"},
            SymbolCase{"DMATRIX {x},{y},300,300,x8,r{r},\"Data, Matrix\"",
                       BarcodeFormat::DataMatrix, "Data, Matrix"},
            SymbolCase{"PDF417 {x},{y},400,200,{r},E3,W2,H8,\"PDF417 text\"", BarcodeFormat::PDF417,
                       "PDF417 text"},
            SymbolCase{"AZTEC {x},{y},{r},6,23,\"Aztec 42\"", BarcodeFormat::Aztec, "Aztec 42"},
            SymbolCase{"RSS {x},{y},\"RSS14\",{r},3,1,\"0950110153001\"", BarcodeFormat::DataBar,
                       "09501101530010"}),
        ::testing::Values(0, 90, 180, 270)));

// MaxiCode has no rotation field.
INSTANTIATE_TEST_SUITE_P(Upright, SymbolTest,
                         ::testing::Values(std::tuple(SymbolCase{"MAXICODE {x},{y},4,\"Maxi 4\"",
                                                                 BarcodeFormat::MaxiCode, "Maxi 4"},
                                                      0)));

// Narrow and wide elements and module multiples, pinned by the symbol's width (Code 39 "AB12" is 41
// narrow and 18 wide elements, Code 128 79 modules), the bar height and the readable line below.
TEST_F(VirtualRender, BarcodeHasItsWidthsHeightAndReadableLine) {
  EXPECT_EQ(ink_box(print("CLS\r\nBARCODE 10,10,\"39\",50,0,0,2,5,\"AB12\"\r\n")).width(),
            41 * 2 + 18 * 5);
  EXPECT_EQ(ink_box(print("CLS\r\nBARCODE 10,10,\"128\",50,0,0,3,9,\"AB12\"\r\n")).width(), 79 * 3);
  // The readable line starts below the bars, so ink in row 80 would lengthen them.
  VirtualLabel readable = print("CLS\r\nBARCODE 20,20,\"128\",60,2,0,2,2,\"HRT\"\r\n");
  const auto bars = ink_box(readable, 0, 0, 480, 81);
  EXPECT_EQ(std::make_pair(bars.top, bars.height()), std::make_pair(20, 60));
  EXPECT_TRUE(ink_within(ink_box(readable, 0, 81, 480, 320), bars.left, 81, bars.right, 102));
}

TEST_F(VirtualRender, ResidentFontInkStaysInTheCellsFromTheOrigin) {
  // The cells of fonts 1 to 8.
  const int widths[] = {8, 12, 16, 24, 32, 14, 21, 14},
            heights[] = {12, 20, 24, 32, 48, 19, 27, 25};
  for (int font = 1; font <= 8; ++font) {
    const int width = widths[font - 1], height = heights[font - 1];
    for (auto [mx, my] : {std::pair{1, 1}, std::pair{2, 3}}) {
      const std::string args =
          std::to_string(font) + "\",0," + std::to_string(mx) + "," + std::to_string(my);
      SCOPED_TRACE(args);
      const auto box = ink_box(print("CLS\r\nTEXT 40,30,\"" + args + ",\"HH\"\r\n"));
      EXPECT_TRUE(ink_within(box, 40, 30, 40 + 2 * width * mx, 30 + height * my));
      // A capital fills most of its cell's height and each H sits in its own cell.
      EXPECT_GE(box.height(), height * my / 2);
      EXPECT_LT(box.left, 40 + width * mx / 2);
      EXPECT_GT(box.right, 40 + width * mx * 3 / 2);
    }
  }
}

// Each shape command sets the dots listed first and leaves those listed second blank.
TEST_F(VirtualRender, ShapeSetsTheDotsItShould) {
  using Dots = std::vector<std::pair<int, int>>;
  for (const auto& [command, ink, blank] : std::vector<std::tuple<std::string, Dots, Dots>>{
           {"CIRCLE 10,10,40,3",
            {{30, 10}, {30, 12}, {10, 30}, {49, 30}, {30, 49}},
            {{30, 13}, {30, 30}, {11, 11}, {48, 48}}},
           {"ELLIPSE 10,10,80,20,2",
            {{50, 10}, {10, 20}, {89, 20}, {50, 29}},
            {{50, 20}, {11, 11}, {50, 12}}},
           {"DIAGONAL 10,10,60,60,3",
            {{10, 10}, {35, 35}, {60, 60}, {36, 35}},
            {{35, 10}, {10, 35}, {40, 35}}},
           {"BOX 10,10,90,90,2,20",
            {{50, 10}, {10, 50}, {89, 50}, {50, 89}},
            {{10, 10}, {11, 11}, {89, 89}, {50, 50}, {50, 12}}},
           // Wrapped: one word a line, centred in the 100-dot box; the fifth line is cut.
           {"BLOCK 10,10,100,100,\"3\",0,1,1,2,\"III III III III III\"",
            {{60, 22}, {60, 46}, {60, 70}, {60, 94}},
            {{12, 22}, {107, 22}, {60, 118}, {60, 130}}},
           {"BLOCK 10,10,100,100,\"3\",0,1,1,10,3,\"III III\"",
            {{102, 22}, {102, 56}},
            {{20, 22}, {102, 39}}}}) {
    VirtualLabel label = print("SIZE 200 dot,200 dot\r\nCLS\r\n" + command + "\r\n");
    for (auto [x, y] : ink) EXPECT_TRUE(label.ink(x, y)) << command << " " << x << "," << y;
    for (auto [x, y] : blank) EXPECT_FALSE(label.ink(x, y)) << command << " " << x << "," << y;
  }
}

std::string le(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(i < 4 ? value >> (8 * i) : 0));
  return out;
}

// Stored 1- and 8-bit images hold a 16 x 4 pattern with ink where (x + y) % 3 == 0. Its row `y`
// packed 1 bit a dot (bits 1) or 1 byte a dot (bits 8), index 1 (white) where there is no ink.
std::string packed_row(int y, int bits) {
  std::string row(bits == 1 ? 2 : 16, '\0');
  for (int x = 0; x < 16; ++x) {
    if ((x + y) % 3 != 0)
      row[x * bits / 8] = static_cast<char>(row[x * bits / 8] | (bits == 1 ? 0x80 >> (x % 8) : 1));
  }
  return row;
}

std::string bmp(int bits) {
  int palette = 1 << bits;
  std::string out = "BM" + le(0, 8) + le(54 + 4 * palette, 4) + le(40, 4) + le(16, 4) + le(4, 4) +
                    le(1, 2) + le(bits, 2) + le(0, 24);
  for (int i = 0; i < palette; ++i) out += le(i == 0 ? 0 : 0xFFFFFF, 4);  // 0 is black
  for (int y = 3; y >= 0; --y) out += packed_row(y, bits) + std::string(bits == 1 ? 2 : 0, '\0');
  return out;  // rows bottom up, each padded to 4 bytes
}

std::string pcx(int bits) {
  std::string out(128, '\0');
  out[0] = 0x0A, out[1] = 5, out[2] = 1, out[3] = static_cast<char>(bits), out[65] = 1;
  out.replace(8, 4, le(15, 2) + le(3, 2));
  out.replace(66, 2, le(bits == 1 ? 2 : 16, 2));
  for (int y = 0; y < 4; ++y) {
    for (char byte : packed_row(y, bits)) out += std::string("\xC1", 1) + byte;  // runs of one
  }
  if (bits == 8) out += "\x0C" + std::string(3, '\0') + std::string(765, '\xFF');
  return out;
}

// The stored image lands as the same pattern sent as a BITMAP raster does.
TEST_F(VirtualRender, PutDrawsTheStoredImageAtItsPlace) {
  const std::string raster =
      packed_row(0, 1) + packed_row(1, 1) + packed_row(2, 1) + packed_row(3, 1);
  const VirtualLabel expected = print("CLS\r\nBITMAP 5,7,2,4,0," + raster + "\r\n");
  ASSERT_EQ(ink_box(expected).width(), 16);
  for (const auto& [command, file] : {std::pair{"PUTBMP", bmp(1)}, std::pair{"PUTBMP", bmp(8)},
                                      std::pair{"PUTPCX", pcx(1)}, std::pair{"PUTPCX", pcx(8)}}) {
    VirtualLabel label = print("CLS\r\nDOWNLOAD \"IMG\"," + std::to_string(file.size()) + "," +
                               file + "\r\n" + command + " 5,7,\"IMG\"\r\n");
    EXPECT_EQ(label.dots, expected.dots) << command << " " << file.size();
  }
}

// Text bytes are read as UTF-8, else GB 18030, else Big5, until a code page says how.
TEST_F(VirtualRender, TextIsReadInItsEncodingOrByTheCodePage) {
  auto draw = [&](const std::string& font, const std::string& text) {
    return print("CLS\r\nTEXT 10,10,\"" + font + "\",0,1,1,\"" + text + "\"\r\n").dots;
  };
  // The two characters for "Chinese" in UTF-8, GB 18030 and Big5. They differ, so neither is a
  // missing-glyph box.
  const std::string han = "\xE4\xB8\xAD\xE6\x96\x87";
  const auto chinese = draw("TSS24.BF2", han);
  EXPECT_NE(draw("TSS24.BF2", han.substr(0, 3)), draw("TSS24.BF2", han.substr(3)));
  EXPECT_EQ(draw("TSS24.BF2", "\xD6\xD0\xCE\xC4"), chinese);
  EXPECT_EQ(draw("TSS24.BF2", "\xA4\xA4\xA4\xE5"), chinese);
  const auto german = draw("3", "Gr\xC3\xBC\xC3\x9F Gott");
  for (const auto& [page, text] : {std::pair{"1252", "Gr\xFC\xDF Gott"},
                                   {"850", "Gr\x81\xE1 Gott"},
                                   {"UTF-8", "Gr\xC3\xBC\xC3\x9F Gott"}}) {
    printer_.feed(std::string("CODEPAGE ") + page + "\r\n");
    EXPECT_EQ(draw("3", text), german) << page;
  }
}

// Scalable text is as high as its points (12 at 203 dpi: 34 dots) or its name (24 dots, times
// 2) say; names that give no size, or a size too small, are drawn 24 dots high and logged.
TEST_F(VirtualRender, TextHasItsGivenOrAnApproximatedHeight) {
  for (const auto& [font, line, logged] :
       std::vector<std::tuple<std::string, int, std::size_t>>{{"\"0\",0,12,12", 34, 0},
                                                              {"\"TSS24.BF2\",0,2,2", 48, 0},
                                                              {"\"A.EFT\",0,1,1", 24, 1},
                                                              {"\"ROMAN.TTF\",0,1,1", 24, 1}}) {
    VirtualPrinter printer;
    printer.feed("SIZE 400 dot,200 dot\r\nCLS\r\nTEXT 10,10," + font + ",\"Hxg\"\r\nPRINT 1\r\n");
    const auto box = ink_box(printer.labels().back());
    EXPECT_TRUE(ink_within(box, 10, 10, 400, 10 + line)) << font;
    EXPECT_GE(box.height(), line * 2 / 3) << font;
    EXPECT_EQ(printer.log_lines().size(), logged) << font;
    EXPECT_THAT(printer.log_lines(), ::testing::Each(::testing::HasSubstr("approximated")));
  }
  // ROMAN.TTF takes the y multiplication as points and ignores the x one.
  EXPECT_EQ(print("CLS\r\nTEXT 10,10,\"ROMAN.TTF\",0,30,12,\"Hxg\"\r\n").dots,
            print("CLS\r\nTEXT 10,10,\"ROMAN.TTF\",0,12,12,\"Hxg\"\r\n").dots);
}

TEST_F(VirtualRender, StoredTrueTypeFontIsUsedByName) {
  std::string font =
      vptest::text_of(vptest::read_file("/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"));
  if (font.empty()) GTEST_SKIP() << "no DejaVu Serif to store";
  auto draw = [&](const std::string& name) {
    return print("CLS\r\nTEXT 10,10,\"" + name + "\",0,20,20,\"Serif\"\r\n").dots;
  };
  printer_.feed("DOWNLOAD \"MY.TTF\"," + std::to_string(font.size()) + "," + font + "\r\n");
  auto stored = draw("MY.TTF");
  EXPECT_NE(stored, draw("0"));  // the system's sans face differs from the stored serif one
  printer_.feed("KILL \"MY.TTF\"\r\nCLS\r\nTEXT 10,10,\"MY.TTF\",0,20,20,\"Serif\"\r\nPRINT 1\r\n");
  EXPECT_NE(printer_.labels().back().dots, stored);
}

// The width is no multiple of 8, so PNG rows carry padding bits.
TEST_F(VirtualRender, ShapesLandExactlyAndSurviveDirectionAndPng) {
  VirtualLabel label = print(
      "SIZE 37 dot,30 dot\r\nCLS\r\nBAR 2,2,20,10\r\n"
      "ERASE 4,4,4,4\r\nREVERSE 18,8,6,4\r\nBOX 25,15,35,25,2\r\n"
      "REFERENCE 1,20\r\nBAR 0,0,3,2\r\nREFERENCE 0,0\r\nBAR 36,29,1,1\r\n");
  auto expected = [](int x, int y) {
    bool ink = x >= 2 && x < 22 && y >= 2 && y < 12;
    if (x >= 4 && x < 8 && y >= 4 && y < 8) ink = false;
    if (x >= 18 && x < 24 && y >= 8 && y < 12) ink = !ink;
    bool in_box = x >= 25 && x < 35 && y >= 15 && y < 25;
    bool hole = x >= 27 && x < 33 && y >= 17 && y < 23;
    if (in_box && !hole) ink = true;
    return ink || (x >= 1 && x < 4 && y >= 20 && y < 22) || (x == 36 && y == 29);
  };
  VirtualLabel turned = print("DIRECTION 1\r\n");
  VirtualLabel mirrored = print("DIRECTION 0,1\r\n");
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 37; ++x) {
      ASSERT_EQ(label.ink(x, y), expected(x, y)) << x << "," << y;
      ASSERT_EQ(turned.ink(x, y), expected(36 - x, 29 - y)) << x << "," << y;
      ASSERT_EQ(mirrored.ink(x, y), expected(36 - x, y)) << x << "," << y;
    }
  }

  testing::TempDir dir;
  auto path = dir.path() / "l.png";
  ASSERT_TRUE(save_label_png(label, path));
  // 1 bit, grey.
  EXPECT_EQ(vptest::text_of(vptest::read_file(path)).substr(24, 2), std::string("\1\0", 2));
  const VirtualLabel loaded = load_label_png(path).value_or(VirtualLabel{});
  EXPECT_EQ(std::tie(loaded.width, loaded.height, loaded.dots),
            std::tie(label.width, label.height, label.dots));
  EXPECT_FALSE(load_label_png(dir.path() / "missing.png").has_value());
  EXPECT_FALSE(load_label_png(dir.write("bad.png", testing::bytes_of("not a png"))).has_value());
  EXPECT_FALSE(save_label_png(VirtualLabel{}, dir.path() / "empty.png"));
}

}  // namespace
}  // namespace quillkit
