#include "quillkit/platform/text_codec.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillkit::platform {
namespace {

struct EncodeCase {
  const char* name;
  std::string text;
  Encoding encoding;
  std::string expected;  // empty with `fails` set: the conversion must fail
  bool fails = false;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, ConvertsWholeTextOrNothing) {
  const auto& c = GetParam();
  const auto bytes = encode(c.text, c.encoding);
  if (c.fails) {
    EXPECT_FALSE(bytes.has_value());
    return;
  }
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, EncodeTest,
    ::testing::Values(
        EncodeCase{"ascii_same_everywhere_utf8", "CLS\r\n", Encoding::utf8, "CLS\r\n"},
        EncodeCase{"ascii_same_everywhere_big5", "CLS\r\n", Encoding::big5, "CLS\r\n"},
        EncodeCase{"ascii_same_everywhere_gb", "CLS\r\n", Encoding::gb18030, "CLS\r\n"},
        EncodeCase{"empty", "", Encoding::gb18030, ""},
        EncodeCase{"gb18030_han", "\xe4\xb8\xad\xe6\x96\x87", Encoding::gb18030,
                   "\xd6\xd0\xce\xc4"},
        EncodeCase{"gb18030_four_byte_emoji", "\xf0\x9f\x98\x80", Encoding::gb18030,
                   "\x94\x39\xfc\x36"},
        EncodeCase{"big5_traditional", "\xe4\xb8\xad\xe6\x96\x87", Encoding::big5,
                   "\xa4\xa4\xa4\xe5"},
        EncodeCase{"big5_refuses_emoji", "A\xf0\x9f\x98\x80", Encoding::big5, "", true},
        EncodeCase{"big5_refuses_simplified_only", "\xe8\xbf\x99", Encoding::big5, "", true},
        EncodeCase{"big5_hkscs_traditional", "\xe4\xb8\xad", Encoding::big5_hkscs, "\xa4\xa4"},
        EncodeCase{"big5_hkscs_refuses_emoji", "\xf0\x9f\x98\x80", Encoding::big5_hkscs, "", true},
        EncodeCase{"mac_roman_ascii", "BITMAP 1,2,3,4,2,", Encoding::mac_roman,
                   "BITMAP 1,2,3,4,2,"},
        EncodeCase{"utf8_keeps_bytes", "caf\xc3\xa9", Encoding::utf8, "caf\xc3\xa9"},
        EncodeCase{"invalid_lead_byte", "\xff", Encoding::utf8, "", true},
        EncodeCase{"truncated_sequence", "\xe4\xb8", Encoding::gb18030, "", true},
        EncodeCase{"overlong_slash", "\xc0\xaf", Encoding::utf8, "", true},
        EncodeCase{"surrogate", "\xed\xa0\x80", Encoding::utf8, "", true},
        EncodeCase{"beyond_unicode", "\xf4\x90\x80\x80", Encoding::utf8, "", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EncodeTest, LongTextGrowsOutputBuffer) {
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "\xe4\xb8\xad";
  const auto bytes = encode(text, Encoding::gb18030);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 20000u);
}

}  // namespace
}  // namespace quillkit::platform
